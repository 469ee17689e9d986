#include "app/CheckAll.h"

#include <QEventLoop>

#include <memory>

std::vector<TCheckResult> TCheckAll::Run(const std::vector<TCheckTarget>& accounts) {
    struct TRunning {
        std::unique_ptr<TMailSession> Session;
        std::unique_ptr<TAccountCheck> Check;
        std::size_t Index = 0;
    };
    std::vector<TCheckResult> results(accounts.size());
    std::vector<std::unique_ptr<TRunning>> checks;
    QEventLoop loop;
    std::size_t running = 0;
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        const TCheckTarget& a = accounts[i];
        if (a.Server.empty() || a.UserName.empty()) continue;
        auto r = std::make_unique<TRunning>();
        r->Index = i;
        r->Session = NewMailSession(a);
        r->Check = std::make_unique<TAccountCheck>(*r->Session, a);
        r->Check->SilenceLimit = Timeout;
        r->Check->OnFinished = [&] {
            if (--running == 0) loop.quit();
        };
        checks.push_back(std::move(r));
    }
    running = checks.size();
    // Every connection is started before any is waited for.
    for (auto& r : checks) r->Check->Start();
    // A check that failed at once has finished already.
    if (running > 0) loop.exec();
    for (auto& r : checks) results[r->Index] = r->Check->Result();
    return results;
}
