// Files for the core's file tests: a scratch folder per process, whole-file reads and writes, a
// folder's names, and a file size limit (a full disk that even root meets).
#pragma once

#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

namespace scratch {

namespace fs = std::filesystem;

// A folder under the system's temporary folder, unique to this process, removed with its contents.
struct Folder {
    fs::path dir;
    explicit Folder(const std::string& name)
        : dir(fs::temp_directory_path() / (name + "-" + std::to_string(::getpid()))) {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    ~Folder() { fs::remove_all(dir); }
};

inline std::string read(const fs::path& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

inline void write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::set<std::string> names(const fs::path& dir) {
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir))
        found.insert(entry.path().filename().string());
    return found;
}

// Runs `fn` with files limited to `bytes`: writes beyond fail with EFBIG instead of raising SIGXFSZ.
template <class F> auto withFileSizeLimit(rlim_t bytes, F fn) {
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &small);
    const auto result = fn();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    return result;
}

} // namespace scratch
