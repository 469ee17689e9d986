#include "check/PasswordCommand.h"

#include "codec/ServerText.h"

#include <QProcess>

#include <csignal>
#include <unistd.h>

namespace {

// The longest first line kept of either stream (a token may be long; an
// endless line is no secret).
constexpr std::size_t kMaxLine = 64 * 1024;
// The most of standard error shown.
constexpr std::size_t kMaxErrorText = 512;

// Adds `Data` to the first line gathered in `Line` until its end has come.
void TakeFirstLine(const QByteArray& Data, std::string& Line, bool& Complete) {
    if (Complete) return;
    const qsizetype end = Data.indexOf('\n');
    Line.append(Data.constData(), static_cast<std::size_t>(end < 0 ? Data.size() : end));
    if (end >= 0 || Line.size() >= kMaxLine) Complete = true;
    if (Line.size() > kMaxLine) Line.resize(kMaxLine);
}

std::string WithoutCr(std::string Line) {
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    return Line;
}

}  // namespace

TPasswordCommand::TPasswordCommand() {
    FLimit.setSingleShot(true);
    QObject::connect(&FLimit, &QTimer::timeout, &FContext, [this] {
        if (!FProcess) return;
        FTimedOut = true;
        Kill();  // the end is reported by the process's finished signal
    });
}

TPasswordCommand::~TPasswordCommand() {
    OnDone = nullptr;
    Abort();
}

void TPasswordCommand::Start(const std::string& Command) {
    Abort();
    FProcess = std::make_unique<QProcess>();
    QProcess* process = FProcess.get();
    process->setStandardInputFile(QProcess::nullDevice());
    // A session of its own: no controlling terminal, so a helper that would
    // ask on /dev/tty fails at once instead of waiting on the user's
    // terminal; and the time limit ends the whole group.
    process->setChildProcessModifier([] { ::setsid(); });
    QObject::connect(process, &QProcess::readyReadStandardOutput, &FContext, [this] { ReadOutput(); });
    QObject::connect(process, &QProcess::readyReadStandardError, &FContext, [this] { ReadErrors(); });
    QObject::connect(process, &QProcess::finished, &FContext, [this](int code, QProcess::ExitStatus status) {
        Finished(status == QProcess::CrashExit, code);
    });
    QObject::connect(process, &QProcess::errorOccurred, &FContext, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) Fail("cannot start /bin/sh");
    });
    if (TimeLimitSeconds > 0) FLimit.start(TimeLimitSeconds * 1000);
    process->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QString::fromUtf8(Command)});
}

void TPasswordCommand::Abort() {
    ++FRun;
    FLimit.stop();
    Drop();
    FOut.clear();
    FErr.clear();
    FOutLine = FErrLine = FTimedOut = false;
    FSecret.clear();
    FError.clear();
}

void TPasswordCommand::Kill() {
    if (!FProcess || FProcess->state() == QProcess::NotRunning) return;
    // The shell leads its own group (setsid): what it started dies with it.
    const qint64 pid = FProcess->processId();
    if (pid > 0) ::kill(static_cast<pid_t>(-pid), SIGKILL);
    FProcess->kill();
}

void TPasswordCommand::Drop() {
    if (!FProcess) return;
    QObject::disconnect(FProcess.get(), nullptr, &FContext, nullptr);
    Kill();
    // Killed outright (or ended already): the wait is only for the reaping.
    FProcess->waitForFinished(1000);
    FProcess.reset();
}

void TPasswordCommand::ReadOutput() { TakeFirstLine(FProcess->readAllStandardOutput(), FOut, FOutLine); }

void TPasswordCommand::ReadErrors() { TakeFirstLine(FProcess->readAllStandardError(), FErr, FErrLine); }

void TPasswordCommand::Finished(bool Crashed, int ExitCode) {
    ReadOutput();
    ReadErrors();
    if (FTimedOut) return Fail("timed out after " + std::to_string(TimeLimitSeconds) + " s");
    if (Crashed) return Fail("ended by a signal");
    if (ExitCode != 0) return Fail("exit status " + std::to_string(ExitCode));
    FSecret = WithoutCr(std::move(FOut));
    FOut.clear();
    if (FSecret.empty()) return Fail("no output");
    Done(true);
}

void TPasswordCommand::Fail(const std::string& WhatHappened) {
    FSecret.clear();
    // Its own words, made safe to show (a TAB or an escape could forge the
    // --check line or rewrite a terminal); what happened when it said none.
    const std::string line = CleanServerText(FErr, kMaxErrorText);
    const std::size_t first = line.find_first_not_of(' ');
    FError = "password command failed: " +
             (first == std::string::npos ? WhatHappened : line.substr(first, line.find_last_not_of(' ') + 1 - first));
    Done(false);
}

void TPasswordCommand::Done(bool Ok) {
    FLimit.stop();
    // Reported from the event loop: never from inside Start, and never while
    // the process is still in one of its own signals (OnDone may free this).
    const unsigned run = FRun;
    QMetaObject::invokeMethod(
        &FContext,
        [this, run, Ok] {
            if (run != FRun) return;
            ++FRun;
            Drop();
            if (OnDone) OnDone(Ok);
        },
        Qt::QueuedConnection);
}
