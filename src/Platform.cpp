#include "Platform.h"

#include <csignal>
#include <cstdint>
#include <signal.h>
#include <string>
#include <system_error>
#include <vector>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#else
#include <unistd.h>
#endif

namespace platform {
namespace {

std::filesystem::path currentDirectory() {
    std::error_code ec;
    auto cwd = std::filesystem::current_path(ec);
    return ec ? std::filesystem::path(".") : cwd;
}

// The executable's path as the platform reports it; empty when it cannot be told.
std::string rawExecutablePath() {
#if defined(__APPLE__)
    uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size); // asks for the length only
    std::vector<char> buffer(size + 1, '\0');
    if (size == 0 || _NSGetExecutablePath(buffer.data(), &size) != 0) {
        return {};
    }
    return std::string(buffer.data()); // cut at the first zero byte
#else
    // readlink neither terminates nor reports truncation, so grow the buffer until the link fits.
    std::vector<char> buffer(256, '\0');
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            return {};
        }
        if (static_cast<size_t>(n) < buffer.size()) {
            return std::string(buffer.data(), static_cast<size_t>(n));
        }
        if (buffer.size() >= (size_t{1} << 20)) {
            return {};
        }
        buffer.assign(buffer.size() * 2, '\0');
    }
#endif
}

} // namespace

std::filesystem::path executableDirectory() {
    std::string raw = rawExecutablePath();
    if (raw.empty()) {
        return currentDirectory();
    }
    std::error_code ec;
    std::filesystem::path path = std::filesystem::weakly_canonical(std::filesystem::path(raw), ec);
    if (ec) {
        path = std::filesystem::absolute(std::filesystem::path(raw), ec);
        if (ec) {
            return currentDirectory();
        }
    }
    return path.parent_path();
}

void ignoreBrokenPipeSignal() {
    std::signal(SIGPIPE, SIG_IGN);
}

namespace {
volatile std::sig_atomic_t quitSignal = 0;
void noteQuitSignal(int) {
    quitSignal = 1;
}
} // namespace

void installQuitSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = noteQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool quitRequested() {
    return quitSignal != 0;
}

} // namespace platform
