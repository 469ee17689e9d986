// Program entry. The command line is read first, without any application
// object: --check and --fingerprint run under the Qt core application alone
// (no display, no windows, no LED, no sound) and end the program. Otherwise
// the application starts hidden,
// creates the main window (which loads the settings and shows either itself
// or the tray icon) and runs the message loop until the main window closes.
#include "app/AppIcon.h"
#include "app/CheckCommand.h"
#include "app/CommandLine.h"
#include "app/IniLocation.h"
#include "app/Main.h"
#include "framework/Application.h"
#include "platform/Desktop.h"
#include "platform/ShellApi.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <iostream>

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    bool certificateOnly = false;
    for (const QString& a : arguments.mid(1)) certificateOnly |= a == "--fingerprint" || a.startsWith("--fingerprint=");
    if (certificateOnly || AsksToCheck(arguments)) {
        QCoreApplication core(argc, argv);
        core.setApplicationName("Vesk");
        const TCommandLine commandLine = ParseCommandLine(QCoreApplication::arguments());
        if (commandLine.Exit) {
            std::fputs(commandLine.Output.c_str(), stdout);
            std::fputs(commandLine.Error.c_str(), stderr);
            return commandLine.ExitCode;
        }
        if (!commandLine.FingerprintTarget.empty())
            return ShowCertificate(commandLine.FingerprintTarget, commandLine.StartTls);
        const std::string exePath = QCoreApplication::applicationFilePath().toLocal8Bit().toStdString();
        return RunCheckCommand(ChooseIniPath(exePath, commandLine.IniPath), std::cout, std::cerr);
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM") && !DisplayReachable()) {
        if (!AsksOnlyForInformation(arguments))
            std::fprintf(stderr, "Vesk: no display is reachable; running without windows (Qt offscreen platform).\n");
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    EnsureRuntimeDir();
    QApplication qtApp(argc, argv);
    qtApp.setApplicationName("Vesk");
    const TCommandLine commandLine = ParseCommandLine(QApplication::arguments());
    if (commandLine.Exit) {
        std::fputs(commandLine.Output.c_str(), stdout);
        std::fputs(commandLine.Error.c_str(), stderr);
        return commandLine.ExitCode;
    }
    SetIniOption(commandLine.IniPath);

    TApplication app;
    app.Initialize();
    app.ShowMainForm = false;
    app.Title = "Vesk";
    app.Icon = RegisterIcon(MakeAppIcon());
    QApplication::setWindowIcon(IconOfHandle(app.Icon));

    {
        TfrmMain mainForm;
        frmMain = &mainForm;
        TfrmSetting settingForm(&mainForm);  // hidden until asked for
        frmSetting = &settingForm;
        // A request to end (logout, kill, Ctrl+C) closes the main window, as Exit does.
        OnTerminationRequest([] {
            if (frmMain) frmMain->close();
        });
        app.Run();
        frmSetting = nullptr;
        frmMain = nullptr;
    }
    return 0;
}
