#pragma once

#include <filesystem>

namespace platform {

// Directory of the running executable, absolute and normalised (weakly canonical, so parts that do not
// exist are kept). Falls back to the current working directory when the platform cannot tell the
// executable's path. Never throws.
std::filesystem::path executableDirectory();

// Makes writes to a socket whose peer has closed return an error (EPIPE) instead of ending the process.
void ignoreBrokenPipeSignal();

} // namespace platform
