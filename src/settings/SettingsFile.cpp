#include "settings/SettingsFile.h"

namespace {

const char* const kAccountConfig = "AccountConfig";
const char* const kGlobal = "Global Parameters";
const char* const kSiren = "Siren";

}  // namespace

std::string AccountSection(int n) { return "Account" + std::to_string(n); }

std::string AccountSettingsError(const TAccount& a) {
    if (a.Security < static_cast<int>(TSecurity::Plain) || a.Security > static_cast<int>(TSecurity::StartTls)) {
        const std::string text = a.SecurityText.empty() ? std::to_string(a.Security) : a.SecurityText;
        return "Security=" + text + " is not 0, 1 or 2";
    }
    if (a.Protocol != static_cast<int>(TProtocol::Pop3) && a.Protocol != static_cast<int>(TProtocol::Imap)) {
        const std::string text = a.ProtocolText.empty() ? std::to_string(a.Protocol) : a.ProtocolText;
        return "Protocol=" + text + " is not 0 or 1";
    }
    if (a.Auth < 0 || a.Auth > 2) {
        const std::string text = a.AuthText.empty() ? std::to_string(a.Auth) : a.AuthText;
        return "Auth=" + text + " is not 0, 1 or 2";
    }
    if (a.Auth != 0 && a.Security == static_cast<int>(TSecurity::Plain))
        return "Auth=" + std::to_string(a.Auth) + " needs Security 1 or 2: an OAuth2 token is never sent in plain text";
    if (a.Security == static_cast<int>(TSecurity::Plain) && !a.Fingerprint.empty()) return "Security=0 is plain text, but a Fingerprint is set";
    return "";
}

std::string KeyringKeyOf(const TAccount& a) {
    return a.UserName + '@' + a.Server + ':' + std::to_string(a.Port);
}

TAccount NewAccount(int n) {
    TAccount account;
    account.AccountName = AccountSection(n);
    account.Port = kDefaultPort;
    return account;
}

const TMemIniFile& TSettingsFile::Values() const {
    if (!FValues) FValues.emplace(FIni.FileName);
    return *FValues;
}

int TSettingsFile::ReadAccountCount() const { return Values().ReadInteger(kAccountConfig, "Count", 1); }

void TSettingsFile::ReadChoice(const std::string& section, const char* key, int highest, int& value,
                               std::string& text) const {
    // The reader gives the value without its surrounding blanks. Only the
    // digits themselves count: "+1", "0x1" or "1.0" may be what the user
    // meant, but Vesk does not guess where a password is at stake. Every
    // "not valid" constant is -1.
    const std::string read = Values().ReadString(section, key, "");
    text.clear();
    if (read.empty()) {
        value = 0;
    } else if (read.size() == 1 && read[0] >= '0' && read[0] <= '0' + highest) {
        value = read[0] - '0';
    } else {
        value = -1;
        text = read;
    }
}

void TSettingsFile::WriteChoice(const std::string& section, const char* key, int value, const std::string& text) {
    if (value == -1 && !text.empty())
        FIni.WriteString(section, key, text);
    else
        FIni.WriteInteger(section, key, value);
}

TAccount TSettingsFile::ReadAccount(int n) const {
    const std::string section = AccountSection(n);
    TAccount account;
    account.AccountName = Values().ReadString(section, "AccountName", section);
    account.Server = Values().ReadString(section, "POPServer", "");
    account.UserName = Values().ReadString(section, "UserName", "");
    account.Port = Values().ReadInteger(section, "PortNumber", kDefaultPort);
    account.Password = FBase64.Decode(Values().ReadString(section, "Password", ""));
    account.APop = Values().ReadInteger(section, "APOP", 0);
    ReadChoice(section, "Security", 2, account.Security, account.SecurityText);
    account.Fingerprint = Values().ReadString(section, "Fingerprint", "");
    // A typo never sends the login to the other protocol's server.
    ReadChoice(section, "Protocol", 1, account.Protocol, account.ProtocolText);
    account.Folder = Values().ReadString(section, "Folder", "");
    if (account.Folder.empty()) account.Folder = kDefaultFolder;
    account.PasswordCommand = Values().ReadString(section, "PasswordCommand", "");
    // Nor a token as a password.
    ReadChoice(section, "Auth", 2, account.Auth, account.AuthText);
    account.SecretInKeyring = account.Password.empty() && Values().ReadInteger(kGlobal, "Keyring", 0) != 0;
    if (account.SecretInKeyring) account.KeyringKeyRead = KeyringKeyOf(account);
    return account;
}

