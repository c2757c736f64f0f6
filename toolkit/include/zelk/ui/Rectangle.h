// A filled rectangle, optionally textured. A textured rectangle shows the texture in its own colours
// and takes only the alpha of its colour, as opacity: a logo given opaque black shows as drawn, and a
// button's state colours (opaque, faded) still tell its states apart. Untextured, the colour fills it.
#pragma once

#include <zelk/ui/Widget.h>

namespace zelk::ui {

class Texture;

class Rectangle : public Widget {
public:
    using Widget::Widget;

    void setColor(Color color) { color_ = color; } // default: opaque white
    Color getColor() const { return color_; }
    void setTexture(const Texture* texture) { texture_ = texture; } // not owned; null: plain colour
    const Texture* getTexture() const { return texture_; }

    void draw(Renderer* renderer, float alpha, float deltaSeconds) override;

private:
    Color color_{255, 255, 255, 255};
    const Texture* texture_ = nullptr;
};

} // namespace zelk::ui
