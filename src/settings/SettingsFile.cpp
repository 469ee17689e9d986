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

TAccount TSettingsFile::ReadAccount(int n) const {
    const std::string section = AccountSection(n);
    TAccount account;
    account.AccountName = Values().ReadString(section, "AccountName", section);
    account.Server = Values().ReadString(section, "POPServer", "");
    account.UserName = Values().ReadString(section, "UserName", "");
    account.Port = Values().ReadInteger(section, "PortNumber", kDefaultPort);
    account.Password = FBase64.Decode(Values().ReadString(section, "Password", ""));
    account.APop = Values().ReadInteger(section, "APOP", 0);
    // The reader gives the value without its surrounding blanks. Only the
    // three digits themselves count: "+1", "0x1" or "1.0" may be what the
    // user meant, but Vesk does not guess where a password is at stake.
    const std::string security = Values().ReadString(section, "Security", "");
    if (security.empty() || security == "0" || security == "1" || security == "2") {
        account.Security = security.empty() ? 0 : security[0] - '0';
    } else {
        account.Security = kSecurityNotValid;
        account.SecurityText = security;
    }
    account.Fingerprint = Values().ReadString(section, "Fingerprint", "");
    // The same rule for the protocol: a typo never sends the login to the
    // other protocol's server.
    const std::string protocol = Values().ReadString(section, "Protocol", "");
    if (protocol.empty() || protocol == "0" || protocol == "1") {
        account.Protocol = protocol.empty() ? 0 : protocol[0] - '0';
    } else {
        account.Protocol = kProtocolNotValid;
        account.ProtocolText = protocol;
    }
    account.Folder = Values().ReadString(section, "Folder", "");
    if (account.Folder.empty()) account.Folder = kDefaultFolder;
    account.PasswordCommand = Values().ReadString(section, "PasswordCommand", "");
    // The same rule for the login: a typo never sends a token as a password.
    const std::string auth = Values().ReadString(section, "Auth", "");
    if (auth.empty() || auth == "0" || auth == "1" || auth == "2") {
        account.Auth = auth.empty() ? 0 : auth[0] - '0';
    } else {
        account.Auth = kAuthNotValid;
        account.AuthText = auth;
    }
    account.SecretInKeyring = account.Password.empty() && Values().ReadInteger(kGlobal, "Keyring", 0) != 0;
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
        if (account.Security == kSecurityNotValid && !account.SecurityText.empty())
            FIni.WriteString(section, "Security", account.SecurityText);
        else
            FIni.WriteInteger(section, "Security", account.Security);
        FIni.WriteString(section, "Fingerprint", account.Fingerprint);
        if (account.Protocol == kProtocolNotValid && !account.ProtocolText.empty())
            FIni.WriteString(section, "Protocol", account.ProtocolText);
        else
            FIni.WriteInteger(section, "Protocol", account.Protocol);
        FIni.WriteString(section, "Folder", account.Folder.empty() ? std::string(kDefaultFolder) : account.Folder);
        FIni.WriteString(section, "PasswordCommand", account.PasswordCommand);
        if (account.Auth == kAuthNotValid && !account.AuthText.empty())
            FIni.WriteString(section, "Auth", account.AuthText);
        else
            FIni.WriteInteger(section, "Auth", account.Auth);
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
