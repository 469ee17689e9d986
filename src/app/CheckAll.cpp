#include "app/CheckAll.h"

#include "pop3/Pop3Prot.h"

#include <QEventLoop>
#include <QTimer>

#include <functional>
#include <memory>

namespace {

// One account's check: a chain of engine requests, each started from the
// previous one's OnRequestDone.
class TAccountCheck {
public:
    TAccountCheck(const TCheckTarget& target, int timeout, TCheckResult& result, std::function<void()> finished)
        : target_(target), result_(result), finished_(std::move(finished)) {
        silence_.setSingleShot(true);
        if (timeout > 0) silence_.setInterval(timeout * 1000);
        QObject::connect(&silence_, &QTimer::timeout, [this] { SilenceExpired(); });
        timed_ = timeout > 0;
        cli_.Host = target.Server;
        cli_.Port = std::to_string(target.Port);
        cli_.UserName = target.UserName;
        cli_.PassWord = target.Password;
        cli_.OnResponse = [this](TObject*, const std::string&) { RestartSilence(); };
        cli_.OnRequestDone = [this](TObject*, TPop3Request rq, WORD error) { RequestDone(rq, error); };
    }

    ~TAccountCheck() {
        cli_.OnResponse = nullptr;
        cli_.OnRequestDone = nullptr;
    }

    void Start() {
        result_.Checked = true;
        Step(&TCustomPop3Cli::Connect);
    }

private:
    void RestartSilence() {
        if (timed_) silence_.start();
    }

    // Starts one request; a request refused at once fails the account.
    void Step(void (TCustomPop3Cli::*operation)()) {
        RestartSilence();
        try {
            (cli_.*operation)();
        } catch (const std::exception& e) {
            Fail(e.what());
        }
    }

    void RequestDone(TPop3Request rq, WORD error) {
        if (done_) return;
        if (rq == rqQuit) {
            Finish();
            return;
        }
        if (error != 0) {
            std::string text = cli_.ErrorMessage();
            if (text.empty()) text = cli_.LastResponse();
            if (text.empty()) text = "error " + std::to_string(error);
            Fail(text);
            return;
        }
        switch (rq) {
        case rqConnect:
            Step(target_.APop ? &TCustomPop3Cli::APop : &TCustomPop3Cli::User);
            break;
        case rqUser:
            Step(&TCustomPop3Cli::Pass);
            break;
        case rqPass:
        case rqAPop:
            Step(&TCustomPop3Cli::Stat);
            break;
        case rqStat:
            result_.Ok = true;
            result_.Count = cli_.MsgCount();
            Quit();
            break;
        default:
            Fail("unexpected request " + std::to_string(rq));
            break;
        }
    }

    void Fail(const std::string& text) {
        if (done_ || failed_) return;
        failed_ = true;
        result_.Ok = false;
        result_.Count = 0;
        result_.Error = text;
        // A connection still open is told goodbye, as the poll cycle does.
        if (cli_.Connected() && (cli_.EngineState() == esIdle || cli_.EngineState() == esBetweenSteps))
            Quit();
        else
            Stop();
    }

    void Quit() {
        quitting_ = true;
        try {
            RestartSilence();
            cli_.Quit();
        } catch (const std::exception&) {
            Stop();
        }
    }

    void SilenceExpired() {
        if (done_) return;
        if (quitting_) {
            // Only the goodbye went unanswered: the result stands.
            Stop();
            return;
        }
        // A request is still running, so Fail drops the connection.
        Fail("426 Timeout");
    }

    // Drops the connection and ends the check.
    void Stop() {
        if (done_) return;
        cli_.OnRequestDone = nullptr;
        cli_.Abort();
        Finish();
    }

    void Finish() {
        if (done_) return;
        done_ = true;
        silence_.stop();
        finished_();
    }

    TCheckTarget target_;
    TCheckResult& result_;
    std::function<void()> finished_;
    TPop3Cli cli_;
    QTimer silence_;
    bool timed_ = false;
    bool done_ = false;
    bool failed_ = false;
    bool quitting_ = false;
};

}  // namespace

std::vector<TCheckResult> TCheckAll::Run(const std::vector<TCheckTarget>& accounts) {
    std::vector<TCheckResult> results(accounts.size());
    std::vector<std::unique_ptr<TAccountCheck>> checks;
    QEventLoop loop;
    std::size_t running = 0;
    auto finished = [&] {
        if (--running == 0) loop.quit();
    };
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        const TCheckTarget& a = accounts[i];
        // Accounts without server or user name are skipped, as the poll cycle
        // skips them.
        if (a.Server.empty() || a.UserName.empty()) continue;
        checks.push_back(std::make_unique<TAccountCheck>(a, Timeout, results[i], finished));
    }
    running = checks.size();
    // Every connection is started before any is waited for.
    for (auto& check : checks) check->Start();
    // A check that failed at once has finished already.
    if (running > 0) loop.exec();
    return results;
}
