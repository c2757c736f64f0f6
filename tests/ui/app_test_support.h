// Helpers shared by the application's UI tests: asset paks written in memory, small images.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace apptest {

struct PakEntry {
    std::string name;
    std::vector<uint8_t> data;
};

// The bytes of an asset pak holding `entries` (sorted by name here, as readers expect).
std::vector<uint8_t> buildPak(std::vector<PakEntry> entries);

std::vector<uint8_t> readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

// The application's font, from the font package in the source tree.
std::vector<uint8_t> montserratFont();

// A PNG of w x h pixels of one colour (bytes R, G, B, A).
std::vector<uint8_t> pngBytes(int w, int h, uint8_t r, uint8_t g, uint8_t b, uint8_t a);

// A square SVG icon filled with one colour.
std::vector<uint8_t> svgBytes(const std::string& fill);

// The pak every in-process UI test loads: the font, the spinner image, three icons and an image
// asset whose bytes are not an image ("icons/broken.png").
std::vector<uint8_t> standardPak();

// A fresh empty directory under the system's temporary directory, unique to this process and `tag`.
std::filesystem::path freshDirectory(const std::string& tag);

} // namespace apptest
