// The toolkit's two exception kinds. Both are standard exceptions with a description and a
// signed 32-bit code (the enumerators below).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace zelk::ui {

// Bad input data: an image, SVG document or font that cannot be decoded.
class ResourceException : public std::runtime_error {
public:
    enum Code : std::int32_t {
        EmptyData = 1,      // null pointer or zero size
        ImageDecode = 2,    // bytes are not an image SDL_image can decode
        SvgParse = 3,       // bytes are not an SVG document
        SvgRasterize = 4,   // the document could not be rasterised at the requested size
        FontOpen = 5,       // bytes are not a font SDL_ttf can open (or the face index is absent)
        InvalidArgument = 6 // e.g. a zero or too large texture size
    };
    ResourceException(std::int32_t code, const std::string& what) : std::runtime_error(what), code_(code) {}
    std::int32_t getCode() const noexcept { return code_; }
    std::int32_t code() const noexcept { return code_; }

private:
    std::int32_t code_;
};

// A fault of the graphics set-up: SDL initialisation, device selection, window or renderer creation.
class RenderException : public std::runtime_error {
public:
    enum Code : std::int32_t {
        InitFailed = 1,           // SDL video could not be initialised
        InvalidDevice = 2,        // selectDevice with an index outside the device list
        WindowCreateFailed = 3,   // SDL_CreateWindow failed
        RendererCreateFailed = 4, // no SDL_Renderer could be created for the window
        NoApplication = 5,        // a static Application call needs an Application
        ApplicationExists = 6,    // a second Application while one exists
        ReadbackFailed = 7,       // reading a frame back from the renderer failed
        UnsupportedBackend = 8    // RenderContext::create with an unknown backend
    };
    RenderException(std::int32_t code, const std::string& what) : std::runtime_error(what), code_(code) {}
    std::int32_t getCode() const noexcept { return code_; }
    std::int32_t code() const noexcept { return code_; }

private:
    std::int32_t code_;
};

} // namespace zelk::ui
