# Headless tests of the zelk::ui toolkit (offscreen SDL video, software renderer).
if(TARGET zelk_ui)
  set(toolkit_test_env SDL_VIDEODRIVER=offscreen SDL_RENDER_DRIVER=software SDL_AUDIODRIVER=dummy)

  orvane_add_test(toolkit_layout_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/toolkit_layout_test.cc
    LIBS zelk_ui)

  orvane_add_test(toolkit_app_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/toolkit_app_test.cc
    LIBS zelk_ui
    ENV ${toolkit_test_env})

  orvane_add_test(toolkit_dispatch_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/toolkit_dispatch_test.cc
    LIBS zelk_ui
    LABELS tsan
    ENV ${toolkit_test_env})

  orvane_add_test(toolkit_pacing_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/toolkit_pacing_test.cc
    LIBS zelk_ui
    LABELS tsan
    ENV ${toolkit_test_env})

  orvane_add_test(toolkit_imgui_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/toolkit_imgui_test.cc
    LIBS zelk_ui
    ENV ${toolkit_test_env})

  orvane_add_test(toolkit_resources_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/toolkit_resources_test.cc
    LIBS zelk_ui
    ENV ${toolkit_test_env})
  target_compile_definitions(toolkit_resources_test PRIVATE ORVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endif()
