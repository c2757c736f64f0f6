// Read-only access to the asset pak: one file ("TPAK", version 1) holding every font and
// icon of the application, loaded once into memory and handed out as views.
//
// Layout (all integers unsigned little-endian, offsets from the start of the file):
//   header (40 bytes): magic "TPAK", u32 version = 1, u64 entry count, u64 entries offset,
//                      u64 names offset, u64 reserved
//   entries: count records of 24 bytes: u64 name offset (into the names blob),
//            u64 data offset, u64 data size; sorted by name (unsigned bytes, prefix first)
//   names blob: NUL-terminated names such as "icons/folder.svg"
//   data: anywhere in the file; regions may overlap
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// One asset: its name and its bytes, both pointing into the loaded pak.
struct AssetView {
    std::string_view name;
    std::span<unsigned char> data;

    AssetView(std::string_view assetName, std::span<unsigned char> bytes) : name(assetName), data(bytes) {}
};

class AssetManager {
public:
    // Loads and validates the pak file at path. Throws std::runtime_error with a fixed text
    // on any failure. Loading again through the same form replaces the earlier load: views
    // obtained from it are no longer valid.
    static void init(const std::string& path);

    // Copies size bytes and validates them as a pak; same checks and errors as above
    // (std::invalid_argument for null bytes with a non-zero size).
    static void init(const unsigned char* bytes, unsigned long size);

    // The entry named exactly name (byte-wise), or nothing; nothing before any init.
    // Views stay valid until the same init form runs again, or process exit.
    static std::optional<AssetView> getAsset(const std::string& name) noexcept;

private:
    void reset();
    void parse();
    void requireRange(unsigned long long offset, unsigned long long size, char const* what) const;

    std::vector<unsigned char> data;
    std::vector<AssetView> entries;

    static AssetManager* _instance;
};
