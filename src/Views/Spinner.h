// The busy indicator: the "icons/loading.png" texture turning about the widget's origin at 180 degrees
// per second. While it is visible (updated) it keeps the frame loop at full rate.
#pragma once

#include <cstdint>

#include <zelk/ui/Texture.h>
#include <zelk/ui/Widget.h>

class Spinner : public zelk::ui::Widget {
public:
    explicit Spinner(zelk::ui::Widget* parent);
    // Placed at `position` with preferred size `size`, turning about its centre.
    Spinner(zelk::ui::Widget* parent, const zelk::ui::Vec2& position, const zelk::ui::Vec2& size);
    ~Spinner() override;

    void update() override;
    void draw(zelk::ui::Renderer* renderer, float a, float b) override;

    // The angle after a frame of `frameMicros` microseconds: the current angle plus 180 degrees per
    // second, reset to 0 (not wrapped) once it passes 359.
    static float nextAngle(float current, uint64_t frameMicros);

private:
    const zelk::ui::Texture* texture = nullptr; // owned by AppTextures; null when the asset is missing
};