TGlobalOptions TSettingsFile::ReadGlobalOptions() const {
    TGlobalOptions options;
    options.CheckInterval = Values().ReadInteger(kGlobal, "CheckInterval", 60);
    options.LightOnEqual = Values().ReadInteger(kGlobal, "LightOnEqual", 1) != 0;
    options.Flash = Values().ReadInteger(kGlobal, "Flash", 0) != 0;
    options.FlashOnEqual = Values().ReadInteger(kGlobal, "FlashOnEqual", 0) != 0;
    options.FlashOnError = Values().ReadInteger(kGlobal, "FlashOnError", 0) != 0;
    options.AttentiveWait = Values().ReadInteger(kGlobal, "AttentiveWait", 1) != 0;
    options.TaskTray = Values().ReadInteger(kGlobal, "TaskTray", 0) != 0;
    options.Notify = Values().ReadInteger(kGlobal, "Notify", 0) != 0;
    options.Keyring = Values().ReadInteger(kGlobal, "Keyring", 0) != 0;
    return options;
}

TSirenOptions TSettingsFile::ReadSirenOptions() const {
    TSirenOptions siren;
    siren.Enabled = Values().ReadInteger(kSiren, "Enabled", 0) != 0;
    siren.Target1 = Values().ReadString(kSiren, "Target1", "");
    siren.Target2 = Values().ReadString(kSiren, "Target2", "");
    siren.Target3 = Values().ReadString(kSiren, "Target3", "");
    siren.Song1 = Values().ReadString(kSiren, "Song1", "");
    siren.Song2 = Values().ReadString(kSiren, "Song2", "");
    siren.Song3 = Values().ReadString(kSiren, "Song3", "");
    siren.Song0 = Values().ReadString(kSiren, "Song0", "");
    return siren;
}

void TSettingsFile::Write(std::span<const TAccount> accounts, const TGlobalOptions& options,
                          const TSirenOptions& siren) {
    FValues.reset();
    int n = 0;
    for (const TAccount& account : accounts) {
        const std::string section = AccountSection(++n);
        FIni.WriteString(section, "AccountName", account.AccountName);
        FIni.WriteString(section, "POPServer", account.Server);
        FIni.WriteString(section, "UserName", account.UserName);
        FIni.WriteInteger(section, "PortNumber", account.Port);
        FIni.WriteString(section, "Password", options.Keyring ? std::string() : FBase64.Encode(account.Password));
        FIni.WriteInteger(section, "APOP", account.APop);
        WriteChoice(section, "Security", account.Security, account.SecurityText);
        FIni.WriteString(section, "Fingerprint", account.Fingerprint);
        WriteChoice(section, "Protocol", account.Protocol, account.ProtocolText);
        FIni.WriteString(section, "Folder", account.Folder.empty() ? std::string(kDefaultFolder) : account.Folder);
        FIni.WriteString(section, "PasswordCommand", account.PasswordCommand);
        WriteChoice(section, "Auth", account.Auth, account.AuthText);
    }
    FIni.WriteInteger(kAccountConfig, "Count", n);
    FIni.WriteInteger(kGlobal, "CheckInterval", options.CheckInterval);
    FIni.WriteBool(kGlobal, "LightOnEqual", options.LightOnEqual);
    FIni.WriteBool(kGlobal, "Flash", options.Flash);
    FIni.WriteBool(kGlobal, "FlashOnEqual", options.FlashOnEqual);
    FIni.WriteBool(kGlobal, "FlashOnError", options.FlashOnError);
    FIni.WriteBool(kGlobal, "AttentiveWait", options.AttentiveWait);
    FIni.WriteBool(kGlobal, "TaskTray", options.TaskTray);
    FIni.WriteBool(kGlobal, "Keyring", options.Keyring);
    FIni.WriteBool(kSiren, "Enabled", siren.Enabled);
    FIni.WriteString(kSiren, "Target1", siren.Target1);
    FIni.WriteString(kSiren, "Target2", siren.Target2);
    FIni.WriteString(kSiren, "Target3", siren.Target3);
    FIni.WriteString(kSiren, "Song1", siren.Song1);
    FIni.WriteString(kSiren, "Song2", siren.Song2);
    FIni.WriteString(kSiren, "Song3", siren.Song3);
    FIni.WriteString(kSiren, "Song0", siren.Song0);
    FIni.UpdateFile();
}
