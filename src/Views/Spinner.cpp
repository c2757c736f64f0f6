#include "Views/Spinner.h"

#include <zelk/ui/Renderer.h>

#include "AppTextures.h"

namespace {
constexpr const char* textureAsset = "icons/loading.png";
constexpr float degreesPerSecond = 180.0f;
constexpr float lastAngle = 359.0f;
} // namespace

Spinner::Spinner(zelk::ui::Widget* parent) : zelk::ui::Widget(parent) {
    texture = AppTextures::getTexture(textureAsset);
}

Spinner::Spinner(zelk::ui::Widget* parent, const zelk::ui::Vec2& position, const zelk::ui::Vec2& size)
    : zelk::ui::Widget(parent) {
    texture = AppTextures::getTexture(textureAsset);
    setPosition(position);
    setPreferredSize(size);
    setOrigin(size * 0.5f);
}

Spinner::~Spinner() = default;

float Spinner::nextAngle(float current, uint64_t frameMicros) {
    const float dt = static_cast<float>(frameMicros) / 1000000.0f;
    const float angle = current + dt * degreesPerSecond;
    return angle > lastAngle ? 0.0f : angle;
}

void Spinner::update() {
    setRotation(nextAngle(getRotation(), getWindowContext().getLastFrameDuration()));
    requestFrame(); // turning: full-rate frames while visible
    zelk::ui::Widget::update();
}

void Spinner::draw(zelk::ui::Renderer* renderer, float a, float b) {
    if (texture != nullptr) {
        zelk::ui::draw::Rectangle primitive;
        primitive.position = getWorldPosition(a);
        primitive.size = getActualSize();
        primitive.angle = getWorldAngle();
        primitive.origin = getOrigin();
        primitive.color = zelk::ui::Vec4{1, 1, 1, 1};
        primitive.texture = texture;
        renderer->submit(primitive);
    }
    zelk::ui::Widget::draw(renderer, a, b);
}
