// The platform layer on Windows: Win32 calls for paths, consoles and durable files.
#include "Platform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <lmcons.h>
#include <shlobj.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

namespace platform {
namespace {

std::filesystem::path currentDirectory() {
    std::error_code ec;
    auto cwd = std::filesystem::current_path(ec);
    return ec ? std::filesystem::path(".") : cwd;
}

// A known folder (CSIDL_APPDATA, CSIDL_LOCAL_APPDATA), else the environment variable, else the
// current directory.
std::filesystem::path knownFolder(int csidl, const wchar_t* variable) {
    wchar_t path[MAX_PATH] = {};
    if (SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)) && path[0] != 0) {
        return std::filesystem::path(path);
    }
    if (const wchar_t* value = _wgetenv(variable); value != nullptr && value[0] != 0) {
        return std::filesystem::path(value);
    }
    return currentDirectory();
}

std::string systemText(DWORD error) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = n != 0 && text != nullptr ? std::string(text, n) : "error " + std::to_string(error);
    LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) {
        out.pop_back();
    }
    return out;
}

std::atomic<bool> quitNoted{false};

BOOL WINAPI noteQuit(DWORD) {
    quitNoted = true;
    return TRUE;
}

} // namespace

std::filesystem::path executableDirectory() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            return currentDirectory();
        }
        if (n < buffer.size()) {
            std::error_code ec;
            auto path = std::filesystem::weakly_canonical(std::filesystem::path(buffer.data()), ec);
            return ec ? std::filesystem::path(buffer.data()).parent_path() : path.parent_path();
        }
        if (buffer.size() >= (size_t{1} << 16)) {
            return currentDirectory();
        }
        buffer.resize(buffer.size() * 2);
    }
}

void ignoreBrokenPipeSignal() {
    // Winsock reports a closed peer as an error code; there is no signal to ignore.
}

void endAsBrokenPipe() {}

namespace {
// Whether the process was given a standard stream (a console, a file, a pipe).
bool hasStream(DWORD which) {
    HANDLE h = GetStdHandle(which);
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN;
}

// An unbuffered stream buffer writing to a handle (the console's screen).
class HandleBuffer : public std::streambuf {
public:
    void use(HANDLE h) { handle_ = h; }

protected:
    int overflow(int c) override {
        const char ch = static_cast<char>(c);
        return c == EOF || put(&ch, 1) ? (c == EOF ? 0 : c) : EOF;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override { return put(s, n) ? n : 0; }

private:
    bool put(const char* s, std::streamsize n) {
        DWORD written = 0;
        return WriteFile(handle_, s, static_cast<DWORD>(n), &written, nullptr) && written == n;
    }
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};
} // namespace

void useParentConsole() {
    // Started from cmd.exe, a window program gets no standard streams: its output would be lost.
    // Streams the caller gave (redirected to a file or a pipe) keep going where they go. A
    // process already attached to a console (Wine attaches window programs to their parent's) is
    // refused with ERROR_ACCESS_DENIED and writes to that console all the same.
    const bool out = hasStream(STD_OUTPUT_HANDLE), err = hasStream(STD_ERROR_HANDLE);
    if ((out && err) || (!AttachConsole(ATTACH_PARENT_PROCESS) && GetLastError() != ERROR_ACCESS_DENIED)) {
        return;
    }
    HANDLE screen = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (screen == INVALID_HANDLE_VALUE) {
        return;
    }
    // The program writes through std::cout and std::cerr; the C streams of a process started
    // without standard streams cannot be reopened onto the console (msvcrt gave them no descriptor).
    static HandleBuffer toScreen;
    toScreen.use(screen);
    if (!out) {
        SetStdHandle(STD_OUTPUT_HANDLE, screen);
        std::cout.rdbuf(&toScreen);
    }
    if (!err) {
        SetStdHandle(STD_ERROR_HANDLE, screen);
        std::cerr.rdbuf(&toScreen);
    }
}

void installQuitSignalHandlers() {
    SetConsoleCtrlHandler(noteQuit, TRUE);
}

bool quitRequested() {
    return quitNoted.load();
}

std::filesystem::path settingsFolder() {
    return knownFolder(CSIDL_APPDATA, L"APPDATA") / "Orvane";
}

std::filesystem::path stateFolder() {
    return knownFolder(CSIDL_LOCAL_APPDATA, L"LOCALAPPDATA") / "Orvane";
}

std::string userName() {
    char name[UNLEN + 1] = {};
    DWORD size = sizeof name;
    if (GetUserNameA(name, &size) && name[0] != 0) {
        return name;
    }
    const char* variable = std::getenv("USERNAME");
    return variable != nullptr ? variable : "unknown";
}

std::tm utcTime(std::time_t seconds) {
    std::tm tm{};
    gmtime_s(&tm, &seconds);
    return tm;
}

bool localTime(std::time_t seconds, std::tm* out) {
    return localtime_s(out, &seconds) == 0;
}

void setEnvironment(const char* name, const std::string& value, bool replace) {
    if (replace || std::getenv(name) == nullptr) {
        _putenv_s(name, value.c_str());
    }
}

bool outputIsTerminal() {
    return _isatty(1) != 0 && _isatty(2) != 0;
}

bool streamIsTerminal(int fd) {
    return _isatty(fd) != 0;
}

std::string createTemporary(std::string* pattern, const std::filesystem::path&, int* fd) {
    // _mktemp_s picks a name that does not exist; O_EXCL makes sure nobody took it since.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = *pattern;
        if (_mktemp_s(name.data(), name.size() + 1) != 0) {
            break;
        }
        *fd = _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (*fd >= 0) {
            *pattern = name;
            return {};
        }
        if (errno != EEXIST) {
            break;
        }
    }
    *fd = -1;
    return std::string("cannot create a temporary file ") + *pattern + ": " + std::strerror(errno);
}

