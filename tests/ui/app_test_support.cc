#include "app_test_support.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <SDL.h>
#include <SDL_image.h>
#include <unistd.h>

namespace apptest {
namespace {

void put64(std::vector<uint8_t>& out, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        out[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
    }
}

} // namespace

std::vector<uint8_t> buildPak(std::vector<PakEntry> entries) {
    std::sort(entries.begin(), entries.end(),
              [](const PakEntry& a, const PakEntry& b) { return a.name < b.name; });
    const size_t header = 40;
    const size_t table = header;
    size_t namesOffset = table + 24 * entries.size();
    std::vector<uint8_t> out(namesOffset, 0);
    std::vector<size_t> nameOffsets;
    for (const auto& e : entries) {
        nameOffsets.push_back(out.size() - namesOffset);
        out.insert(out.end(), e.name.begin(), e.name.end());
        out.push_back(0);
    }
    std::vector<size_t> dataOffsets;
    for (const auto& e : entries) {
        dataOffsets.push_back(out.size());
        out.insert(out.end(), e.data.begin(), e.data.end());
    }
    if (out.size() == namesOffset) {
        out.push_back(0); // keep the names blob inside the file
    }
    const char magic[4] = {'T', 'P', 'A', 'K'};
    std::copy(magic, magic + 4, out.begin());
    out[4] = 1; // version, little-endian 32-bit
    put64(out, 8, entries.size());
    put64(out, 16, table);
    put64(out, 24, namesOffset);
    for (size_t i = 0; i < entries.size(); ++i) {
        put64(out, table + 24 * i, nameOffsets[i]);
        put64(out, table + 24 * i + 8, dataOffsets[i]);
        put64(out, table + 24 * i + 16, entries[i].data.size());
    }
    return out;
}

std::vector<uint8_t> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::vector<uint8_t> montserratFont() {
    return readFile(std::filesystem::path(ORVANE_SOURCE_DIR) / "assets" / "node_modules" /
                    "@expo-google-fonts" / "montserrat" / "500Medium" / "Montserrat_500Medium.ttf");
}

std::vector<uint8_t> pngBytes(int w, int h, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    SDL_Surface* surface = SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_RGBA32);
    if (surface == nullptr) {
        throw std::runtime_error(SDL_GetError());
    }
    SDL_FillRect(surface, nullptr, SDL_MapRGBA(surface->format, r, g, b, a));
    std::vector<uint8_t> bytes;
    SDL_RWops* rw = SDL_RWFromFP(tmpfile(), SDL_TRUE);
    if (rw == nullptr || IMG_SavePNG_RW(surface, rw, 0) != 0) {
        SDL_FreeSurface(surface);
        if (rw != nullptr) {
            SDL_RWclose(rw);
        }
        throw std::runtime_error("cannot encode PNG");
    }
    Sint64 size = SDL_RWtell(rw);
    bytes.resize(static_cast<size_t>(size));
    SDL_RWseek(rw, 0, RW_SEEK_SET);
    SDL_RWread(rw, bytes.data(), 1, bytes.size());
    SDL_RWclose(rw);
    SDL_FreeSurface(surface);
    return bytes;
}

std::vector<uint8_t> svgBytes(const std::string& fill) {
    std::string text =
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"24\" height=\"24\" viewBox=\"0 0 24 24\">"
        "<rect x=\"2\" y=\"2\" width=\"20\" height=\"20\" fill=\"" +
        fill + "\"/></svg>";
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> standardPak() {
    std::vector<PakEntry> entries;
    entries.push_back({"fonts/montserrat-font/MontserratMedium.ttf", montserratFont()});
    entries.push_back({"icons/loading.png", pngBytes(32, 32, 255, 255, 255, 255)});
    entries.push_back({"icons/tag.svg", svgBytes("#ffffff")});
    entries.push_back({"icons/folder.svg", svgBytes("#ffcc00")});
    entries.push_back({"icons/zelk.svg", svgBytes("#2558dc")});
    const std::string junk = "this is not an image";
    entries.push_back({"icons/broken.png", std::vector<uint8_t>(junk.begin(), junk.end())});
    entries.push_back({"icons/broken.svg", std::vector<uint8_t>(junk.begin(), junk.end())});
    return buildPak(std::move(entries));
}

std::filesystem::path freshDirectory(const std::string& tag) {
    auto dir = std::filesystem::temp_directory_path() /
               ("orvane-" + tag + "-" + std::to_string(static_cast<long>(::getpid())));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

} // namespace apptest
