#pragma once

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>

// What differs between operating systems, with one implementation per platform:
// platform/Platform_posix.cpp (Linux, macOS) and platform/Platform_win32.cpp (Windows).
namespace platform {

// Directory of the running executable, absolute and normalised (weakly canonical, so parts that do not
// exist are kept). Falls back to the current working directory when the platform cannot tell the
// executable's path. Never throws.
std::filesystem::path executableDirectory();

// Makes writes to a socket whose peer has closed return an error (EPIPE) instead of ending the process.
// Nothing to do where no such signal exists.
void ignoreBrokenPipeSignal();

// A window program started from a console writes its output (--help, --version, the log) there:
// on Windows, a program of the window subsystem has no console, so it attaches to its parent's
// (when it has one) for the streams the caller did not redirect. Nothing to do elsewhere.
void useParentConsole();

// Ends the process as a write to a closed pipe does on POSIX (the shell's `| head`); returns where
// there is no such signal.
void endAsBrokenPipe();

// From here on SIGINT and SIGTERM (Ctrl-C, Ctrl-Break and a console close on Windows) only note a
// quit request (see quitRequested()), whenever they arrive, so that the application can close in
// order instead of being ended mid-way.
void installQuitSignalHandlers();

// Whether a quit request arrived since installQuitSignalHandlers().
bool quitRequested();

// Where the settings file lives: $XDG_CONFIG_HOME/orvane or ~/.config/orvane; %APPDATA%\Orvane.
std::filesystem::path settingsFolder();

// Where the record of writes lives: $XDG_STATE_HOME/orvane or ~/.local/state/orvane;
// %LOCALAPPDATA%\Orvane.
std::filesystem::path stateFolder();

// The name of the user running the program (the account name; a number when it has none).
std::string userName();

// The broken-down UTC time of `seconds`.
std::tm utcTime(std::time_t seconds);

// The broken-down local time of `seconds` into *out; false when it cannot be told.
bool localTime(std::time_t seconds, std::tm* out);

// Sets an environment variable of this process (keeping an existing value unless `replace`).
void setEnvironment(const char* name, const std::string& value, bool replace);

// Whether standard output and standard error are both terminals (colour is then welcome).
bool outputIsTerminal();
// Whether standard input (0) or standard error (2) is a terminal.
bool streamIsTerminal(int fd);

// Files written so that a crash leaves either the old or the whole new content. Each returns an
// empty string on success, else what failed (with the system's reason).
//
// Creates a new temporary file from `pattern` (ending in XXXXXX, replaced in place), open for
// writing in binary mode, with the permissions of `like` when it exists (rw-r--r-- otherwise).
std::string createTemporary(std::string* pattern, const std::filesystem::path& like, int* fd);
// Writes all of `text` to fd, then flushes it to the disk.
std::string writeAndSync(int fd, const std::string& text);
// Closes fd; an error when the system reports one.
std::string closeFile(int fd);
// Renames `from` over `to` (replacing it), then makes the rename durable where the system can.
std::string replaceFile(const std::filesystem::path& from, const std::filesystem::path& to);
// Creates `path` for writing only when nothing is there yet: null with errno EEXIST when it is.
std::FILE* createNewFile(const std::filesystem::path& path);
// Removes a file, quietly.
void removeFile(const std::filesystem::path& path);
// Opens `path` for appending, creating it readable and writable by its owner only.
std::string openForAppend(const std::filesystem::path& path, int* fd);

// Calls `onQuit` (on a thread of its own) when SIGINT or SIGTERM arrives (Ctrl-C or Ctrl-Break on
// Windows), until the object is destroyed; those signals no longer end the process meanwhile.
// Create it before starting other threads on POSIX, so that the signals reach only its thread.
class QuitWatch {
public:
    explicit QuitWatch(std::function<void()> onQuit);
    ~QuitWatch();
    QuitWatch(const QuitWatch&) = delete;
    QuitWatch& operator=(const QuitWatch&) = delete;

    // Whether a signal ended the watch (as against the destructor).
    bool fired() const;

private:
    struct State;
    State* state_;
};

} // namespace platform
