#pragma once

#include <filesystem>

namespace platform {

// Directory of the running executable, absolute and normalised (weakly canonical, so parts that do not
// exist are kept). Falls back to the current working directory when the platform cannot tell the
// executable's path. Never throws.
std::filesystem::path executableDirectory();

// Makes writes to a socket whose peer has closed return an error (EPIPE) instead of ending the process.
void ignoreBrokenPipeSignal();

// From here on SIGINT and SIGTERM only note a quit request (see quitRequested()), whenever they
// arrive, so that the application can close in order instead of being ended mid-way.
void installQuitSignalHandlers();

// Whether SIGINT or SIGTERM arrived since installQuitSignalHandlers().
bool quitRequested();

} // namespace platform
