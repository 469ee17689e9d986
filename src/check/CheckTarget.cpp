#include "check/AccountCheck.h"

const char* CheckStepName(TCheckStep Step) {
    switch (Step) {
        case TCheckStep::Connection: return "connection";
        case TCheckStep::Login: return "login";
        case TCheckStep::Check: return "check";
    }
    return "check";
}

TCheckTarget CheckTargetOf(const TAccount& Account, const std::string& Name, bool WantFrom) {
    TCheckTarget target;
    target.Name = Name;
    target.Server = Account.Server;
    target.Port = Account.Port;
    target.UserName = Account.UserName;
    target.Secret = Account.Password;
    target.APop = Account.APop != 0;
    target.Fingerprint = Account.Fingerprint;
    target.WantFrom = WantFrom;
    target.SettingsError = AccountSettingsError(Account);
    // A value that is no choice never reaches a connection (SettingsError).
    target.Security = target.SettingsError.empty() ? static_cast<TSecurity>(Account.Security) : TSecurity::Plain;
    return target;
}
