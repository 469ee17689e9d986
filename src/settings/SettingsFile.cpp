#include "settings/SettingsFile.h"

namespace {

const char* const kAccountConfig = "AccountConfig";
const char* const kGlobal = "Global Parameters";
const char* const kSiren = "Siren";

}  // namespace

std::string AccountSection(int n) { return "Account" + std::to_string(n); }

TAccount NewAccount(int n) {
    TAccount account;
    account.AccountName = AccountSection(n);
    account.Port = kDefaultPort;
    return account;
}

int TSettingsFile::ReadAccountCount() const { return FIni.ReadInteger(kAccountConfig, "Count", 1); }

TAccount TSettingsFile::ReadAccount(int n) const {
    const std::string section = AccountSection(n);
    TAccount account;
    account.AccountName = FIni.ReadString(section, "AccountName", section);
    account.Server = FIni.ReadString(section, "POPServer", "");
    account.UserName = FIni.ReadString(section, "UserName", "");
    account.Port = FIni.ReadInteger(section, "PortNumber", kDefaultPort);
    account.Password = FBase64.Decode(FIni.ReadString(section, "Password", ""));
    account.APop = FIni.ReadInteger(section, "APOP", 0);
    return account;
}

TGlobalOptions TSettingsFile::ReadGlobalOptions() const {
    TGlobalOptions options;
    options.CheckInterval = FIni.ReadInteger(kGlobal, "CheckInterval", 60);
    options.LightOnEqual = FIni.ReadInteger(kGlobal, "LightOnEqual", 1) != 0;
    options.Flash = FIni.ReadInteger(kGlobal, "Flash", 0) != 0;
    options.FlashOnEqual = FIni.ReadInteger(kGlobal, "FlashOnEqual", 0) != 0;
    options.FlashOnError = FIni.ReadInteger(kGlobal, "FlashOnError", 0) != 0;
    options.AttentiveWait = FIni.ReadInteger(kGlobal, "AttentiveWait", 1) != 0;
    options.TaskTray = FIni.ReadInteger(kGlobal, "TaskTray", 0) != 0;
    options.Notify = FIni.ReadInteger(kGlobal, "Notify", 0) != 0;
    return options;
}

TSirenOptions TSettingsFile::ReadSirenOptions() const {
    TSirenOptions siren;
    siren.Enabled = FIni.ReadInteger(kSiren, "Enabled", 0) != 0;
    siren.Target1 = FIni.ReadString(kSiren, "Target1", "");
    siren.Target2 = FIni.ReadString(kSiren, "Target2", "");
    siren.Target3 = FIni.ReadString(kSiren, "Target3", "");
    siren.Song1 = FIni.ReadString(kSiren, "Song1", "");
    siren.Song2 = FIni.ReadString(kSiren, "Song2", "");
    siren.Song3 = FIni.ReadString(kSiren, "Song3", "");
    siren.Song0 = FIni.ReadString(kSiren, "Song0", "");
    return siren;
}

void TSettingsFile::Write(std::span<const TAccount> accounts, const TGlobalOptions& options,
                          const TSirenOptions& siren) {
    int n = 0;
    for (const TAccount& account : accounts) {
        const std::string section = AccountSection(++n);
        FIni.WriteString(section, "AccountName", account.AccountName);
        FIni.WriteString(section, "POPServer", account.Server);
        FIni.WriteString(section, "UserName", account.UserName);
        FIni.WriteInteger(section, "PortNumber", account.Port);
        FIni.WriteString(section, "Password", FBase64.Encode(account.Password));
        FIni.WriteInteger(section, "APOP", account.APop);
    }
    FIni.WriteInteger(kAccountConfig, "Count", n);
    FIni.WriteInteger(kGlobal, "CheckInterval", options.CheckInterval);
    FIni.WriteBool(kGlobal, "LightOnEqual", options.LightOnEqual);
    FIni.WriteBool(kGlobal, "Flash", options.Flash);
    FIni.WriteBool(kGlobal, "FlashOnEqual", options.FlashOnEqual);
    FIni.WriteBool(kGlobal, "FlashOnError", options.FlashOnError);
    FIni.WriteBool(kGlobal, "AttentiveWait", options.AttentiveWait);
    FIni.WriteBool(kGlobal, "TaskTray", options.TaskTray);
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
