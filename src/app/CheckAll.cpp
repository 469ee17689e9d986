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
        : FTarget(target), FResult(result), FFinished(std::move(finished)) {
        FSilence.setSingleShot(true);
        FStepLimit.setSingleShot(true);
        if (timeout > 0) {
            FSilence.setInterval(timeout * 1000);
            FStepLimit.setInterval(timeout * 1000 * TSyncPop3Cli::kReplyTimeouts);
        }
        QObject::connect(&FSilence, &QTimer::timeout, [this] { SilenceExpired(); });
        // However steadily a server trickles, one step ends within its
        // limit in all, as in the poll cycle.
        QObject::connect(&FStepLimit, &QTimer::timeout, [this] { SilenceExpired(); });
        FTimed = timeout > 0;
        FCli.Host = target.Server;
        FCli.Port = std::to_string(target.Port);
        FCli.UserName = target.UserName;
        FCli.PassWord = target.Password;
        FCli.Security = target.Security;
        FCli.Fingerprint = target.Fingerprint;
        FCli.OnResponse = [this](TObject*, const std::string&) { RestartSilence(); };
        FCli.OnRequestDone = [this](TObject*, TPop3Request rq, WORD error) { RequestDone(rq, error); };
    }

    ~TAccountCheck() {
        FCli.OnResponse = nullptr;
        FCli.OnRequestDone = nullptr;
    }

    void Start() {
        FResult.Checked = true;
        if (!FTarget.SettingsError.empty()) {
            Fail(FTarget.SettingsError);
            return;
        }
        Step(&TCustomPop3Cli::Connect);
    }

private:
    void RestartSilence() {
        if (FTimed) FSilence.start();
    }

    // Starts one request; a request refused at once fails the account.
    void Step(void (TCustomPop3Cli::*operation)()) {
        RestartSilence();
        if (FTimed) FStepLimit.start();
        try {
            (FCli.*operation)();
        } catch (const std::exception& e) {
            Fail(e.what());
        }
    }

    void RequestDone(TPop3Request rq, WORD error) {
        if (FDone) return;
        if (rq == rqQuit) {
            Finish();
            return;
        }
        if (error != 0) {
            // The engine's text is cleaned and never empty for a failure it
            // saw itself; a code alone still says something.
            std::string text = FCli.ErrorMessage();
            if (text.empty()) text = "error " + std::to_string(error);
            Fail(text);
            return;
        }
        switch (rq) {
        case rqConnect:
            Step(FTarget.APop ? &TCustomPop3Cli::APop : &TCustomPop3Cli::User);
            break;
        case rqUser:
            Step(&TCustomPop3Cli::Pass);
            break;
        case rqPass:
        case rqAPop:
            Step(&TCustomPop3Cli::Stat);
            break;
        case rqStat:
            FResult.Ok = true;
            FResult.Count = FCli.MsgCount();
            Quit();
            break;
        default:
            Fail("unexpected request " + std::to_string(rq));
            break;
        }
    }

    void Fail(const std::string& text) {
        if (FDone || FFailed) return;
        FFailed = true;
        FResult.Ok = false;
        FResult.Count = 0;
        FResult.Error = text;
        // A connection still open is told goodbye, as the poll cycle does.
        if (FCli.Connected() && (FCli.EngineState() == esIdle || FCli.EngineState() == esBetweenSteps))
            Quit();
        else
            Stop();
    }

    void Quit() {
        FQuitting = true;
        try {
            RestartSilence();
            if (FTimed) FStepLimit.start();
            FCli.Quit();
        } catch (const std::exception&) {
            Stop();
        }
    }

    void SilenceExpired() {
        if (FDone) return;
        if (FQuitting) {
            // Only the goodbye went unanswered: the result stands.
            Stop();
            return;
        }
        // A request is still running, so Fail drops the connection.
        Fail("426 Timeout");
    }

    // Drops the connection and ends the check.
    void Stop() {
        if (FDone) return;
        FCli.OnRequestDone = nullptr;
        FCli.Abort();
        Finish();
    }

    void Finish() {
        if (FDone) return;
        FDone = true;
        FSilence.stop();
        FStepLimit.stop();
        FFinished();
    }

    TCheckTarget FTarget;
    TCheckResult& FResult;
    std::function<void()> FFinished;
    TPop3Cli FCli;
    QTimer FSilence;
    QTimer FStepLimit;
    bool FTimed = false;
    bool FDone = false;
    bool FFailed = false;
    bool FQuitting = false;
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
