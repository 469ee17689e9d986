// Shows the settings dialog on the current display with one page brought
// forward and some example settings, and takes a screenshot of the window
// with ImageMagick's `import`. Used by scripts/screenshots-settings.sh.
//
//   settings_screenshots PAGE OUTPUT.png [ACCOUNT]
//   (PAGE: 0 Zizaz, 1 Ridovivez, 2 Siren; ACCOUNT: the example account shown,
//   from 1; the first when omitted)
#include "framework/Application.h"
#include "settings/Setting.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QWindow>

#include <cstdio>
#include <fstream>

namespace {

class ExampleMain : public TSettingHost {
public:
    std::string GetIniPath() const override { return iniPath; }
    int GetMaxAccounts() const override { return 20; }
    void LoadSettings() override {}
    std::string iniPath;
};

const char* const kExample =
    "[AccountConfig]\nCount=3\n\n"
    "[Account1]\nAccountName=Home\nPOPServer=pop.home.example\nUserName=taro\nPortNumber=995\n"
    "Password=c2VjcmV0\nAPOP=1\nSecurity=1\nFingerprint=\n\n"
    "[Account2]\nAccountName=Office\nPOPServer=127.0.0.1\nUserName=t.yamada\nPortNumber=1110\nPassword=\nAPOP=0\n\n"
    "[Account3]\nAccountName=Lists\nPOPServer=imap.example.org\nUserName=taro\nPortNumber=143\nPassword=\n"
    "APOP=0\nSecurity=2\nFingerprint=\nProtocol=1\nFolder=Lists/Vesk\n"
    "PasswordCommand=cat ~/.config/vesk/lists.token\nAuth=1\n\n"
    "[Global Parameters]\nCheckInterval=120\nLightOnEqual=1\nFlash=1\nFlashOnEqual=0\nFlashOnError=1\n"
    "AttentiveWait=1\nTaskTray=0\n\n"
    "[Siren]\nEnabled=1\nTarget1=boss@example.org\nTarget2=family\nTarget3=\n"
    "Song1=/usr/share/sounds/alarm.wav\nSong2=/usr/share/sounds/bell.wav\nSong3=\nSong0=/usr/share/sounds/ding.wav\n";

}  // namespace

int main(int argc, char** argv) {
    QApplication qtApp(argc, argv);
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s PAGE OUTPUT.png [ACCOUNT]\n", argv[0]);
        return 2;
    }
    TApplication app;
    app.Initialize();
    app.Title = "Vesk";

    QTemporaryDir dir;
    ExampleMain host;
    host.iniPath = (dir.path() + "/Vesk.ini").toStdString();
    std::ofstream(host.iniPath) << kExample;

    TfrmSetting dialog(&host);
    dialog.pageSetting->setCurrentIndex(std::atoi(argv[1]));
    dialog.Show();
    dialog.move(20, 20);
    if (argc == 4) {
        // As the user picks it: the account box's handler shows the account.
        const int account = std::atoi(argv[3]) - 1;
        dialog.cboAccountName->setCurrentIndex(account);
        emit dialog.cboAccountName->activated(account);
    }

    QElapsedTimer clock;
    clock.start();
    while (!(dialog.windowHandle() && dialog.windowHandle()->isExposed()) && clock.elapsed() < 10000)
        app.WaitMessage(100);
    if (!dialog.windowHandle() || !dialog.windowHandle()->isExposed()) {
        std::fprintf(stderr, "the dialog was not shown on the display\n");
        return 1;
    }
    dialog.repaint();
    app.ProcessMessages();
    QGuiApplication::sync();

    const QString window = QString::number(dialog.winId());
    const int rc = QProcess::execute("import", {"-window", window, QString::fromLocal8Bit(argv[2])});
    if (rc != 0) std::fprintf(stderr, "import failed (%d)\n", rc);
    return rc == 0 ? 0 : 1;
}
