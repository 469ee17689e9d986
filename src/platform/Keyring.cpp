#include "platform/Keyring.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <qt6keychain/keychain.h>

namespace {

TKeyringResult ResultOf(const QKeychain::Job& job) {
    TKeyringResult result;
    result.Ok = job.error() == QKeychain::NoError;
    result.NotFound = job.error() == QKeychain::EntryNotFound;
    if (!result.Ok) {
        result.Error = job.errorString().toStdString();
        if (result.Error.empty()) result.Error = "error " + std::to_string(static_cast<int>(job.error()));
    }
    return result;
}

// QtKeychain's jobs, run on a thread of their own with GLib's event loop:
// the Secret Service library answers through GLib, while Vesk's windowless
// commands run Qt's plain Unix loop. Each job deletes itself once it has
// reported, and the report is handed back to the application's thread.
// Secrets are kept as UTF-8 text, so that the desktop's own tools show them
// as typed.
class TSecretServiceHost : public TKeyringHost {
public:
    void Read(const std::string& key, TDone done) override {
        OnWorker([key, done = std::move(done)] {
            auto* job = new QKeychain::ReadPasswordJob(QString::fromUtf8(kKeyringService));
            job->setAutoDelete(true);
            job->setKey(QString::fromUtf8(key));
            QObject::connect(job, &QKeychain::Job::finished, [done](QKeychain::Job* j) {
                TKeyringResult result = ResultOf(*j);
                if (result.Ok)
                    result.Secret = static_cast<QKeychain::ReadPasswordJob*>(j)->textData().toUtf8().toStdString();
                Report(done, result);
            });
            job->start();
        });
    }
    void Write(const std::string& key, const std::string& secret, TDone done) override {
        OnWorker([key, secret, done = std::move(done)] {
            auto* job = new QKeychain::WritePasswordJob(QString::fromUtf8(kKeyringService));
            job->setAutoDelete(true);
            job->setKey(QString::fromUtf8(key));
            job->setTextData(QString::fromUtf8(secret));
            QObject::connect(job, &QKeychain::Job::finished, [done](QKeychain::Job* j) { Report(done, ResultOf(*j)); });
            job->start();
        });
    }

private:
    // The keyring's thread, started at the first request and ended with the
    // application.
    static QObject* Worker() {
        static QThread* thread = nullptr;
        static QObject* context = nullptr;
        if (!thread) {
            // The thread's loop is GLib's unless the user turned GLib off
            // for the whole program.
            const QByteArray noGlib = qgetenv("QT_NO_GLIB");
            qunsetenv("QT_NO_GLIB");
            thread = new QThread;
            context = new QObject;
            context->moveToThread(thread);
            thread->start();
            if (!noGlib.isNull()) qputenv("QT_NO_GLIB", noGlib);
            qAddPostRoutine([] {
                thread->quit();
                thread->wait();
                delete context;
                delete thread;
                thread = nullptr;
                context = nullptr;
            });
        }
        return context;
    }
    static void OnWorker(std::function<void()> work) {
        QMetaObject::invokeMethod(Worker(), std::move(work), Qt::QueuedConnection);
    }
    static void Report(const TDone& done, const TKeyringResult& result) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), [done, result] { done(result); }, Qt::QueuedConnection);
    }
};

TKeyringHost* g_host = nullptr;

TKeyringHost* RealHost() {
    static TSecretServiceHost host;
    return &host;
}

}  // namespace

TKeyringHost* SetKeyringHost(TKeyringHost* host) {
    TKeyringHost* old = CurrentKeyringHost();
    g_host = host;
    return old;
}

TKeyringHost* CurrentKeyringHost() { return g_host ? g_host : RealHost(); }

void ReadKeyring(const std::string& key, TKeyringHost::TDone done) { CurrentKeyringHost()->Read(key, std::move(done)); }

void WriteKeyring(const std::string& key, const std::string& secret, TKeyringHost::TDone done) {
    CurrentKeyringHost()->Write(key, secret, std::move(done));
}

void TFakeKeyringHost::Read(const std::string& key, TDone done) {
    ++reads;
    TKeyringResult result;
    if (!Failure.empty()) {
        result.Error = Failure;
    } else if (auto it = entries.find(key); it != entries.end()) {
        result.Ok = true;
        result.Secret = it->second;
    } else {
        result.NotFound = true;
        result.Error = "Entry not found";
    }
    QTimer::singleShot(0, [done = std::move(done), result] { done(result); });
}

void TFakeKeyringHost::Write(const std::string& key, const std::string& secret, TDone done) {
    ++writes;
    TKeyringResult result;
    if (!Failure.empty()) {
        result.Error = Failure;
    } else {
        result.Ok = true;
        entries[key] = secret;
    }
    QTimer::singleShot(0, [done = std::move(done), result] { done(result); });
}
