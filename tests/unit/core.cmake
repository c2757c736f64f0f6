# Application core: logger, thread pool, asset pak reader, the pak writer and the built pak.
if(TARGET orvane_core)
  orvane_add_test(core_logger_test SOURCES unit/core_logger_test.cc LIBS orvane_core
                  LABELS tsan ENV TZ=UTC)
  orvane_add_test(core_threadpool_test SOURCES unit/core_threadpool_test.cc LIBS orvane_core LABELS tsan)
  orvane_add_test(core_assets_test SOURCES unit/core_assets_test.cc LIBS orvane_core)
  orvane_add_test(core_settings_test SOURCES unit/core_settings_test.cc LIBS orvane_core)
  orvane_add_test(core_csv_test SOURCES unit/core_csv_test.cc LIBS orvane_core)
  orvane_add_test(core_reconnect_test SOURCES unit/core_reconnect_test.cc LIBS orvane_core)
  orvane_add_test(core_platform_test SOURCES unit/core_platform_test.cc LIBS orvane_core)
  if(TARGET orvane_pakwriter AND TARGET assets_pak)
    orvane_add_test(core_mkpak_test SOURCES unit/core_mkpak_test.cc LIBS orvane_core orvane_pakwriter)
    target_compile_definitions(core_mkpak_test PRIVATE
      MKPAK_PATH="$<TARGET_FILE:mkpak>" ASSETS_PAK_PATH="${ORVANE_ASSETS_PAK}")
    add_dependencies(core_mkpak_test mkpak assets_pak)
  endif()
endif()
