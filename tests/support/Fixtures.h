// What the tests read of the servers that the CTest fixtures
// (scripts/fixtures/*.sh) started: their folders, their server.env files and
// the private Dovecot's mailboxes.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace TestSupport {

// The folder named by the environment variable `variable` when it is set,
// else `builtIn` (the folder the build compiled in).
std::string FixtureDir(const char* variable, const std::string& builtIn);

// The KEY=VALUE lines a fixture script writes; a value in quotes loses them.
std::map<std::string, std::string> ReadEnvFile(const std::string& path);

// A file's text without the line ends and blanks at its end.
std::string ReadTrimmed(const std::string& path);

// The private Dovecot that scripts/fixtures/dovecot.sh runs from `dir`: its
// address, its users, and what it delivered to them. Host and port stay empty
// when it is not running.
struct TDovecotFixture {
    struct TUser {
        std::string password;
        int count = 0;  // messages delivered by the fixture
    };

    explicit TDovecotFixture(std::string dir);
    bool Running() const { return !host.empty() && !port.empty(); }

    // USER's messages, message 1 first: the message file name (its UIDL) and
    // the text after "From:" on its From line (empty when it has none).
    std::vector<std::pair<std::string, std::string>> Manifest(const std::string& user) const;
    // Removes every message of USER's mailbox.
    void Empty(const std::string& user) const;
    // Delivers `count` more messages to USER (raises std::runtime_error when
    // the script fails).
    void Add(const std::string& user, int count) const;

    std::string dir, host, port;
    std::map<std::string, TUser> users;
};

// Marks messages `set` (IMAP sequence numbers, such as "1" or "1:*") of
// USER's INBOX on the private Dovecot \Seen, as a second mail client reading
// them would (Python's imaplib over the fixture's IMAP port; raises
// std::runtime_error when that fails).
void MarkSeen(const TDovecotFixture& server, const std::string& user, const std::string& set);

}  // namespace TestSupport
