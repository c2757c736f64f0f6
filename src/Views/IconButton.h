// A flat button that shows only a texture, tinted by the button's state colour (black shades).
#pragma once

#include <zelk/ui/Button.h>
#include <zelk/ui/Texture.h>

class IconButton : public zelk::ui::Button {
public:
    IconButton(zelk::ui::Widget* parent, const zelk::ui::Texture* texture);
    IconButton(zelk::ui::Widget* parent, const zelk::ui::Vec2& position, const zelk::ui::Vec2& size,
               const zelk::ui::Texture* texture);
    IconButton(zelk::ui::Widget* parent, float x, float y, float width, float height,
               const zelk::ui::Texture* texture);
    ~IconButton() override;

private:
    void applyStyle();

    const zelk::ui::Texture* texture; // not owned (textures belong to AppTextures)
};
