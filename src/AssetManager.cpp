#include "AssetManager.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <system_error>

namespace {

constexpr size_t kHeaderSize = 40;
constexpr size_t kEntrySize = 24;
constexpr uint32_t kMagic = 0x4B415054; // "TPAK"

uint32_t readU32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t readU64(const unsigned char* p) {
    return static_cast<uint64_t>(readU32(p)) | static_cast<uint64_t>(readU32(p + 4)) << 32;
}

// Unsigned byte order over the shorter length, then the shorter name first.
bool nameLess(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    return c != 0 ? c < 0 : a.size() < b.size();
}

} // namespace

AssetManager* AssetManager::_instance = nullptr;

void AssetManager::reset() {
    // Views first: they point into data, which is about to be replaced.
    entries.clear();
    data.clear();
}

void AssetManager::init(const std::string& path) {
    static AssetManager manager;
    _instance = &manager;
    manager.reset();

    // A directory opens like a file here but tells a meaningless size: refuse it as unopenable.
    std::error_code error;
    const bool directory = std::filesystem::is_directory(path, error);
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (directory || !file.is_open()) {
        throw std::runtime_error("Failed to open asset file: " + path);
    }
    const std::streamoff size = file.tellg();
    if (size < 1) {
        throw std::runtime_error("Pak file empty or unreadable");
    }
    manager.data.resize(static_cast<size_t>(size));
    file.seekg(0, std::ios::beg);
    if (!file.read(reinterpret_cast<char*>(manager.data.data()), size) || file.gcount() != size) {
        throw std::runtime_error("Failed to read entire asset file");
    }
    manager.parse();
}

void AssetManager::init(const unsigned char* bytes, unsigned long size) {
    static AssetManager manager;
    _instance = &manager;
    if (bytes == nullptr && size > 0) {
        manager.reset();
        throw std::invalid_argument("Pak bytes are null");
    }
    // Copied before the old load is released, so the bytes may even come from it.
    std::vector<unsigned char> copy(bytes, bytes + size);
    manager.reset();
    manager.data = std::move(copy);
    manager.parse();
}

void AssetManager::requireRange(unsigned long long offset, unsigned long long size, char const* what) const {
    const unsigned long long length = data.size();
    if (offset > length || size > length - offset) {
        throw std::runtime_error(std::string("Pak out of range while reading ") + what);
    }
}

void AssetManager::parse() {
    if (data.size() < kHeaderSize) {
        throw std::runtime_error("asset file too small");
    }
    const unsigned char* base = data.data();
    if (readU32(base) != kMagic) {
        throw std::runtime_error("Bad magic (not TPAK)");
    }
    if (readU32(base + 4) != 1) {
        throw std::runtime_error("Unsupported pak version");
    }
    const uint64_t count = readU64(base + 8);
    const uint64_t entriesOffset = readU64(base + 16);
    const uint64_t namesOffset = readU64(base + 24);

    if (count > std::numeric_limits<uint64_t>::max() / kEntrySize) {
        throw std::runtime_error("Pak out of range while reading entries table");
    }
    requireRange(entriesOffset, count * kEntrySize, "entries table");
    requireRange(namesOffset, 1, "names blob");
    requireRange(0, kHeaderSize, "header");

    const size_t length = data.size();
    for (uint64_t i = 0; i < count; ++i) {
        const unsigned char* record = base + entriesOffset + i * kEntrySize;
        const uint64_t nameOffset = readU64(record);
        const uint64_t dataOffset = readU64(record + 8);
        const uint64_t dataSize = readU64(record + 16);

        // A name offset that wraps around 64 bits is as out of range as one past the end.
        if (nameOffset > std::numeric_limits<uint64_t>::max() - namesOffset) {
            throw std::runtime_error("Pak out of range while reading name string start");
        }
        const uint64_t nameStart = namesOffset + nameOffset;
        requireRange(nameStart, 1, "name string start");
        requireRange(dataOffset, dataSize, "file data");

        const void* terminator = std::memchr(base + nameStart, 0, length - nameStart);
        if (terminator == nullptr) {
            throw std::runtime_error("Unterminated name in pak");
        }
        const size_t nameLength = static_cast<const unsigned char*>(terminator) - (base + nameStart);
        entries.emplace_back(std::string_view(reinterpret_cast<const char*>(base + nameStart), nameLength),
                             std::span<unsigned char>(data.data() + dataOffset, dataSize));
    }
}

std::optional<AssetView> AssetManager::getAsset(const std::string& name) noexcept {
    if (_instance == nullptr) {
        return std::nullopt;
    }
    const std::vector<AssetView>& entries = _instance->entries;
    const std::string_view wanted(name);
    auto it = std::lower_bound(
        entries.begin(), entries.end(), wanted,
        [](const AssetView& entry, std::string_view key) { return nameLess(entry.name, key); });
    if (it != entries.end() && it->name == wanted) {
        return *it;
    }
    return std::nullopt;
}
