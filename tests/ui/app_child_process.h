// Runs a program as a child process and collects its exit status and output.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace apptest {

struct ChildResult {
    bool exited = false; // ended through exit() / return from main
    int exitCode = -1;   // when exited
    int signal = 0;      // when ended by a signal
    std::string out;
    std::string err;
};

// Runs `program` with no arguments in `workingDir`, the environment of this process plus `extraEnv`
// ("NAME=value"). `onStdout` is called with the output gathered so far each time more arrives, with the
// child's pid, so a caller can act on a ready line (for example send a signal).
ChildResult runChild(const std::filesystem::path& program, const std::filesystem::path& workingDir,
                     const std::vector<std::string>& extraEnv = {},
                     const std::function<void(const std::string& out, int pid)>& onStdout = {});

} // namespace apptest
