// The main of every unit-test executable: starts Qt (offscreen unless the
// environment says otherwise) on the main thread, then runs the tests.
#include <gtest/gtest.h>

#include <QApplication>

#include "Object.h"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    SetMainThread();
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
