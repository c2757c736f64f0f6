# AppState against the in-process simulator on loopback.
if(TARGET orvane_core AND TARGET zelkc_logix AND TARGET logixsim)
  orvane_add_test(appstate_test SOURCES integration/appstate_test.cc LIBS orvane_core logixsim LABELS tsan)
  orvane_add_test(appstate_mode_test SOURCES integration/appstate_mode_test.cc LIBS orvane_core logixsim)
endif()
