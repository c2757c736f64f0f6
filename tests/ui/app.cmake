# Headless tests of the application layer: style, textures, widgets, main window, start-up.
if(TARGET orvane_app AND TARGET orvane)
  # The settings the application keeps go to the build tree, never to the user's configuration folder.
  set(app_test_env SDL_VIDEODRIVER=offscreen SDL_RENDER_DRIVER=software SDL_AUDIODRIVER=dummy
      XDG_CONFIG_HOME=${CMAKE_BINARY_DIR}/test-config)

  # The header-only helpers (app_test_support.h) and what they need: the application's own asset pak.
  add_library(orvane_app_test_support INTERFACE)
  target_include_directories(orvane_app_test_support INTERFACE ${CMAKE_CURRENT_LIST_DIR})
  target_compile_definitions(orvane_app_test_support INTERFACE
    ORVANE_ASSET_PAK="${CMAKE_BINARY_DIR}/bin/assets.pak")
  target_link_libraries(orvane_app_test_support INTERFACE orvane_app zelk_ui)

  orvane_add_test(app_style_textures_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/app_style_textures_test.cc
    LIBS orvane_app_test_support orvane_app
    ENV ${app_test_env})

  orvane_add_test(app_widgets_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/app_widgets_test.cc
    LIBS orvane_app_test_support orvane_app
    ENV ${app_test_env})

  orvane_add_test(app_trend_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/app_trend_test.cc
    LIBS orvane_app_test_support orvane_app
    ENV ${app_test_env})

  orvane_add_test(app_main_window_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/app_main_window_test.cc
    LIBS orvane_app_test_support orvane_app
    ENV ${app_test_env})

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
  if(TARGET assets_pak)
    foreach(test app_style_textures_test app_widgets_test app_main_window_test app_views_test app_startup_test)
      if(TARGET ${test})
        add_dependencies(${test} assets_pak)
      endif()
    endforeach()
  endif()
endif()
