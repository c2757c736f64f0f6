// An SVG document held in memory, rasterised to textures of any size.
#pragma once

#include <zelk/ui/Texture.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelk::ui {

class SVG {
public:
    // Parses the document (the bytes are copied). Throws ResourceException (EmptyData, SvgParse).
    SVG(const void* bytes, std::size_t size);

    // Rasterises the document into a width x height texture: scaled to fit, keeping its aspect
    // ratio, centred on a transparent background.
    // Throws ResourceException (InvalidArgument for 0 or more than 16384, SvgRasterize).
    Texture createTexture(std::uint32_t width, std::uint32_t height) const;

private:
    std::vector<std::uint8_t> data_;
};

} // namespace zelk::ui
