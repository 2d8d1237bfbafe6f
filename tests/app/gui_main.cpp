// The GUI tests run in one application object, without a display.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "encryption_app.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();  // no window needed to list
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (geteuid() == 0) setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
    CEncryptionApp app(argc, argv);
    return RUN_ALL_TESTS();
}
