// Helpers shared by the application's UI tests: asset paks written in memory, files, small images.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include "toolkit_support.h"

namespace apptest {

struct PakEntry {
    std::string name;
    std::vector<uint8_t> data;
};

// The bytes of an asset pak holding `entries` (sorted by name here, as readers expect).
inline std::vector<uint8_t> buildPak(std::vector<PakEntry> entries) {
    std::sort(entries.begin(), entries.end(),
              [](const PakEntry& a, const PakEntry& b) { return a.name < b.name; });
    const size_t table = 40;
    const size_t namesOffset = table + 24 * entries.size();
    std::vector<uint8_t> out(namesOffset, 0);
    auto put64 = [&](size_t at, uint64_t v) {
        for (int i = 0; i < 8; ++i) {
            out[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
        }
    };
    for (size_t i = 0; i < entries.size(); ++i) {
        put64(table + 24 * i, out.size() - namesOffset);
        out.insert(out.end(), entries[i].name.begin(), entries[i].name.end());
        out.push_back(0);
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        put64(table + 24 * i + 8, out.size());
        put64(table + 24 * i + 16, entries[i].data.size());
        out.insert(out.end(), entries[i].data.begin(), entries[i].data.end());
    }
    if (out.size() == namesOffset) {
        out.push_back(0); // keep the names blob inside the file
    }
    std::copy_n("TPAK", 4, out.begin());
    out[4] = 1; // version, little-endian 32-bit
    put64(8, entries.size());
    put64(16, table);
    put64(24, namesOffset);
    return out;
}

inline void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

// A square SVG icon filled with one colour.
inline std::vector<uint8_t> svgBytes(const std::string& fill) {
    const std::string text =
        R"(<svg xmlns="http://www.w3.org/2000/svg" width="24" height="24" viewBox="0 0 24 24">)"
        R"(<rect x="2" y="2" width="20" height="20" fill=")" +
        fill + R"("/></svg>)";
    return {text.begin(), text.end()};
}

// The pak every in-process UI test loads: the application's font, the spinner image, three icons
// and image assets whose bytes are not an image ("icons/broken.png", "icons/broken.svg").
inline std::vector<uint8_t> standardPak() {
    const auto fontPath = std::filesystem::path(ORVANE_SOURCE_DIR) / "assets" / "node_modules" /
                          "@expo-google-fonts" / "montserrat" / "500Medium" / "Montserrat_500Medium.ttf";
    std::ifstream in(fontPath, std::ios::binary);
    std::vector<uint8_t> font{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (font.empty()) {
        throw std::runtime_error("cannot read " + fontPath.string());
    }
    const std::string junk = "this is not an image";
    return buildPak({
        {"fonts/montserrat-font/MontserratMedium.ttf", std::move(font)},
        {"icons/loading.png", tk::pngBytes(32, 32, 255, 255, 255)},
        {"icons/tag.svg", svgBytes("#ffffff")},
        {"icons/folder.svg", svgBytes("#ffcc00")},
        {"icons/zelk.svg", svgBytes("#2558dc")},
        {"icons/remove.svg", svgBytes("#dc2525")},
        {"icons/broken.png", {junk.begin(), junk.end()}},
        {"icons/broken.svg", {junk.begin(), junk.end()}},
    });
}

// A fresh empty directory under the system's temporary directory, unique to this process and `tag`.
inline std::filesystem::path freshDirectory(const std::string& tag) {
    auto dir = std::filesystem::temp_directory_path() /
               ("orvane-" + tag + "-" + std::to_string(static_cast<long>(::getpid())));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

} // namespace apptest
