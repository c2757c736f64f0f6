#include "Views/IconButton.h"

IconButton::IconButton(zelk::ui::Widget* parent, const zelk::ui::Texture* texture)
    : zelk::ui::Button(parent), texture(texture) {
    applyStyle();
}

IconButton::IconButton(zelk::ui::Widget* parent, const zelk::ui::Vec2& position, const zelk::ui::Vec2& size,
                       const zelk::ui::Texture* texture)
    : zelk::ui::Button(parent, position, size), texture(texture) {
    applyStyle();
}

IconButton::IconButton(zelk::ui::Widget* parent, float x, float y, float width, float height,
                       const zelk::ui::Texture* texture)
    : zelk::ui::Button(parent, zelk::ui::Vec2{x, y}, zelk::ui::Vec2{width, height}), texture(texture) {
    applyStyle();
}

IconButton::~IconButton() = default;

void IconButton::applyStyle() {
    setBackgroundColor(zelk::ui::Color(0, 0, 0, 255));
    setHoverColor(zelk::ui::Color(0, 0, 0, 255));
    setPressedColor(zelk::ui::Color(0, 0, 0, 100));
    setLockedColor(zelk::ui::Color(0, 0, 0, 50));
    setTexture(texture);
}
