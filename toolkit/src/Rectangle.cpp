#include <zelk/ui/Rectangle.h>
#include <zelk/ui/Renderer.h>

namespace zelk::ui {

void Rectangle::draw(Renderer* renderer, float alpha, float deltaSeconds) {
    const Vec2 size = getActualSize();
    if (size.x > 0.0f && size.y > 0.0f && color_.a != 0) {
        draw::Rectangle r;
        r.position = getWorldPosition(alpha);
        r.size = size;
        r.angle = getWorldAngle(alpha);
        r.origin = getOrigin();
        r.color = color_.toVec4();
        if (texture_ != nullptr) {
            // A texture is shown in its own colours; the rectangle's colour gives only its opacity.
            r.color = Vec4{1, 1, 1, r.color.w};
        }
        r.texture = texture_;
        renderer->submit(r);
    }
    Widget::draw(renderer, alpha, deltaSeconds);
}

} // namespace zelk::ui
