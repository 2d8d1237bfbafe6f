# Run by CTest after the window tests have been discovered: no display, and the browser engine
# allowed to start as root (it refuses its sandbox there). Under AddressSanitizer the engine's own
# library frees some objects through a base of another size and keeps its caches to the end;
# neither is this program's doing, so those two checks are off for this binary (and the program
# one test starts) alone.
if(DEFINED app_gui_tests_TESTS)
  set_tests_properties(${app_gui_tests_TESTS} PROPERTIES
    ENVIRONMENT
    "QT_QPA_PLATFORM=offscreen;QTWEBENGINE_DISABLE_SANDBOX=1;ASAN_OPTIONS=new_delete_type_mismatch=0:detect_leaks=0")
endif()
