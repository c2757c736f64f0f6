// Device-supplied text (product names, tag and type names, STRING values) for text output to a
// terminal or a file: a device must not be able to move the cursor, retitle or clear the terminal,
// or forge extra lines. JSON output has its own escaping and does not use this.
#pragma once

#include <string>
#include <string_view>

namespace cli {

// `text` with every control character shown as a visible escape: C0 controls and DEL as "\x1b"
// (two lower-case hex digits), C1 controls written as UTF-8 (U+0080..U+009F) as "\u009b", and any
// byte that is not part of well-formed UTF-8 as "\xHH". Printable ASCII and other well-formed
// UTF-8 pass unchanged; a backslash stays as it is.
std::string terminal_safe(std::string_view text);

} // namespace cli
