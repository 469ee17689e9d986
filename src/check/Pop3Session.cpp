// POP3 behind the mail session interface: USER and PASS (or APOP, or AUTH
// with an OAuth2 token) for the login, STAT for the count, UIDL for the ids, TOP n 0 for a From line, QUIT.
#include "check/AccountCheck.h"

std::unique_ptr<TMailSession> NewMailSession(const TCheckTarget& Target, TCustomPop3Cli* Pop3Engine) {
    if (Target.Protocol == TProtocol::Imap) return std::make_unique<TImapSession>();
    return std::make_unique<TPop3Session>(Pop3Engine);
}

TPop3Session::TPop3Session(TCustomPop3Cli* Engine) : TEngineSession(Engine) {}

TPop3Session::~TPop3Session() { FCli->OnUidlLine = nullptr; }

void TPop3Session::Connect(const TCheckTarget& Target) {
    SetTarget(Target);
    FCli->MsgLines = 0;
    Begin(rqConnect, &TCustomPop3Cli::Connect);
}

void TPop3Session::LogIn(const TCheckTarget& Target) {
    if (Target.Auth != TAuthMechanism::Password)
        Begin(rqAuth, &TCustomPop3Cli::Authenticate);
    else if (Target.APop)
        Begin(rqAPop, &TCustomPop3Cli::APop);
    else
        Begin(rqUser, &TCustomPop3Cli::User);
}

void TPop3Session::CountMail() { Begin(rqStat, &TCustomPop3Cli::Stat); }

void TPop3Session::ListIds(int Lowest, int Highest) {
    FLowest = Lowest;
    FHighest = Highest;
    FIds.clear();
    FListed.assign(static_cast<size_t>(Highest - Lowest) + 1, std::string());
    FCli->MsgNum = 0;  // the whole listing
    FCli->OnUidlLine = [this](TObject*) {
        const int m = FCli->MsgNum;
        if (m >= FLowest && m <= FHighest) FListed[static_cast<size_t>(FHighest - m)] = FCli->MsgUidl();
    };
    Begin(rqUidl, &TCustomPop3Cli::Uidl);
}

void TPop3Session::ReadFrom(int Number) {
    FCli->MsgNum = Number;
    FCli->MsgLines = 0;
    Begin(rqTop, &TCustomPop3Cli::Top);
}

void TPop3Session::LogOut() { Begin(rqQuit, &TCustomPop3Cli::Quit); }


bool TPop3Session::Ready() const {
    return FCli->Connected() && (FCli->EngineState() == esIdle || FCli->EngineState() == esBetweenSteps);
}

std::string TPop3Session::ErrorText() const {
    const std::string& text = FCli->ErrorMessage();
    return text.empty() ? "-ERR No reason given" : text;
}

void TPop3Session::RequestDone() {
    // The engine posts the end of a request and names it only when the post
    // is handled: a report left over from a request that was dropped can
    // arrive during the next one. What counts is the engine being idle again
    // while this session waits; its outcome says how the request went.
    if (!FWaiting || FCli->EngineState() != esIdle) return;
    bool ok = FCli->RequestOutcome() == 0;
    if (FPending == rqUser && ok) {
        FPending = rqPass;
        try {
            FCli->Pass();
            return;
        } catch (const std::exception&) {
            ok = false;
        }
    }
    if (FPending == rqUidl) {
        FCli->OnUidlLine = nullptr;
        if (ok) {
            FIds = std::move(FListed);
        } else if (FCli->Connected() && FCli->Failure() == TPop3Failure::Refused) {
            // UIDL is optional: a server that refuses it (and stays
            // connected) gets a TOP for every message.
            FIds.clear();
            ok = true;
        }
        FListed.clear();
    }
    FWaiting = false;
    if (OnDone) OnDone(ok);
}
