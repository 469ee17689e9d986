#include "app/CheckCommand.h"

#include "settings/SettingsFile.h"

#include <QFileInfo>

#include <algorithm>

namespace {

// Accounts as the poll cycle reads them: Count clamped to 0..20, positions
// in file order.
std::vector<TCheckTarget> ReadAccounts(const std::string& iniPath) {
    const TSettingsFile file(iniPath);
    const int count = std::clamp(file.ReadAccountCount(), 0, kMaxCheckedAccounts);
    std::vector<TCheckTarget> accounts;
    for (int n = 1; n <= count; ++n) {
        const TAccount account = file.ReadAccount(n);
        accounts.push_back(
            CheckTargetOf(account, account.AccountName.empty() ? AccountSection(n) : account.AccountName, false));
    }
    return accounts;
}

}  // namespace

std::string CheckLine(const std::string& name, const TCheckResult& result) {
    if (result.Ok) return name + "\t" + std::to_string(result.Count);
    return name + "\terror\t" + result.Error;
}

int PrintCheckResults(const std::vector<TCheckTarget>& accounts, const std::vector<TCheckResult>& results,
                      std::ostream& out) {
    int code = kCheckAllChecked;
    for (std::size_t i = 0; i < accounts.size() && i < results.size(); ++i) {
        if (!results[i].Checked) continue;
        out << CheckLine(accounts[i].Name, results[i]) << '\n';
        if (!results[i].Ok) code = kCheckSomeFailed;
    }
    out.flush();
    return code;
}

int RunCheckCommand(const std::string& iniPath, std::ostream& out, std::ostream& err) {
    QFileInfo file(QString::fromLocal8Bit(iniPath.c_str()));
    if (!file.isFile() || !file.isReadable()) {
        err << "Vesk: cannot read the settings file " << iniPath << '\n';
        err << "Vesk: make one with the settings dialog (start Vesk without options), or name one with --ini FILE\n";
        return kCheckUsageError;
    }
    std::vector<TCheckTarget> accounts = ReadAccounts(iniPath);
    std::vector<TCheckResult> results = TCheckAll().Run(accounts);
    return PrintCheckResults(accounts, results, out);
}
