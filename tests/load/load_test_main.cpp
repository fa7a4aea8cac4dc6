// SPDX-License-Identifier: MIT
// The load tests run inside a Qt application object, as the model does in the programs; with
// one switch the program is instead the stand-in daemon that floods its output.
#include "output_flood.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <cstring>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], pointrelay::test::kWriteOutputFloodSwitch) == 0)
        return pointrelay::test::writeOutputFlood();
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
