# orvane-cli's JSON text of controller bytes (STRING values, tag names), checked against
# nlohmann::json's parser and its UTF-8 check; and its terminal text (no control character survives).
find_package(nlohmann_json 3 QUIET)
if(TARGET zelkc_logix AND TARGET nlohmann_json::nlohmann_json)
  orvane_add_fuzzer(fuzz_cli_json_text
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_cli_json_text.cc ${PROJECT_SOURCE_DIR}/mqtt/src/json_text.cpp
            ${PROJECT_SOURCE_DIR}/tools/orvane-cli/terminal_text.cpp
    LIBS zelkc_logix nlohmann_json::nlohmann_json fmt::fmt)
  target_include_directories(fuzz_cli_json_text PRIVATE ${PROJECT_SOURCE_DIR}/tools/orvane-cli
                                                        ${PROJECT_SOURCE_DIR}/mqtt/include)
endif()
