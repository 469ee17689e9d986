// The desktop program's entry (see DesktopProgram.h): the application
// starts hidden, creates the main window (which loads the settings and shows
// either itself or the tray icon) and runs the message loop until the main
// window closes. --check and --fingerprint, when this program is run by
// itself, run under the Qt core application alone, as they do in Vesk.
#include "app/AppIcon.h"
#include "app/CommandLine.h"
#include "app/DesktopProgram.h"
#include "app/IniLocation.h"
#include "app/Main.h"
#include "framework/Application.h"
#include "platform/Desktop.h"
#include "platform/ShellApi.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (RunsWithoutWindows(ArgumentList(argc, argv))) return RunWithoutWindows(argc, argv);
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM") && !DisplayReachable()) {
        std::fprintf(stderr, "Vesk: no display is reachable; running without windows (Qt offscreen platform).\n");
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    EnsureRuntimeDir();
    QApplication qtApp(argc, argv);
    qtApp.setApplicationName("Vesk");
    const TCommandLine commandLine = ParseCommandLine(QApplication::arguments());
    if (commandLine.Exit) return PrintAndExit(commandLine);
    SetIniOption(commandLine.IniPath);

    TApplication app;
    app.Initialize();
    app.ShowMainForm = false;
    app.Title = "Vesk";
    app.Icon = RegisterIcon(MakeAppIcon());
    QApplication::setWindowIcon(IconOfHandle(app.Icon));

    {
        TfrmMain mainForm(nullptr, TakeProgramPath());
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
