# orvane-cli watch --sparkplug as a child process, against logix-sim and a mosquitto broker the test
# starts on a free loopback port; the test is the Sparkplug host and decodes with the generated code.
find_program(MOSQUITTO_BROKER mosquitto PATHS /usr/sbin /usr/local/sbin)
if(TARGET orvane-cli AND TARGET logixsim AND TARGET orvane_sparkplug_proto AND MOSQUITTO_BROKER)
  orvane_add_test(mqtt_sparkplug_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/mqtt_sparkplug_test.cc
                  LIBS logixsim orvane_sparkplug_proto PkgConfig::mosquitto LABELS "integration;tsan")
  target_include_directories(mqtt_sparkplug_test PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  target_compile_definitions(mqtt_sparkplug_test PRIVATE ORVANE_CLI_EXE="$<TARGET_FILE:orvane-cli>"
                                                         MOSQUITTO_BROKER="${MOSQUITTO_BROKER}")
  add_dependencies(mqtt_sparkplug_test orvane-cli)
endif()
