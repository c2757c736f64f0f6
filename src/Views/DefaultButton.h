// The application's push button, coloured from AppStyle: blue states, the style's text colour,
// default font at the normal size.
#pragma once

#include <zelk/ui/Button.h>

class DefaultButton : public zelk::ui::Button {
public:
    explicit DefaultButton(zelk::ui::Widget* parent);
    DefaultButton(zelk::ui::Widget* parent, const zelk::ui::Vec2& position, const zelk::ui::Vec2& size);
    DefaultButton(zelk::ui::Widget* parent, float x, float y, float width, float height);
    ~DefaultButton() override;

private:
    void applyStyle();
};
