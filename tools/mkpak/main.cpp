// mkpak: writes an asset pak from (asset name, file) pairs.
//
//   mkpak OUTPUT NAME=FILE [NAME=FILE...]
//
// Example: mkpak assets.pak icons/tag.svg=assets/icons/tag.svg
// Entries are stored sorted by name. Exits with 1 and a message on standard error for a
// malformed argument, a duplicate name or an unreadable file; the output is then untouched.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "PakWriter.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: mkpak OUTPUT NAME=FILE [NAME=FILE...]\n");
        return 2;
    }
    std::vector<pak::Input> inputs;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const size_t split = arg.find('=');
        if (split == std::string::npos || split == 0 || split + 1 == arg.size()) {
            std::fprintf(stderr, "mkpak: expected NAME=FILE, got '%s'\n", argv[i]);
            return 2;
        }
        inputs.push_back(pak::Input{arg.substr(0, split), arg.substr(split + 1)});
    }
    try {
        pak::write(argv[1], inputs);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mkpak: %s\n", e.what());
        return 1;
    }
    return 0;
}
