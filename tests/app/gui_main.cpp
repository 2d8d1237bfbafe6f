// The GUI tests run in one application object, without a display.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "encryption_app.h"

// Under AddressSanitizer: the browser engine's own library frees some objects through a base of
// another size and keeps its caches to the end; neither is this program's doing.
extern "C" const char* __asan_default_options() {
    return "new_delete_type_mismatch=0:detect_leaks=0";
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();  // no window needed to list
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (geteuid() == 0) setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
    CEncryptionApp app(argc, argv);
    return RUN_ALL_TESTS();
}
