// IMAP behind the mail session interface: the login the server offers, STATUS
// for the count of unseen mail, EXAMINE and UID SEARCH UNSEEN for the ids, a
// UID FETCH of the From field for a From line, LOGOUT.
#include "check/AccountCheck.h"

#include <algorithm>
#include <climits>
#include <functional>

TImapSession::TImapSession(TImapCli* Engine) : TEngineSession(Engine) {}

TImapSession::~TImapSession() = default;

void TImapSession::Connect(const TCheckTarget& Target) {
    SetTarget(Target);
    FCli->Folder = Target.Folder;
    Begin(TStep::Connect, &TImapCli::Connect);
}

void TImapSession::LogIn(const TCheckTarget&) { Begin(TStep::Login, &TImapCli::Login); }

void TImapSession::CountMail() { Begin(TStep::Count, &TImapCli::Status); }

int TImapSession::Count() const { return static_cast<int>(std::min<std::uint64_t>(FCli->Unseen(), INT_MAX)); }

void TImapSession::ListIds(int Lowest, int Highest) {
    FLowest = Lowest;
    FHighest = Highest;
    FIds.clear();
    FNewest.clear();
    Begin(TStep::Examine, &TImapCli::Examine);
}

void TImapSession::ReadFrom(int Number) {
    FFrom.clear();
    const long index = static_cast<long>(FHighest) - Number;
    if (index >= 0 && static_cast<std::size_t>(index) < FNewest.size()) {
        FPending = TStep::Fetch;
        FWaiting = true;
        try {
            FCli->FetchFrom(FNewest[static_cast<std::size_t>(index)]);
        } catch (...) {
            FWaiting = false;
            throw;
        }
        return;
    }
    // Fewer unseen messages than counted (one was read meanwhile): that one
    // has no From line. The end still comes later, never from inside the call.
    FPending = TStep::None;
    FWaiting = true;
    QTimer::singleShot(0, &FContext, [this] {
        if (!FWaiting || FPending != TStep::None) return;
        FWaiting = false;
        if (OnDone) OnDone(true);
    });
}

void TImapSession::LogOut() { Begin(TStep::Logout, &TImapCli::Logout); }


std::string TImapSession::ErrorText() const {
    const std::string& text = FCli->ErrorMessage();
    return text.empty() ? "IMAP: no reason given" : text;
}

void TImapSession::RequestDone() {
    // An end left over from a request that was dropped can arrive during the
    // next one: what counts is the engine idle again while this session waits.
    if (!FWaiting || FPending == TStep::None || FCli->EngineState() != TImapEngineState::Idle) return;
    bool ok = FCli->RequestOutcome() == 0;
    if (FPending == TStep::Examine && ok) {
        FPending = TStep::Search;
        try {
            FCli->UidSearchUnseen();
            return;
        } catch (const std::exception&) {
            ok = false;
        }
    }
    if (FPending == TStep::Search && ok) {
        FNewest = FCli->Uids();
        std::sort(FNewest.begin(), FNewest.end(), std::greater<>());
        FNewest.erase(std::unique(FNewest.begin(), FNewest.end()), FNewest.end());
        FNewest.resize(std::min<std::size_t>(FNewest.size(), static_cast<std::size_t>(FHighest - FLowest) + 1));
        const std::string validity = std::to_string(FCli->UidValidity()) + ":";
        for (std::uint64_t uid : FNewest) FIds.push_back(validity + std::to_string(uid));
    }
    if (FPending == TStep::Fetch && ok) FFrom = FCli->From();
    FWaiting = false;
    if (OnDone) OnDone(ok);
}
