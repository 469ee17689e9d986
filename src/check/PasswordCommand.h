// An account's password command: `/bin/sh -c COMMAND` without a terminal
// (standard input from /dev/null, a session of its own, so no controlling
// terminal either), whose first line on standard output is the secret. The
// secret travels only through the pipe: it is never an argument of any
// process, and no text this class makes holds it.
//
// A command that exits with a status other than 0, outlasts its time limit
// (it is then killed, with whatever it started) or prints an empty first
// line fails with "password command failed: " and the first line of its
// standard error, or, when that is empty, what happened ("exit status N",
// "no output", "timed out after N s").
#pragma once

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>

class QProcess;

// Seconds a password command may run.
constexpr int kPasswordCommandSeconds = 15;

class TPasswordCommand {
public:
    TPasswordCommand();
    ~TPasswordCommand();
    TPasswordCommand(const TPasswordCommand&) = delete;
    TPasswordCommand& operator=(const TPasswordCommand&) = delete;

    // Seconds after which the command is killed and fails.
    int TimeLimitSeconds = kPasswordCommandSeconds;
    // The end of the command: true when it gave a secret. Never called from
    // inside Start.
    std::function<void(bool Ok)> OnDone;

    // Runs `Command`; a command still running is killed first (no OnDone).
    void Start(const std::string& Command);
    // Kills the running command; no OnDone follows.
    void Abort();
    bool Running() const { return FProcess != nullptr; }
    // The first line of the output, without its line end, after OnDone(true);
    // Start and Abort forget it.
    const std::string& Secret() const { return FSecret; }
    // Why the command failed, after OnDone(false).
    const std::string& ErrorText() const { return FError; }

private:
    void ReadOutput();
    void ReadErrors();
    void Finished(bool Crashed, int ExitCode);
    void Fail(const std::string& WhatHappened);
    void Done(bool Ok);
    // Kills the command's whole session (the shell and what it started).
    void Kill();
    // Kills and frees the process; none of its signals comes any more.
    void Drop();

    std::unique_ptr<QProcess> FProcess;
    QTimer FLimit;
    bool FTimedOut = false;
    // The first line of each stream, as far as it has come; the rest is
    // read and dropped.
    std::string FOut, FErr;
    bool FOutLine = false, FErrLine = false;
    std::string FSecret, FError;
    // Counts starts and ends: a report queued for an earlier run is dropped.
    unsigned FRun = 0;
    // Carries the report of a command that could not start out of Start.
    QObject FContext;
};
