// A widget whose children (its content) scroll with the mouse wheel. The content size is the
// bounding box of the visible children; the offset stays within [0, content - view]. Drawing of the
// content is clipped to the view. The wheel is taken in the capture phase while there is something
// to scroll, so the content (e.g. an ImGuiPanel) does not see it then.
//
// While the content is taller than the view a vertical scrollbar shows at the right edge, over the
// content's last kScrollbarWidth pixels (views leave that strip free): dragging its thumb scrolls in
// proportion, a press on the track above or below the thumb scrolls by one view height.
#pragma once

#include <zelk/ui/Widget.h>

namespace zelk::ui {

class ScrollView : public Widget {
public:
    using Widget::Widget;

    Vec2 getScrollOffset() const { return scroll_; } // (0, 0) at the top-left; positive scrolls down/right
    void setScrollOffset(const Vec2& offset);        // clamped to the scrollable range
    Vec2 getContentSize() const;
    void setScrollStep(float pixels) { step_ = pixels; } // per wheel step; default 40
    float getScrollStep() const { return step_; }

    static constexpr float kScrollbarWidth = 10.0f;
    // Whether the scrollbar shows (content taller than the view), and its thumb in local coordinates
    // (x, y, width, height); zero size while hidden.
    bool hasScrollbar() const;
    Vec4 getThumbRect() const;
    // Scrolls the least that brings the band [top, bottom] of the content fully into view.
    void revealBand(float top, float bottom);

    bool onMouseScrollCapture(const MouseEvent& event) override;
    bool onMouseButtonDownCapture(const MouseEvent& event) override;
    bool onMouseMove(const MouseEvent& event) override;
    bool onMouseButtonUp(const MouseEvent& event) override;
    void draw(Renderer* renderer, float alpha, float deltaSeconds) override;
    void update() override;

protected:
    void layoutChildren() override;

private:
    void clampScroll();
    Vec2 scroll_;
    float step_ = 40.0f;
    bool dragging_ = false;
    float dragGrab_ = 0.0f; // where on the thumb the drag took hold
};

} // namespace zelk::ui
