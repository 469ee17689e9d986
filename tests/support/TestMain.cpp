// Test entry: starts Qt (offscreen unless a platform is named) and the
// framework's application object, so hidden windows, timers and widgets work.
// Exceptions that escape event handlers are collected instead of shown.
#include "support/TestSupport.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication qtApp(argc, argv);
    TApplication app;
    app.Initialize();
    app.Title = "Vesk";
    app.OnException = [](const std::exception& e) { TestSupport::EscapedExceptions().push_back(e.what()); };
    return RUN_ALL_TESTS();
}
