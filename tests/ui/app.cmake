# Headless tests of the application layer: style, textures, widgets, main window, start-up.
if(TARGET orvane_app AND TARGET orvane)
  set(app_test_env SDL_VIDEODRIVER=offscreen SDL_RENDER_DRIVER=software SDL_AUDIODRIVER=dummy)
  set(app_artefacts "${CMAKE_BINARY_DIR}/test-artefacts")
  file(MAKE_DIRECTORY "${app_artefacts}")

  # Header-only helpers (app_test_support.h, app_fixture.h) and what they need.
  add_library(orvane_app_test_support INTERFACE)
  target_include_directories(orvane_app_test_support INTERFACE ${CMAKE_CURRENT_LIST_DIR})
  target_compile_definitions(orvane_app_test_support INTERFACE ORVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  target_link_libraries(orvane_app_test_support INTERFACE orvane_app zelk_ui)

  orvane_add_test(app_style_textures_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/app_style_textures_test.cc
    LIBS orvane_app_test_support orvane_app
    ENV ${app_test_env})

  orvane_add_test(app_widgets_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/app_widgets_test.cc
    LIBS orvane_app_test_support orvane_app
    ENV ${app_test_env})

  orvane_add_test(app_main_window_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/app_main_window_test.cc
    LIBS orvane_app_test_support orvane_app
    ENV ${app_test_env})
  target_compile_definitions(app_main_window_test PRIVATE ORVANE_ARTEFACT_DIR="${app_artefacts}")

  # The views end to end against the simulator on loopback; runs the pool, so TSan runs it too.
  if(TARGET logixsim)
    orvane_add_test(app_views_test
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/app_views_test.cc
      LIBS orvane_app_test_support orvane_app logixsim
      LABELS tsan
      ENV ${app_test_env})
  endif()

  # Runs the real executable as a child process.
  orvane_add_test(app_startup_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/app_startup_test.cc
    LIBS orvane_app_test_support orvane_app
    ENV ${app_test_env})
  target_compile_definitions(app_startup_test PRIVATE ORVANE_EXECUTABLE="$<TARGET_FILE:orvane>")
  add_dependencies(app_startup_test orvane)
endif()
