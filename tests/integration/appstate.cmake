# AppState against the in-process simulator on loopback.
if(TARGET orvane_core AND TARGET zelkc_logix AND TARGET logixsim)
  orvane_add_test(appstate_test SOURCES integration/appstate_test.cc LIBS orvane_core logixsim LABELS tsan)
endif()
