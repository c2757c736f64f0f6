# Writes OUTPUT, a C++ source defining the bytes of INPUT as logixsim::detail::demo_json_text.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from controllers/demo.json; do not edit.\n#include <string>\nnamespace logixsim::detail {\nstatic const unsigned char bytes[] = {\n${bytes}0x00};\nconst std::string demo_json_text(reinterpret_cast<const char*>(bytes), sizeof bytes - 1);\n}\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
