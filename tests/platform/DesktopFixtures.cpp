#include "DesktopFixtures.h"

#include "support/Fixtures.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <stdexcept>

namespace DesktopFixtures {

namespace {

std::string FixtureFile(const char* variable, const char* builtIn, const char* file) {
    const std::string path = TestSupport::FixtureDir(variable, builtIn) + "/" + file;
    std::string value = TestSupport::ReadTrimmed(path);
    if (value.empty()) throw std::runtime_error(path + " is missing: the fixture did not start (run the tests through ctest)");
    return value;
}

}  // namespace

std::string XDisplay() { return FixtureFile("VESK_XVFB_DIR", VESK_XVFB_FIXTURE_DIR, "display"); }
std::string PulseServer() { return FixtureFile("VESK_PULSE_DIR", VESK_PULSE_FIXTURE_DIR, "server"); }
std::string PulseSink() { return FixtureFile("VESK_PULSE_DIR", VESK_PULSE_FIXTURE_DIR, "sink"); }

TRun RunTool(const QString& program, const QStringList& args, const QStringList& env) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& assignment : env) {
        int eq = assignment.indexOf('=');
        environment.insert(assignment.left(eq), assignment.mid(eq + 1));
    }
    process.setProcessEnvironment(environment);
    process.start(program, args);
    if (!process.waitForStarted(30000)) throw std::runtime_error("cannot start " + program.toStdString());
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        throw std::runtime_error(program.toStdString() + " did not end");
    }
    TRun run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString();
    return run;
}

bool XsetScrollLock(const std::string& display) {
    TRun run = RunTool("xset", {"-display", QString::fromStdString(display), "q"});
    if (run.exitCode != 0) throw std::runtime_error("xset q failed: " + run.err);
    auto at = run.out.find("Scroll Lock:");
    if (at == std::string::npos) throw std::runtime_error("xset q shows no Scroll Lock indicator");
    auto value = run.out.find_first_not_of(' ', at + 12);
    return run.out.compare(value, 2, "on") == 0;
}

void XsetSetScrollLock(const std::string& display, bool on) {
    TRun run = RunTool("xset", {"-display", QString::fromStdString(display), on ? "led" : "-led", "named", "Scroll Lock"});
    if (run.exitCode != 0) throw std::runtime_error("xset led failed: " + run.err);
}

}  // namespace DesktopFixtures
