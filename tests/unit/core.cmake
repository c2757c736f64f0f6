# Application core: logger, thread pool, asset pak reader and the pak writer.
if(TARGET orvane_core)
  orvane_add_test(core_logger_test SOURCES unit/core_logger_test.cc LIBS orvane_core
                  LABELS tsan ENV TZ=UTC)
  orvane_add_test(core_threadpool_test SOURCES unit/core_threadpool_test.cc LIBS orvane_core LABELS tsan)
  orvane_add_test(core_assets_test SOURCES unit/core_assets_test.cc LIBS orvane_core)
endif()
