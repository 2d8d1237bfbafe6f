# Run by CTest after the window tests have been discovered: no display, and the browser engine
# allowed to start as root (it refuses its sandbox there).
if(DEFINED app_gui_tests_TESTS)
  set_tests_properties(${app_gui_tests_TESTS} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QTWEBENGINE_DISABLE_SANDBOX=1")
endif()
