#include "app/TrayIcons.h"

#include "platform/ShellApi.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

#include <array>

// The resource file is compiled into a static library: nothing else would
// keep its initializer in the program.
static void InitIconResources() { Q_INIT_RESOURCE(icons); }

namespace {

const char* ResourceOf(TTrayState state) {
    switch (state) {
    case tsMail:
        return ":/icons/tray-mail.svg";
    case tsError:
        return ":/icons/tray-error.svg";
    case tsNoMail:
        break;
    }
    return ":/icons/tray-none.svg";
}

}  // namespace

QIcon TrayStateIcon(TTrayState state) {
    static bool initialised = false;
    if (!initialised) {
        InitIconResources();
        initialised = true;
    }
    QSvgRenderer renderer{QString::fromLatin1(ResourceOf(state))};
    QIcon icon;
    for (int size : {16, 20, 22, 24, 32, 48}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

HICON TrayStateIconHandle(TTrayState state) {
    static std::array<HICON, 3> handles{};
    HICON& handle = handles.at(static_cast<std::size_t>(state));
    if (!handle) handle = RegisterIcon(TrayStateIcon(state));
    return handle;
}
