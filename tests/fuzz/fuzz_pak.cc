// Feeds arbitrary bytes to the asset pak parser (the in-memory load) and reads every byte of
// each asset it then finds, so that a view reaching past the loaded bytes is caught.
#include "AssetManager.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace {

volatile unsigned sink;

void touch(const std::string& name) {
    if (const auto view = AssetManager::getAsset(name)) {
        unsigned sum = 0;
        for (char c : view->name) {
            sum += static_cast<unsigned char>(c);
        }
        for (unsigned char byte : view->data) {
            sum += byte;
        }
        sink = sum;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        AssetManager::init(data, size);
    } catch (const std::runtime_error&) {
        // Entries before a failing record stay loaded: they must be as sound as any others.
    }
    for (const char* name : {"", "a", "ab", "b", "icons/folder.svg", "icons/loading.png",
                             "fonts/montserrat-font/MontserratMedium.ttf"}) {
        touch(name);
    }
    // Names taken from the input itself hit entries the fixed list cannot.
    for (size_t start = 40; start < size && start < 200; start += 7) {
        size_t end = start;
        while (end < size && data[end] != 0 && end - start < 64) {
            ++end;
        }
        touch(std::string(reinterpret_cast<const char*>(data + start), end - start));
    }
    return 0;
}
