#include "Views/DefaultButton.h"

#include <zelk/ui/TextElement.h>

#include "AppStyle.h"

DefaultButton::DefaultButton(zelk::ui::Widget* parent) : zelk::ui::Button(parent) {
    applyStyle();
}

DefaultButton::DefaultButton(zelk::ui::Widget* parent, const zelk::ui::Vec2& position,
                             const zelk::ui::Vec2& size)
    : zelk::ui::Button(parent, position, size) {
    applyStyle();
}

DefaultButton::DefaultButton(zelk::ui::Widget* parent, float x, float y, float width, float height)
    : zelk::ui::Button(parent, zelk::ui::Vec2{x, y}, zelk::ui::Vec2{width, height}) {
    applyStyle();
}

DefaultButton::~DefaultButton() = default;

void DefaultButton::applyStyle() {
    const AppStyle* style = AppStyle::getInstance();
    setBackgroundColor(style->getButtonColor());
    setHoverColor(style->getButtonHoverColor());
    setPressedColor(style->getButtonPressedColor());
    setLockedColor(style->getButtonLockedColor());
    zelk::ui::TextElement* text = getText();
    text->setColor(style->getTextColor());
    text->setFontSize(style->getFontSizeNormal());
    text->setFont(style->getDefaultFont());
}
