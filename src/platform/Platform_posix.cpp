// The platform layer on POSIX systems (Linux, macOS).
#include "Platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
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

void useParentConsole() {
    // A program started from a terminal has it as its standard streams already.
}

void endAsBrokenPipe() {
    std::signal(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
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

namespace {

// $HOME when it is absolute, else the account's home folder.
std::filesystem::path homeFolder() {
    const char* home = std::getenv("HOME");
    if (home == nullptr || !std::filesystem::path(home).is_absolute()) {
        const passwd* user = ::getpwuid(::getuid());
        home = user != nullptr && user->pw_dir != nullptr ? user->pw_dir : "";
    }
    return home;
}

// $<variable>/orvane when the variable holds an absolute path, else ~/<fallback>/orvane.
std::filesystem::path xdgFolder(const char* variable, const std::filesystem::path& fallback) {
    const char* xdg = std::getenv(variable);
    if (xdg != nullptr && std::filesystem::path(xdg).is_absolute()) {
        return std::filesystem::path(xdg) / "orvane";
    }
    return homeFolder() / fallback / "orvane";
}

std::string failure(const char* what, const std::string& name, int error) {
    return std::string(what) + " " + name + ": " + std::strerror(error);
}

} // namespace

std::filesystem::path settingsFolder() {
    return xdgFolder("XDG_CONFIG_HOME", ".config");
}

std::filesystem::path stateFolder() {
    return xdgFolder("XDG_STATE_HOME", std::filesystem::path(".local") / "state");
}

std::string userName() {
    // getpwuid_r: writes are recorded from several threads at once (each controller's own).
    passwd entry{};
    passwd* pw = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &pw) == 0 && pw != nullptr &&
        pw->pw_name != nullptr) {
        return pw->pw_name;
    }
    const char* name = std::getenv("USER");
    return name != nullptr ? name : std::to_string(::geteuid());
}

std::tm utcTime(std::time_t seconds) {
    std::tm tm{};
    ::gmtime_r(&seconds, &tm);
    return tm;
}

bool localTime(std::time_t seconds, std::tm* out) {
    return ::localtime_r(&seconds, out) != nullptr;
}

void setEnvironment(const char* name, const std::string& value, bool replace) {
    ::setenv(name, value.c_str(), replace ? 1 : 0);
}

bool outputIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1;
}

bool streamIsTerminal(int fd) {
    return ::isatty(fd) == 1;
}

std::string createTemporary(std::string* pattern, const std::filesystem::path& like, int* fd) {
    *fd = ::mkstemp(pattern->data());
    if (*fd < 0) {
        return std::string("cannot create a temporary file ") + *pattern + ": " + std::strerror(errno);
    }
    // Keep the permissions of the file being replaced; a new file gets rw-r--r--.
    struct stat old {};
    ::fchmod(*fd, ::stat(like.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644);
    return {};
}

std::string writeAndSync(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return std::string("cannot write: ") + std::strerror(wrote < 0 ? errno : EIO);
        }
        done += static_cast<size_t>(wrote);
    }
    if (::fsync(fd) != 0) {
        return std::string("cannot flush: ") + std::strerror(errno);
    }
    return {};
}

std::string closeFile(int fd) {
    return ::close(fd) != 0 ? std::string("cannot close: ") + std::strerror(errno) : std::string();
}

std::string replaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        return failure("cannot rename", from.string() + " to " + to.string(), errno);
    }
    // Make the rename itself durable; a folder that cannot be synced still holds the new file.
    const std::filesystem::path folder = to.has_parent_path() ? to.parent_path() : std::filesystem::path(".");
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

std::FILE* createNewFile(const std::filesystem::path& path) {
    return std::fopen(path.c_str(), "wx");
}

void removeFile(const std::filesystem::path& path) {
    ::unlink(path.c_str());
}

std::string openForAppend(const std::filesystem::path& path, int* fd) {
    *fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    return *fd < 0 ? failure("cannot open", path.string(), errno) : std::string();
}

// SIGINT and SIGTERM are blocked in the creating thread (and so in every thread it starts later)
// and taken by sigwait on a thread of the watch's own; the destructor wakes that thread with a
// SIGTERM of its own.
struct QuitWatch::State {
    sigset_t signals;
    std::atomic<bool> done{false};
    std::atomic<bool> fired{false};
    std::thread thread;
};

QuitWatch::QuitWatch(std::function<void()> onQuit) : state_(new State) {
    sigemptyset(&state_->signals);
    sigaddset(&state_->signals, SIGINT);
    sigaddset(&state_->signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &state_->signals, nullptr);
    State* state = state_;
    state_->thread = std::thread([state, onQuit = std::move(onQuit)] {
        int sig = 0;
        sigwait(&state->signals, &sig);
        if (!state->done.load()) {
            state->fired = true;
            onQuit();
        }
    });
}

QuitWatch::~QuitWatch() {
    state_->done = true;
    pthread_kill(state_->thread.native_handle(), SIGTERM);
    state_->thread.join();
    delete state_;
}

bool QuitWatch::fired() const {
    return state_->fired.load();
}

} // namespace platform
