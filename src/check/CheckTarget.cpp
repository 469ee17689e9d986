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
    target.PasswordCommand = Account.PasswordCommand;
    // The command wins over the keyring.
    if (Account.SecretInKeyring && Account.PasswordCommand.empty()) target.KeyringKey = KeyringKeyOf(Account);
    target.APop = Account.APop != 0;
    target.Protocol = Account.Protocol == static_cast<int>(TProtocol::Imap) ? TProtocol::Imap : TProtocol::Pop3;
    target.Folder = Account.Folder.empty() ? std::string(kDefaultFolder) : Account.Folder;
    target.Fingerprint = Account.Fingerprint;
    target.WantFrom = WantFrom;
    target.SettingsError = AccountSettingsError(Account);
    // A value that is no choice never reaches a connection (SettingsError).
    target.Security = target.SettingsError.empty() ? static_cast<TSecurity>(Account.Security) : TSecurity::Plain;
    target.Auth = target.SettingsError.empty() ? static_cast<TAuthMechanism>(Account.Auth) : TAuthMechanism::Password;
    return target;
}

std::string MailboxOf(const TCheckTarget& Target) {
    // An IPv6 address is shown in brackets, so that its colons are not
    // taken for the port's.
    const bool bareIPv6 = Target.Server.find(':') != std::string::npos && Target.Server.find('[') == std::string::npos;
    const std::string server = bareIPv6 ? '[' + Target.Server + ']' : Target.Server;
    return Target.UserName + '@' + server + ':' + std::to_string(Target.Port) + '/' + Target.Folder;
}

bool IsNewMail(const TCheckTarget& Target, int Count, const TMailboxMark& Now) {
    const TMailboxMark& before = Target.PreviousMark;
    // Without a mark of this very folder (the first check, another folder,
    // a server that gave none) the count is all there is to go by.
    if (Now.UidNext == 0 || before.UidNext == 0 || before.Mailbox != Now.Mailbox)
        return Count > Target.PreviousCount;
    // A new UIDVALIDITY renumbers the folder: the UIDs say nothing, so the
    // count decides. Mail that came and was read elsewhere before this
    // check is no news (nothing unseen).
    if (Now.UidValidity != before.UidValidity) return Count > Target.PreviousCount;
    return Count > 0 && Now.UidNext > before.UidNext;
}
