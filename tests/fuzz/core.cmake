# The asset pak parser. Built from its one source file, not orvane_core: the fuzz build's
# clang cannot compile the logger that orvane_core also holds.
if(EXISTS "${PROJECT_SOURCE_DIR}/src/AssetManager.cpp")
  orvane_add_fuzzer(fuzz_pak SOURCES fuzz/fuzz_pak.cc "${PROJECT_SOURCE_DIR}/src/AssetManager.cpp")
  target_include_directories(fuzz_pak PRIVATE "${PROJECT_SOURCE_DIR}/src")
endif()
