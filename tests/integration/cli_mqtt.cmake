# orvane-cli watch --mqtt as a child process, against logix-sim and a mosquitto broker the test starts
# on a free loopback port; a libmosquitto subscriber in the test checks what arrives.
find_program(MOSQUITTO_BROKER mosquitto PATHS /usr/sbin /usr/local/sbin)
if(TARGET orvane-cli AND TARGET logixsim AND TARGET PkgConfig::mosquitto AND MOSQUITTO_BROKER)
  orvane_add_test(cli_mqtt_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/cli_mqtt_test.cc
                  LIBS logixsim PkgConfig::mosquitto LABELS "integration;tsan")
  target_include_directories(cli_mqtt_test PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  target_compile_definitions(cli_mqtt_test PRIVATE ORVANE_CLI_EXE="$<TARGET_FILE:orvane-cli>"
                                                   MOSQUITTO_BROKER="${MOSQUITTO_BROKER}")
  add_dependencies(cli_mqtt_test orvane-cli)
elseif(TARGET orvane-cli)
  message(WARNING "the mosquitto broker is not installed (scripts/setup): cli_mqtt_test is not built")
endif()
