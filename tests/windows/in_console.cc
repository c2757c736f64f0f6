// in-console.exe <program> [arguments...]: runs the program in a console of its own, as cmd.exe
// in a console window does: the program inherits no handles and is given no standard streams, so
// a window program sees none. Then prints what the console shows (its lines, trailing blanks cut)
// on this program's own standard output, and exits with the program's exit status (255 when it
// could not be started). The Windows stage checks with it that orvane.exe --version prints into
// the console it was started from.
#include <windows.h>

#include <string>

namespace {

// A command line argument quoted as CommandLineToArgvW reads it back.
std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, L'\\');
    return out + L"\"";
}

void write(HANDLE to, const std::string& text) {
    DWORD written = 0;
    WriteFile(to, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

} // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    HANDLE report = GetStdHandle(STD_OUTPUT_HANDLE);
    if (argv == nullptr || argc < 2) {
        write(GetStdHandle(STD_ERROR_HANDLE), "usage: in-console <program> [arguments...]\n");
        return 255;
    }
    std::wstring command;
    for (int i = 1; i < argc; ++i) {
        command += (i > 1 ? L" " : L"") + quoted(argv[i]);
    }
    FreeConsole();
    if (!AllocConsole()) {
        write(report, "in-console: no console could be made\n");
        return 255;
    }
    // No standard streams, as Windows starts a window program from cmd.exe (Wine would hand it
    // the console's).
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nullptr;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        write(report, "in-console: cannot start the program\n");
        return 255;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 255;
    GetExitCodeProcess(process.hProcess, &status);

    HANDLE screen = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    GetConsoleScreenBufferInfo(screen, &info);
    for (SHORT y = 0; y <= info.dwCursorPosition.Y && y < info.dwSize.Y; ++y) {
        std::string line(static_cast<size_t>(info.dwSize.X), ' ');
        DWORD read = 0;
        ReadConsoleOutputCharacterA(screen, line.data(), static_cast<DWORD>(line.size()), COORD{0, y}, &read);
        line.resize(read);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\0')) {
            line.pop_back();
        }
        if (!line.empty()) {
            write(report, line + "\n");
        }
    }
    return static_cast<int>(status);
}
