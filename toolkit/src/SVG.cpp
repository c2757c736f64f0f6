#include <zelk/ui/Exceptions.h>
#include <zelk/ui/SVG.h>

#include <SDL.h>
#include <SDL_image.h>

#include <climits>
#include <string>

namespace zelk::ui {

namespace {
constexpr std::uint32_t kMaxSide = 16384;

SDL_Surface* rasterize(const std::vector<std::uint8_t>& data, int width, int height) {
    SDL_RWops* rw = SDL_RWFromConstMem(data.data(), static_cast<int>(data.size()));
    if (rw == nullptr) {
        return nullptr;
    }
    SDL_Surface* surface = IMG_LoadSizedSVG_RW(rw, width, height);
    SDL_RWclose(rw);
    return surface;
}
} // namespace

SVG::SVG(const void* bytes, std::size_t size) {
    if (bytes == nullptr || size == 0) {
        throw ResourceException(ResourceException::EmptyData, "SVG: no document data");
    }
    if (size > static_cast<std::size_t>(INT_MAX)) {
        throw ResourceException(ResourceException::InvalidArgument, "SVG: document too large");
    }
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    data_.assign(p, p + size);
    // nanosvg needs a terminated string; the zero is not part of the document's size.
    data_.push_back(0);
    // SDL_image leaks the parse result of a document without a size, so anything that does not
    // look like SVG at all is turned away first.
    SDL_RWops* rw = SDL_RWFromConstMem(data_.data(), static_cast<int>(data_.size()));
    const bool looksLikeSvg = rw != nullptr && IMG_isSVG(rw) != 0;
    if (rw != nullptr) {
        SDL_RWclose(rw);
    }
    if (!looksLikeSvg) {
        throw ResourceException(ResourceException::SvgParse, "SVG: not an SVG document");
    }
    // Parse once (rasterised at 1 x 1) so that bad documents fail here rather than later.
    SDL_Surface* probe = rasterize(data_, 1, 1);
    if (probe == nullptr) {
        throw ResourceException(ResourceException::SvgParse,
                                std::string("SVG: cannot parse document: ") + IMG_GetError());
    }
    SDL_FreeSurface(probe);
}

Texture SVG::createTexture(std::uint32_t width, std::uint32_t height) const {
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) {
        throw ResourceException(ResourceException::InvalidArgument,
                                "SVG: texture size must be 1.." + std::to_string(kMaxSide));
    }
    SDL_Surface* surface = rasterize(data_, static_cast<int>(width), static_cast<int>(height));
    if (surface == nullptr) {
        throw ResourceException(ResourceException::SvgRasterize,
                                std::string("SVG: cannot rasterise document: ") + IMG_GetError());
    }
    if (surface->w != static_cast<int>(width) || surface->h != static_cast<int>(height)) {
        // SDL_image keeps the aspect ratio; centre the result on a canvas of the requested size.
        SDL_Surface* canvas = SDL_CreateRGBSurfaceWithFormat(
            0, static_cast<int>(width), static_cast<int>(height), 32, SDL_PIXELFORMAT_RGBA32);
        if (canvas == nullptr) {
            SDL_FreeSurface(surface);
            throw ResourceException(ResourceException::SvgRasterize,
                                    std::string("SVG: cannot allocate texture: ") + SDL_GetError());
        }
        SDL_FillRect(canvas, nullptr, SDL_MapRGBA(canvas->format, 0, 0, 0, 0));
        SDL_SetSurfaceBlendMode(surface, SDL_BLENDMODE_NONE);
        SDL_Rect at{(canvas->w - surface->w) / 2, (canvas->h - surface->h) / 2, surface->w, surface->h};
        SDL_BlitSurface(surface, nullptr, canvas, &at);
        SDL_FreeSurface(surface);
        surface = canvas;
    }
    return Texture(surface);
}

} // namespace zelk::ui
