// SPDX-License-Identifier: MIT
// The model's tests run inside a Qt application object, as the model does in the programs. The
// daemons they start keep their replay memory and keys in a folder of their own and reach no
// desktop.
#include <QGuiApplication>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QStandardPaths::setTestModeEnabled(true);
    qputenv("QT_QPA_PLATFORM", "offscreen"); // also when CTest lists the tests
    const QTemporaryDir state;
    qputenv("XDG_STATE_HOME", state.path().toUtf8());
    qputenv("XDG_RUNTIME_DIR", state.path().toUtf8()); // the daemons' keys files
    qputenv("DISPLAY", "");
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
