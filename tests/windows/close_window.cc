// close-window.exe <title prefix>: posts WM_CLOSE to every visible top-level window whose title
// starts with the prefix, as the close button or Alt+F4 do. Exit status 0 when it found one, 1
// when none, 2 on a usage error. The Windows stage closes orvane.exe with it under Wine.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Search {
    std::string prefix;
    int found = 0;
};

BOOL CALLBACK visit(HWND window, LPARAM data) {
    Search* search = reinterpret_cast<Search*>(data);
    char title[256] = {};
    GetWindowTextA(window, title, sizeof title);
    if (IsWindowVisible(window) && std::strncmp(title, search->prefix.c_str(), search->prefix.size()) == 0) {
        PostMessageA(window, WM_CLOSE, 0, 0);
        ++search->found;
    }
    return TRUE;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 || argv[1][0] == '\0') {
        std::fprintf(stderr, "usage: close-window <title prefix>\n");
        return 2;
    }
    Search search{argv[1]};
    EnumWindows(visit, reinterpret_cast<LPARAM>(&search));
    std::printf("%d window%s closed\n", search.found, search.found == 1 ? "" : "s");
    return search.found > 0 ? 0 : 1;
}
