// What the POP3 engine's fuzz targets share: events that make the engine
// hand out what it captured, and the next command of a script the input
// seeds, chosen among those the engine's state allows.
#pragma once

#include "pop3/Pop3Prot.h"

#include <cstddef>

inline void SinkPop3Events(TCustomPop3Cli& cli, std::size_t& sink) {
    cli.OnMessageLine = [&cli, &sink](TObject*) { sink += cli.LastResponse().size(); };
    cli.OnListLine = [&cli, &sink](TObject*) {
        sink += static_cast<std::size_t>(cli.MsgNum) + static_cast<std::size_t>(cli.MsgSize());
    };
    cli.OnUidlLine = [&cli, &sink](TObject*) { sink += cli.MsgUidl().size(); };
    cli.OnHeaderEnd = [&cli, &sink](TObject*) { sink += cli.FromValue().size(); };
}

inline void NextPop3Command(TCustomPop3Cli& cli, unsigned& script) {
    if (cli.EngineState() != esIdle || !cli.Connected()) return;
    unsigned pick = script & 15u;
    script = script * 7u + 3u;
    try {
        switch (cli.ProtocolState()) {
            case pop3Disconnected: break;
            case pop3WaitingUser:
                if ((pick & 2) && cli.Auth != 0)
                    cli.Authenticate();
                else if ((pick & 1) && !cli.TimeStamp().empty())
                    cli.APop();
                else
                    cli.User();
                break;
            case pop3WaitingPass: cli.Pass(); break;
            case pop3Transaction:
                cli.MsgNum = static_cast<int>(pick & 3);
                cli.MsgLines = static_cast<int>(pick >> 2);
                switch (pick % 9) {
                    case 0: cli.Stat(); break;
                    case 1: cli.List(); break;
                    case 2: cli.Uidl(); break;
                    case 3: cli.Retr(); break;
                    case 4: cli.Top(); break;
                    case 5: cli.Last(); break;
                    case 6: cli.Noop(); break;
                    case 7: cli.Dele(); break;
                    default: cli.Quit(); break;
                }
                break;
        }
    } catch (const Exception&) {
    }
}
