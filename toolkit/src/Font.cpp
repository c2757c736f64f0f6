#include <zelk/ui/Exceptions.h>
#include <zelk/ui/Font.h>

#include <SDL.h>
#include <SDL_ttf.h>

#include <climits>
#include <cmath>
#include <string>

namespace zelk::ui {

namespace {
TTF_Font* openFont(const std::vector<std::uint8_t>& data, int pixels, int faceIndex) {
    SDL_RWops* rw = SDL_RWFromConstMem(data.data(), static_cast<int>(data.size()));
    if (rw == nullptr) {
        return nullptr;
    }
    // SDL_ttf keeps reading through rw while the font is open and closes it with the font.
    return TTF_OpenFontIndexRW(rw, 1, pixels, faceIndex);
}
} // namespace

Font::Font(const void* bytes, std::size_t size, int faceIndex) : faceIndex_(faceIndex) {
    if (bytes == nullptr || size == 0) {
        throw ResourceException(ResourceException::EmptyData, "Font: no font data");
    }
    if (size > static_cast<std::size_t>(INT_MAX)) {
        throw ResourceException(ResourceException::InvalidArgument, "Font: font data too large");
    }
    if (faceIndex < 0) {
        throw ResourceException(ResourceException::InvalidArgument, "Font: negative face index");
    }
    // SDL_ttf counts its initialisations, so every Font holds one until it is destroyed.
    if (TTF_Init() != 0) {
        throw ResourceException(ResourceException::FontOpen,
                                std::string("Font: TTF_Init failed: ") + TTF_GetError());
    }
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    data_.assign(p, p + size);
    TTF_Font* probe = openFont(data_, 16, faceIndex_);
    if (probe == nullptr) {
        std::string reason = TTF_GetError();
        TTF_Quit();
        throw ResourceException(ResourceException::FontOpen, "Font: cannot open font: " + reason);
    }
    opened_.emplace(16, probe);
}

Font::~Font() {
    for (auto& [size, font] : opened_) {
        (void)size;
        TTF_CloseFont(font);
    }
    opened_.clear();
    TTF_Quit();
}

TTF_Font* Font::getTTF(float pixelSize) const {
    int pixels = static_cast<int>(std::lround(pixelSize));
    if (pixels < 1) {
        pixels = 1;
    }
    auto it = opened_.find(pixels);
    if (it != opened_.end()) {
        return it->second;
    }
    TTF_Font* font = openFont(data_, pixels, faceIndex_);
    if (font != nullptr) {
        opened_.emplace(pixels, font);
    }
    return font;
}

Vec2 Font::measure(const std::string& text, float pixelSize) const {
    if (text.empty()) {
        return {};
    }
    TTF_Font* font = getTTF(pixelSize);
    int w = 0;
    int h = 0;
    if (font == nullptr || TTF_SizeUTF8(font, text.c_str(), &w, &h) != 0) {
        return {};
    }
    return {static_cast<float>(w), static_cast<float>(h)};
}

} // namespace zelk::ui
