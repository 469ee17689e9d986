// Program entry: the application starts hidden, creates the main window
// (which loads the settings and shows either itself or the tray icon) and
// runs the message loop until the main window closes.
#include "app/AppIcon.h"
#include "app/Main.h"
#include "app/CheckCommand.h"
#include <iostream>
#include <string>
#include "framework/Application.h"
#include "platform/Desktop.h"
#include "platform/ShellApi.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc >= 4 && std::string(argv[1]) == "--check") {
        QCoreApplication core(argc, argv);
        return RunCheckCommand(argv[3], std::cout, std::cerr);
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM") && !DisplayReachable()) {
        std::fprintf(stderr, "Vesk: no display is reachable; running without windows (Qt offscreen platform).\n");
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    EnsureRuntimeDir();
    QApplication qtApp(argc, argv);
    qtApp.setApplicationName("Vesk");

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
