// Writes asset paks: the "TPAK" version-1 archive that AssetManager reads.
#pragma once

#include <string>
#include <vector>

namespace pak {

struct Asset {
    std::string name;                // relative path with forward slashes, e.g. "icons/tag.svg"
    std::vector<unsigned char> data; // the asset's bytes
};

struct Input {
    std::string name; // asset name
    std::string path; // file holding the asset's bytes
};

// Lays out a pak: 40-byte header, entries table sorted by name (unsigned bytes, a prefix
// first, as the reader's binary search requires), names blob, then each asset's bytes.
// Throws std::runtime_error for an empty name, a name holding a zero byte, or a name that
// appears twice.
std::vector<unsigned char> build(std::vector<Asset> assets);

// Reads every input file and writes the pak to output (through a temporary file, so a
// failed run never leaves a partial pak behind). Throws std::runtime_error naming the
// asset and the file for an unreadable input, a duplicate name, or a failed write.
void write(const std::string& output, const std::vector<Input>& inputs);

} // namespace pak
