// A TrueType/OpenType font held in memory, opened with SDL_ttf at any pixel size and usable as an
// ImGui font (ImGuiPanel::setDefaultFont).
#pragma once

#include <zelk/ui/Types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

typedef struct _TTF_Font TTF_Font;

namespace zelk::ui {

class Font {
public:
    // Copies the bytes and opens face `faceIndex` (0 for the first). Throws ResourceException
    // (EmptyData, FontOpen).
    Font(const void* bytes, std::size_t size, int faceIndex = 0);
    ~Font();
    Font(const Font&) = delete;
    Font& operator=(const Font&) = delete;

    // The font opened at a pixel size (rounded, at least 1); cached. Null if SDL_ttf fails.
    TTF_Font* getTTF(float pixelSize) const;
    // Size of a line of text in pixels (0 x 0 for empty text).
    Vec2 measure(const std::string& text, float pixelSize) const;

    const std::uint8_t* getData() const { return data_.data(); }
    std::size_t getDataSize() const { return data_.size(); }
    int getFaceIndex() const { return faceIndex_; }

private:
    std::vector<std::uint8_t> data_;
    int faceIndex_ = 0;
    mutable std::map<int, TTF_Font*> opened_;
};

} // namespace zelk::ui
