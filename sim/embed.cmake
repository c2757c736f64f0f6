# Writes OUTPUT, a C++ source defining the bytes of INPUT behind logixsim::detail::demo_json_data() and demo_json_size().
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from controllers/demo.json; do not edit.\n#include <cstddef>\nnamespace logixsim::detail {\nstatic const unsigned char bytes[] = {\n${bytes}0x00};\nconst char* demo_json_data() { return reinterpret_cast<const char*>(bytes); }\nstd::size_t demo_json_size() { return sizeof bytes - 1; }\n}\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
