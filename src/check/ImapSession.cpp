// IMAP behind the mail session interface: the login the server offers, STATUS
// for the count of unseen mail (UID SEARCH UNSEEN once the folder is
// examined), EXAMINE and UID SEARCH UNSEEN for the ids, a UID FETCH of the
// From field for a From line, IDLE to wait for news, LOGOUT.
#include "check/AccountCheck.h"

#include <algorithm>
#include <climits>
#include <functional>

TImapSession::TImapSession(TImapCli* Engine) : TEngineSession(Engine) {
    FCli->OnMailboxChange = [this](TObject*) {
        if (OnNews) OnNews();
    };
}

TImapSession::~TImapSession() { FCli->OnMailboxChange = nullptr; }

void TImapSession::Connect(const TCheckTarget& Target) {
    SetTarget(Target);
    FCli->Folder = Target.Folder;
    Begin(TStep::Connect, &TImapCli::Connect);
}

void TImapSession::LogIn(const TCheckTarget&) { Begin(TStep::Login, &TImapCli::Login); }

void TImapSession::CountMail() {
    FSearched = false;
    FCountedBySearch = FCli->Examined();
    // STATUS on the folder a session has examined may be out of date; its
    // search is not, and it names the unseen messages as well.
    if (FCountedBySearch)
        Begin(TStep::CountSearch, &TImapCli::UidSearchUnseen);
    else
        Begin(TStep::Count, &TImapCli::Status);
}

int TImapSession::Count() const {
    if (FCountedBySearch) return static_cast<int>(std::min<std::size_t>(FUnseenUids.size(), INT_MAX));
    return static_cast<int>(std::min<std::uint64_t>(FCli->Unseen(), INT_MAX));
}

TMailboxMark TImapSession::Mark() const {
    TMailboxMark mark{{}, FCli->UidValidity(), FCli->UidNext()};
    // Mail delivered since the folder was examined has UIDs from its UIDNEXT
    // on: the highest unseen one tells how far the folder has come.
    if (FCountedBySearch && !FUnseenUids.empty()) mark.UidNext = std::max(mark.UidNext, FUnseenUids.front() + 1);
    return mark;
}

void TImapSession::ListIds(int Lowest, int Highest) {
    FLowest = Lowest;
    FHighest = Highest;
    FIds.clear();
    FNewest.clear();
    if (FSearched) {
        SliceNewest();
        return FinishLater(true);
    }
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
    // has no From line.
    FinishLater(true);
}

void TImapSession::WaitForNews() {
    if (FCli->Examined())
        Begin(TStep::Idle, &TImapCli::Idle);
    else
        Begin(TStep::IdleExamine, &TImapCli::Examine);
}

void TImapSession::LogOut() { Begin(TStep::Logout, &TImapCli::Logout); }

std::string TImapSession::ErrorText() const {
    const std::string& text = FCli->ErrorMessage();
    return text.empty() ? "IMAP: no reason given" : text;
}

void TImapSession::FinishLater(bool Ok) {
    // The end still comes later, never from inside the call.
    FPending = TStep::None;
    FWaiting = true;
    QTimer::singleShot(0, &FContext, [this, Ok] {
        if (!FWaiting || FPending != TStep::None) return;
        FWaiting = false;
        if (OnDone) OnDone(Ok);
    });
}

void TImapSession::TakeSearch() {
    FUnseenUids = FCli->Uids();
    std::sort(FUnseenUids.begin(), FUnseenUids.end(), std::greater<>());
    FUnseenUids.erase(std::unique(FUnseenUids.begin(), FUnseenUids.end()), FUnseenUids.end());
    FSearched = true;
}

void TImapSession::SliceNewest() {
    const std::size_t wanted = FHighest >= FLowest ? static_cast<std::size_t>(FHighest - FLowest) + 1 : 0;
    FNewest.assign(FUnseenUids.begin(), FUnseenUids.begin() + static_cast<long>(std::min(wanted, FUnseenUids.size())));
    const std::string validity = std::to_string(FCli->UidValidity()) + ":";
    for (std::uint64_t uid : FNewest) FIds.push_back(validity + std::to_string(uid));
}

bool TImapSession::StartNext(TStep Step, void (TImapCli::*Operation)()) {
    FPending = Step;
    try {
        (FCli->*Operation)();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void TImapSession::RequestDone() {
    // An end left over from a request that was dropped can arrive during the
    // next one: what counts is the engine idle again while this session waits.
    if (!FWaiting || FPending == TStep::None || FCli->EngineState() != TImapEngineState::Idle) return;
    bool ok = FCli->RequestOutcome() == 0;
    // The steps that follow another within one request of the session.
    if (FPending == TStep::Examine && ok && (ok = StartNext(TStep::Search, &TImapCli::UidSearchUnseen))) return;
    if (FPending == TStep::IdleExamine && ok && (ok = StartNext(TStep::Idle, &TImapCli::Idle))) return;
    if ((FPending == TStep::Search || FPending == TStep::CountSearch) && ok) TakeSearch();
    if (FPending == TStep::Search && ok) SliceNewest();
    if (FPending == TStep::Fetch && ok) FFrom = FCli->From();
    FWaiting = false;
    if (OnDone) OnDone(ok);
}
