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
// when it is not running; the TLS ports, the authority and the fingerprint
// when it runs without --tls.
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
    // Runs a command of tests/support/imap_client.py, a second IMAP client
    // (Python's imaplib), logged in as USER, and gives what it printed
    // (raises std::runtime_error when it fails).
    std::string ImapClient(const std::string& user, const std::vector<std::string>& command) const;

    std::string dir, host, port;
    std::string imapPort, imapsPort;
    // The authority's certificate file and the server certificate's SHA-256.
    std::string ca, fingerprint;
    std::map<std::string, TUser> users;
};

// Runs scripts/fixtures/dovecot.sh with `arguments`, the NAME=VALUE entries
// of `environment` added to its environment (raises std::runtime_error when
// it fails).
void RunDovecotScript(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {});

}  // namespace TestSupport
