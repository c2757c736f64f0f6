// One line of text drawn with SDL_ttf. Its preferred size follows the text's measured size
// (empty text or no font: 0 x 0); it draws nothing without a font.
#pragma once

#include <zelk/ui/Widget.h>

#include <memory>
#include <string>

namespace zelk::ui {

class Font;
class Texture;

class TextElement : public Widget {
public:
    explicit TextElement(Widget* parent, const Font* font = nullptr);
    TextElement(Widget* parent, const Font* font, const std::string& text);
    ~TextElement() override;

    void setText(const std::string& text);
    const std::string& getText() const { return text_; }
    void setColor(Color color) { color_ = color; } // default: opaque white
    Color getColor() const { return color_; }
    void setFont(const Font* font); // not owned
    const Font* getFont() const { return font_; }
    void setFontSize(float size); // pixels; default 16
    float getFontSize() const { return fontSize_; }

    void draw(Renderer* renderer, float alpha, float deltaSeconds) override;

private:
    void remeasure();

    std::string text_;
    const Font* font_ = nullptr;
    float fontSize_ = 16.0f;
    Color color_{255, 255, 255, 255};
    std::unique_ptr<Texture> rendered_; // the text rasterised in white; rebuilt when text/font/size change
    bool dirty_ = true;
};

} // namespace zelk::ui
