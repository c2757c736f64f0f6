// A rectangle that reacts to the left mouse button: a press and a release inside it call the click
// handler. Its colour follows its state (background, hover, pressed, locked); a locked button shows
// the locked colour and ignores clicks. Its text is a centred TextElement (getText()), which has no
// font until one is set.
#pragma once

#include <zelk/ui/Rectangle.h>

#include <functional>

namespace zelk::ui {

class TextElement;

class Button : public Rectangle {
public:
    explicit Button(Widget* parent);
    Button(Widget* parent, const Vec2& position, const Vec2& size);
    Button(Widget* parent, float x, float y, float width, float height);

    void setOnClick(std::function<void()> handler) { onClick_ = std::move(handler); }
    void setBackgroundColor(Color color) { backgroundColor_ = color; }
    Color getBackgroundColor() const { return backgroundColor_; }
    void setHoverColor(Color color) { hoverColor_ = color; }
    Color getHoverColor() const { return hoverColor_; }
    void setPressedColor(Color color) { pressedColor_ = color; }
    Color getPressedColor() const { return pressedColor_; }
    void setLockedColor(Color color) { lockedColor_ = color; }
    Color getLockedColor() const { return lockedColor_; }
    void setLocked(bool locked);
    bool isLocked() const { return locked_; }
    bool isHovered() const { return hovered_; }
    bool isPressed() const { return pressed_; }
    // The colour of the current state: locked, else pressed, else hovered, else background.
    Color getStateColor() const;

    TextElement* getText() const { return text_; }

    void resized() override;
    bool onMouseEnter(const MouseEvent& event) override;
    bool onMouseLeave(const MouseEvent& event) override;
    bool onMouseButtonDown(const MouseEvent& event) override;
    bool onMouseButtonUp(const MouseEvent& event) override;
    void update() override;
    void draw(Renderer* renderer, float alpha, float deltaSeconds) override;

private:
    void init();

    std::function<void()> onClick_;
    Color backgroundColor_{0x40, 0x40, 0x40, 0xFF};
    Color hoverColor_{0x58, 0x58, 0x58, 0xFF};
    Color pressedColor_{0x30, 0x30, 0x30, 0xFF};
    Color lockedColor_{0x40, 0x40, 0x40, 0x50};
    TextElement* text_ = nullptr;
    bool locked_ = false;
    bool hovered_ = false;
    bool pressed_ = false;
};

} // namespace zelk::ui
