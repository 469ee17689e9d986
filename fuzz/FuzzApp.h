// What the socket fuzz targets share: an offscreen Qt application and the
// framework's application object, started once per run. An exception that
// escapes an event handler is dropped, as the socket's own dispatch drops
// it; a target reports faults by crashing.
#pragma once

#include "framework/Application.h"

#include <QApplication>

inline void StartFuzzApplication() {
    static int argc = 1;
    static char name[] = "vesk_fuzz";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication qtApp(argc, argv);
    static TApplication app;
    app.Initialize();
    app.OnException = [](const std::exception&) {};
}
