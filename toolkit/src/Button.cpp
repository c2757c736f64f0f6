#include <zelk/ui/Button.h>
#include <zelk/ui/TextElement.h>

#include <SDL.h>

namespace zelk::ui {

Button::Button(Widget* parent) : Rectangle(parent) {
    init();
}

Button::Button(Widget* parent, const Vec2& position, const Vec2& size) : Rectangle(parent, position, size) {
    init();
}

Button::Button(Widget* parent, float x, float y, float width, float height)
    : Rectangle(parent, x, y, width, height) {
    init();
}

void Button::init() {
    text_ = addHiddenChild<TextElement>();
}

void Button::setLocked(bool locked) {
    locked_ = locked;
    if (locked) {
        pressed_ = false;
    }
}

Color Button::getStateColor() const {
    if (locked_) {
        return lockedColor_;
    }
    if (pressed_) {
        return pressedColor_;
    }
    return hovered_ ? hoverColor_ : backgroundColor_;
}

void Button::resized() {
    Rectangle::resized();
    // The text is centred; its size follows the text, so update() re-centres too.
    const Vec2 text = text_->getActualSize();
    text_->setPosition((getActualSize() - text) * 0.5f);
}

bool Button::onMouseEnter(const MouseEvent& event) {
    hovered_ = true;
    return Rectangle::onMouseEnter(event);
}

bool Button::onMouseLeave(const MouseEvent& event) {
    hovered_ = false;
    return Rectangle::onMouseLeave(event);
}

bool Button::onMouseButtonDown(const MouseEvent& event) {
    if (event.button != SDL_BUTTON_LEFT) {
        return Rectangle::onMouseButtonDown(event);
    }
    if (!locked_) {
        pressed_ = true;
    }
    return true; // a locked button still keeps the click from what lies beneath it
}

bool Button::onMouseButtonUp(const MouseEvent& event) {
    if (event.button != SDL_BUTTON_LEFT) {
        return Rectangle::onMouseButtonUp(event);
    }
    const bool wasPressed = pressed_;
    pressed_ = false;
    if (wasPressed && !locked_ && contains(event.position) && onClick_) {
        // Copied: the handler may replace itself or destroy this button.
        std::function<void()> handler = onClick_;
        handler();
    }
    return true;
}

void Button::update() {
    const Vec2 text = text_->getActualSize();
    text_->setPosition((getActualSize() - text) * 0.5f);
    Rectangle::update();
}

void Button::draw(Renderer* renderer, float alpha, float deltaSeconds) {
    setColor(getStateColor());
    Rectangle::draw(renderer, alpha, deltaSeconds);
}

} // namespace zelk::ui
