#include "PakWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <system_error>

namespace pak {
namespace {

constexpr size_t kHeaderSize = 40;
constexpr size_t kEntrySize = 24;

void put32(std::vector<unsigned char>& out, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[at + i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

void put64(std::vector<unsigned char>& out, size_t at, uint64_t value) {
    put32(out, at, static_cast<uint32_t>(value));
    put32(out, at + 4, static_cast<uint32_t>(value >> 32));
}

// Unsigned byte order, a prefix before the longer name: the order the reader searches in.
bool nameLess(const std::string& a, const std::string& b) {
    const size_t n = std::min(a.size(), b.size());
    const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    return c != 0 ? c < 0 : a.size() < b.size();
}

void checkName(const std::string& name) {
    if (name.empty()) {
        throw std::runtime_error("asset name is empty");
    }
    if (name.find('\0') != std::string::npos) {
        throw std::runtime_error("asset name contains a zero byte");
    }
}

std::vector<unsigned char> readFile(const Input& input) {
    std::ifstream file(input.path, std::ios::binary);
    if (!file.is_open()) {
        throw std::runtime_error("cannot read '" + input.path + "' for asset '" + input.name +
                                 "': " + std::strerror(errno));
    }
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)),
                                     std::istreambuf_iterator<char>());
    if (file.bad()) {
        throw std::runtime_error("cannot read '" + input.path + "' for asset '" + input.name + "'");
    }
    return bytes;
}

} // namespace

std::vector<unsigned char> build(std::vector<Asset> assets) {
    for (const Asset& asset : assets) {
        checkName(asset.name);
    }
    std::stable_sort(assets.begin(), assets.end(),
                     [](const Asset& a, const Asset& b) { return nameLess(a.name, b.name); });
    for (size_t i = 1; i < assets.size(); ++i) {
        if (assets[i].name == assets[i - 1].name) {
            throw std::runtime_error("duplicate asset name '" + assets[i].name + "'");
        }
    }

    const size_t entriesOffset = kHeaderSize;
    const size_t namesOffset = entriesOffset + kEntrySize * assets.size();
    size_t namesSize = 0;
    for (const Asset& asset : assets) {
        namesSize += asset.name.size() + 1;
    }
    // The reader wants the names offset inside the file even when there are no names.
    namesSize = std::max<size_t>(namesSize, 1);
    size_t dataOffset = namesOffset + namesSize;
    size_t total = dataOffset;
    for (const Asset& asset : assets) {
        total += asset.data.size();
    }

    std::vector<unsigned char> out(total, 0);
    std::memcpy(out.data(), "TPAK", 4);
    put32(out, 4, 1);
    put64(out, 8, assets.size());
    put64(out, 16, entriesOffset);
    put64(out, 24, namesOffset);
    put64(out, 32, 0); // reserved

    size_t nameOffset = 0;
    for (size_t i = 0; i < assets.size(); ++i) {
        const Asset& asset = assets[i];
        const size_t record = entriesOffset + kEntrySize * i;
        put64(out, record, nameOffset);
        put64(out, record + 8, dataOffset);
        put64(out, record + 16, asset.data.size());
        std::memcpy(out.data() + namesOffset + nameOffset, asset.name.data(), asset.name.size());
        nameOffset += asset.name.size() + 1; // the terminator is already zero
        if (!asset.data.empty()) {
            std::memcpy(out.data() + dataOffset, asset.data.data(), asset.data.size());
        }
        dataOffset += asset.data.size();
    }
    return out;
}

void write(const std::string& output, const std::vector<Input>& inputs) {
    std::map<std::string, std::string> seen; // name -> file, to name both files of a duplicate
    std::vector<Asset> assets;
    assets.reserve(inputs.size());
    for (const Input& input : inputs) {
        checkName(input.name);
        auto [it, inserted] = seen.emplace(input.name, input.path);
        if (!inserted) {
            throw std::runtime_error("duplicate asset name '" + input.name + "' (from '" + it->second +
                                     "' and '" + input.path + "')");
        }
        assets.push_back(Asset{input.name, readFile(input)});
    }
    const std::vector<unsigned char> bytes = build(std::move(assets));

    const std::string temporary = output + ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        if (!file.is_open()) {
            throw std::runtime_error("cannot create '" + temporary + "': " + std::strerror(errno));
        }
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        file.close();
        if (!file) {
            std::filesystem::remove(temporary);
            throw std::runtime_error("cannot write '" + temporary + "'");
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, output, error);
    if (error) {
        std::filesystem::remove(temporary);
        throw std::runtime_error("cannot replace '" + output + "': " + error.message());
    }
}

} // namespace pak
