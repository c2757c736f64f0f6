# orvane-cli watch --sparkplug as a child process, against logix-sim and a mosquitto broker the test
# starts on a free loopback port; the test is the Sparkplug host and decodes with the generated code,
# and again with the npm package sparkplug-payload (pinned in tests/interop; scripts/setup installs
# node and the package, without them the test fails).
find_program(MOSQUITTO_BROKER mosquitto PATHS /usr/sbin /usr/local/sbin)
find_program(NODE_EXE node)
if(TARGET orvane-cli AND TARGET logixsim AND TARGET orvane_sparkplug_proto AND MOSQUITTO_BROKER AND NODE_EXE)
  orvane_add_test(mqtt_sparkplug_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/mqtt_sparkplug_test.cc
                  LIBS logixsim orvane_sparkplug_proto PkgConfig::mosquitto nlohmann_json::nlohmann_json fmt::fmt LABELS "integration;tsan")
  target_include_directories(mqtt_sparkplug_test PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  target_compile_definitions(mqtt_sparkplug_test PRIVATE ORVANE_CLI_EXE="$<TARGET_FILE:orvane-cli>"
                                                         MOSQUITTO_BROKER="${MOSQUITTO_BROKER}" NODE_EXE="${NODE_EXE}"
                                                         SPARKPLUG_DECODER="${PROJECT_SOURCE_DIR}/tests/interop/sparkplug_decode.js")
  add_dependencies(mqtt_sparkplug_test orvane-cli)
endif()
