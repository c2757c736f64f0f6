#include <zelk/ui/Font.h>
#include <zelk/ui/Renderer.h>
#include <zelk/ui/TextElement.h>
#include <zelk/ui/Texture.h>

#include <SDL.h>
#include <SDL_ttf.h>

namespace zelk::ui {

TextElement::TextElement(Widget* parent, const Font* font) : Widget(parent), font_(font) {}

TextElement::TextElement(Widget* parent, const Font* font, const std::string& text)
    : Widget(parent), text_(text), font_(font) {
    remeasure();
}

TextElement::~TextElement() = default;

void TextElement::setText(const std::string& text) {
    if (text == text_) {
        return;
    }
    text_ = text;
    remeasure();
}

void TextElement::setFont(const Font* font) {
    if (font == font_) {
        return;
    }
    font_ = font;
    remeasure();
}

void TextElement::setFontSize(float size) {
    if (size == fontSize_) {
        return;
    }
    fontSize_ = size;
    remeasure();
}

void TextElement::remeasure() {
    dirty_ = true;
    setPreferredSize(font_ != nullptr ? font_->measure(text_, fontSize_) : Vec2{});
}

void TextElement::draw(Renderer* renderer, float alpha, float deltaSeconds) {
    if (dirty_) {
        dirty_ = false;
        rendered_.reset();
        if (font_ != nullptr && !text_.empty()) {
            if (TTF_Font* ttf = font_->getTTF(fontSize_)) {
                // Rendered in white and tinted by the colour at draw time, so colour changes are free.
                SDL_Surface* surface =
                    TTF_RenderUTF8_Blended(ttf, text_.c_str(), SDL_Color{255, 255, 255, 255});
                if (surface != nullptr) {
                    rendered_ = std::make_unique<Texture>(surface);
                }
            }
        }
    }
    if (rendered_ != nullptr && color_.a != 0) {
        draw::Rectangle r;
        r.position = getWorldPosition(alpha);
        r.size = {static_cast<float>(rendered_->getWidth()), static_cast<float>(rendered_->getHeight())};
        r.angle = getWorldAngle(alpha);
        r.origin = getOrigin();
        r.color = color_.toVec4();
        r.texture = rendered_.get();
        renderer->submit(r);
    }
    Widget::draw(renderer, alpha, deltaSeconds);
}

} // namespace zelk::ui
