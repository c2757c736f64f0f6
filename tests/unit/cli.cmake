# orvane-cli's JSON text of controller bytes (the MQTT engine's JSON text helpers).
if(TARGET orvane-cli)
  orvane_add_test(cli_json_text_test SOURCES unit/cli_json_text_test.cc
                  LIBS orvane_mqtt zelkc_logix nlohmann_json::nlohmann_json)
  target_include_directories(cli_json_text_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/orvane-cli)
endif()
if(TARGET orvane-cli)
  orvane_add_test(cli_terminal_text_test SOURCES unit/cli_terminal_text_test.cc
                  ${PROJECT_SOURCE_DIR}/tools/orvane-cli/terminal_text.cpp LIBS fmt::fmt)
  target_include_directories(cli_terminal_text_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/orvane-cli)
endif()
