# Shared build settings and helpers for every component.

if(ORVANE_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(ORVANE_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT ORVANE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ORVANE_SANITIZE must be '', 'address' or 'thread'")
endif()

if(ORVANE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ORVANE_FUZZ needs clang (CMAKE_CXX_COMPILER=clang++)")
  endif()
  # Everything is instrumented for coverage; only the fuzz targets link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Warnings for our own code (third-party sources such as the ImGui backends do not use this).
function(orvane_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(ORVANE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# orvane_add_test(<name> SOURCES <files...> LIBS <libs...> [LABELS <labels...>] [ENV <VAR=value...>])
# Builds a GoogleTest executable (with our main, which ignores SIGPIPE) and registers it with CTest.
# Label the concurrent tests "tsan" so the ThreadSanitizer pass runs them.
function(orvane_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  orvane_warnings(${name})
  target_link_libraries(${name} PRIVATE orvane_test_main ${T_LIBS})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "unit;${T_LABELS}" TIMEOUT 300)
  if(T_ENV)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${T_ENV}")
  endif()
endfunction()

# orvane_add_fuzzer(<name> SOURCES <files...> LIBS <libs...>)
# The entry point is LLVMFuzzerTestOneInput; the seed corpus lives in tests/fuzz/corpus/<name>/.
# With ORVANE_FUZZ: a libFuzzer executable in <build>/fuzz/ (scripts/test runs each briefly).
# Otherwise: the same entry point linked with a replay main, registered as a CTest
# that feeds it every file of the seed corpus, so past findings stay fixed.
if(NOT TARGET fuzzers)
  add_custom_target(fuzzers)
endif()
function(orvane_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  set(corpus "${PROJECT_SOURCE_DIR}/tests/fuzz/corpus/${name}")
  add_executable(${name} ${F_SOURCES})
  orvane_warnings(${name})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  if(ORVANE_FUZZ)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/fuzz")
    add_dependencies(fuzzers ${name})
  else()
    target_link_libraries(${name} PRIVATE orvane_fuzz_replay)
    add_test(NAME ${name}_replay COMMAND ${name} ${corpus})
    set_tests_properties(${name}_replay PROPERTIES LABELS "fuzz-replay" TIMEOUT 300)
  endif()
endfunction()
