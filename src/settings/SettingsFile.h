// The INI file's layout in one place: the account record, the sections and
// keys with their defaults, and the order in which a save writes them. The
// main window and the settings dialog both read and write through here.
//
// Account number n (1-based) lives in section "Account<n>"; the accounts are
// counted by AccountConfig / Count. Passwords are plain in memory and Base64
// in the file, or, with Global Parameters / Keyring=1, in the desktop keyring
// (platform/Keyring.h) under the account's KeyringKeyOf, the file's Password
// then empty.
#pragma once

#include "codec/Base64.h"
#include "framework/IniFiles.h"

#include <optional>
#include <span>
#include <string>

// Port of an account whose file gives none, and of a new account.
constexpr int kDefaultPort = 110;
// The usual port of POP3 over TLS from the first byte.
constexpr int kDefaultTlsPort = 995;
// The usual ports of IMAP: plain text or STARTTLS, and TLS from the first byte.
constexpr int kDefaultImapPort = 143;
constexpr int kDefaultImapTlsPort = 993;
// The most accounts a poll cycle or `--check` checks, and the most the
// settings dialog lists (a larger count in the file lists these).
constexpr int kMaxCheckedAccounts = 20;
constexpr int kMaxListedAccounts = 100;

// How an account's connection is secured: the Security key's 0, 1 and 2.
enum class TSecurity { Plain = 0, Tls = 1, StartTls = 2 };

// The protocol an account is checked with: the Protocol key's 0 and 1.
enum class TProtocol { Pop3 = 0, Imap = 1 };

// The folder an IMAP account watches when the file names none.
inline constexpr const char* kDefaultFolder = "INBOX";

// One configured mailbox. A value-initialized record is all empty and zero
// but for its Folder, INBOX.
struct TAccount {
    std::string AccountName;  // display name; only the settings dialog uses it
    std::string Server;
    std::string UserName;
    std::string Password;  // plain text
    int Port = 0;
    // The APOP key as stored: nonzero logs in with APOP instead of USER/PASS.
    // The integer is kept so that a save writes back what was read (2 stays 2).
    int APop = 0;
    // Key Security: 0 plain text, 1 TLS from the first byte (POP3S), 2 STLS
    // before any login; a missing or empty key is 0. Any other text (a typo
    // such as "TLS" or "3") is no choice at all: Security is then
    // kSecurityNotValid and SecurityText holds the text as the file has it,
    // so that the account is never checked in plain text by mistake and a
    // save writes the text back unchanged.
    int Security = 0;
    std::string SecurityText;  // empty unless Security is kSecurityNotValid
    // Key Fingerprint: the SHA-256 pin of the server's certificate as the
    // user typed it (64 hex digits, colons and case ignored), or empty.
    std::string Fingerprint;
    // Key Protocol: 0 POP3 (also when missing or empty), 1 IMAP. Any other
    // text is kept as Security's is: Protocol is then kProtocolNotValid and
    // ProtocolText the text, and the account is not checked.
    int Protocol = 0;
    std::string ProtocolText;  // empty unless Protocol is kProtocolNotValid
    // Key Folder: the IMAP folder watched, UTF-8; a missing or empty key is
    // INBOX. POP3 accounts keep it unused.
    std::string Folder = kDefaultFolder;
    // Key PasswordCommand: when set, the secret is the first line this
    // command prints (run by /bin/sh at every check) and Password is unused.
    std::string PasswordCommand;
    // Key Auth: 0 the password (also when missing or empty), 1 XOAUTH2, 2
    // OAUTHBEARER, the Password then being an OAuth2 access token. Any
    // other text is kept as Security's is: Auth is then kAuthNotValid and
    // AuthText the text, and the account is not checked.
    int Auth = 0;
    std::string AuthText;  // empty unless Auth is kAuthNotValid
    // Not a key: set by ReadAccount when the file keeps passwords in the
    // keyring (Keyring=1) and this account's Password is empty. A check then
    // reads the secret from the keyring, unless a PasswordCommand is set.
    bool SecretInKeyring = false;
    // Not a key: with SecretInKeyring, the key its keyring entry had when
    // the file was read (KeyringKeyOf then), so that the settings dialog can
    // follow an edit of the user name, server or port.
    std::string KeyringKeyRead;
};

// The key of the account's keyring entry (service "Vesk"):
// "<user>@<server>:<port>", as a user finds it in the desktop's keyring tool.
std::string KeyringKeyOf(const TAccount& a);