std::string writeAndSync(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const size_t chunk = std::min<size_t>(text.size() - done, 1u << 30);
        const int wrote = _write(fd, text.data() + done, static_cast<unsigned>(chunk));
        if (wrote <= 0) {
            return std::string("cannot write: ") + std::strerror(wrote < 0 ? errno : EIO);
        }
        done += static_cast<size_t>(wrote);
    }
    if (_commit(fd) != 0) {
        return std::string("cannot flush: ") + std::strerror(errno);
    }
    return {};
}

std::string closeFile(int fd) {
    return _close(fd) != 0 ? std::string("cannot close: ") + std::strerror(errno) : std::string();
}

std::string replaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return "cannot rename " + from.string() + " to " + to.string() + ": " + systemText(GetLastError());
    }
    return {};
}

std::FILE* createNewFile(const std::filesystem::path& path) {
    const int fd = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) {
        _close(fd);
    }
    return file;
}

void removeFile(const std::filesystem::path& path) {
    DeleteFileW(path.c_str());
}

std::string openForAppend(const std::filesystem::path& path, int* fd) {
    // The folder under %LOCALAPPDATA% is the user's own; the file takes its permissions.
    *fd = _wopen(path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
    return *fd < 0 ? "cannot open " + path.string() + ": " + std::strerror(errno) : std::string();
}

// Console control events (Ctrl-C, Ctrl-Break, console close) set an event that a thread of the
// watch's own waits for, together with the event the destructor sets. One watch at a time.
struct QuitWatch::State {
    HANDLE quit = nullptr;
    HANDLE stop = nullptr;
    std::atomic<bool> fired{false};
    std::thread thread;
};

namespace {
std::mutex watchMutex;
HANDLE watchedEvent = nullptr;

BOOL WINAPI signalWatch(DWORD) {
    std::lock_guard<std::mutex> lock(watchMutex);
    if (watchedEvent == nullptr) {
        return FALSE;
    }
    SetEvent(watchedEvent);
    return TRUE;
}
} // namespace

QuitWatch::QuitWatch(std::function<void()> onQuit) : state_(new State) {
    state_->quit = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    state_->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        std::lock_guard<std::mutex> lock(watchMutex);
        watchedEvent = state_->quit;
    }
    SetConsoleCtrlHandler(signalWatch, TRUE);
    State* state = state_;
    state_->thread = std::thread([state, onQuit = std::move(onQuit)] {
        HANDLE both[2] = {state->stop, state->quit};
        if (WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
            state->fired = true;
            onQuit();
        }
    });
}

QuitWatch::~QuitWatch() {
    SetEvent(state_->stop);
    state_->thread.join();
    SetConsoleCtrlHandler(signalWatch, FALSE);
    {
        std::lock_guard<std::mutex> lock(watchMutex);
        watchedEvent = nullptr;
    }
    CloseHandle(state_->quit);
    CloseHandle(state_->stop);
    delete state_;
}

bool QuitWatch::fired() const {
    return state_->fired.load();
}

} // namespace platform
