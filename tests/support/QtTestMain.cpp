// main for test programs that need Qt: GoogleTest runs inside a QApplication, on the offscreen
// platform when there is no display.
#include <gtest/gtest.h>

#include <QApplication>

#include "tests/support/Process.h"

int main(int argc, char** argv) {
    PrepareQtEnvironment();
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