// The Security of an account whose file holds none of 0, 1 and 2 there.
constexpr int kSecurityNotValid = -1;
// The Protocol of an account whose file holds neither 0 nor 1 there.
constexpr int kProtocolNotValid = -1;
// The Auth of an account whose file holds none of 0, 1 and 2 there.
constexpr int kAuthNotValid = -1;

// Why the account must not be checked as its settings stand, or "" when it
// may be: a Security that is not 0, 1 or 2 ("Security=<text> is not 0, 1 or
// 2", the text as the file holds it), a Protocol that is not 0 or 1
// ("Protocol=<text> is not 0 or 1"), an Auth that is not 0, 1 or 2
// ("Auth=<text> is not 0, 1 or 2"), an OAuth2 login without TLS ("Auth=1
// needs Security 1 or 2: an OAuth2 token is never sent in plain text"), or a
// certificate pin on a plain-text account, which could never be checked.
std::string AccountSettingsError(const TAccount& a);

// Section Global Parameters: the poll interval and the LED and tray options.
struct TGlobalOptions {
    int CheckInterval = 60;  // seconds
    bool LightOnEqual = true;
    bool Flash = false;
    bool FlashOnEqual = false;
    bool FlashOnError = false;
    bool AttentiveWait = true;
    bool TaskTray = false;
    // A desktop notification when new mail arrives. Set in the file by hand:
    // the settings dialog neither shows nor writes it.
    bool Notify = false;
    // Key Keyring: passwords are kept in the desktop keyring, not in the
    // file (0 for a file without the key).
    bool Keyring = false;
};

// The keys of section Siren that the settings dialog shows. Target0, Target4,
// Target5, Song4 and Song5 are read by the siren alone and never written.
struct TSirenOptions {
    bool Enabled = false;
    std::string Target1, Target2, Target3;
    std::string Song1, Song2, Song3;
    std::string Song0;  // for mail that matches no target
};

// The section of account number n: "Account<n>".
std::string AccountSection(int n);
// The account a new section n stands for: named after its section, port 110,
// everything else empty.
TAccount NewAccount(int n);

class TSettingsFile {
public:
    explicit TSettingsFile(const std::string& iniPath) : FIni(iniPath) {}

    // AccountConfig / Count (default 1), as written: neither bounded nor made
    // non-negative.
    int ReadAccountCount() const;
    // The keys of section Account<n>, each with its default (AccountName: the
    // section's name, PortNumber 110, the rest empty or 0; a file without
    // Security and Fingerprint reads as plain text without a pin; Security
    // as TAccount describes it).
    TAccount ReadAccount(int n) const;
    TGlobalOptions ReadGlobalOptions() const;
    TSirenOptions ReadSirenOptions() const;

    // Writes everything the settings dialog knows, in this order: for each
    // account n from 1 (section Account<n>) AccountName, POPServer, UserName,
    // PortNumber, Password, APOP, Security, Fingerprint, Protocol, Folder,
    // PasswordCommand, Auth;
    // AccountConfig / Count (the number of accounts); Global Parameters CheckInterval, LightOnEqual, Flash,
    // FlashOnEqual, FlashOnError, AttentiveWait, TaskTray, Keyring; Siren Enabled,
    // Target1, Target2, Target3, Song1, Song2, Song3, Song0; then a flush.
    // A Security or Protocol that is not valid is written as the text it was
    // read as. With options.Keyring every Password is written empty: the
    // caller has put the passwords into the keyring first.
    // Existing keys are replaced in place, nothing is erased. A refused write
    // raises EIniFileException at that key; the keys before it stay written.
    void Write(std::span<const TAccount> accounts, const TGlobalOptions& options, const TSirenOptions& siren);

private:
    // A key of a few choices (Security, Protocol, Auth): missing or empty is
    // 0, exactly one digit from 0 to `highest` is that number, any other
    // text is no choice (-1) and kept in `text`; written back as read.
    void ReadChoice(const std::string& section, const char* key, int highest, int& value, std::string& text) const;
    void WriteChoice(const std::string& section, const char* key, int value, const std::string& text);
    // The file as it was at the first read after construction or the last
    // write: every read of one load parses the file once.
    const TMemIniFile& Values() const;

    TIniFile FIni;
    mutable std::optional<TMemIniFile> FValues;
    TBase64 FBase64;
};
