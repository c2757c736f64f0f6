#include <zelk/ui/Renderer.h>
#include <zelk/ui/ScrollView.h>

#include <algorithm>

namespace zelk::ui {

Vec2 ScrollView::getContentSize() const {
    Vec2 extent;
    for (std::size_t i = 0; i < getChildCount(); ++i) {
        const Widget* child = getChild(i);
        if (!child->isVisible()) {
            continue;
        }
        const Vec2 end = child->getPosition() + child->getActualSize();
        extent.x = std::max(extent.x, end.x);
        extent.y = std::max(extent.y, end.y);
    }
    return extent;
}

void ScrollView::clampScroll() {
    const Vec2 content = getContentSize();
    const Vec2 view = getActualSize();
    scroll_.x = std::clamp(scroll_.x, 0.0f, std::max(0.0f, content.x - view.x));
    scroll_.y = std::clamp(scroll_.y, 0.0f, std::max(0.0f, content.y - view.y));
    contentOffset_ = -scroll_;
}

void ScrollView::setScrollOffset(const Vec2& offset) {
    scroll_ = offset;
    clampScroll();
}

void ScrollView::layoutChildren() {
    Widget::layoutChildren();
    clampScroll();
}

void ScrollView::update() {
    Widget::update();
    // Children may have changed size (e.g. a panel sized to its content).
    clampScroll();
}

bool ScrollView::onMouseScrollCapture(const MouseEvent& event) {
    const Vec2 content = getContentSize();
    const Vec2 view = getActualSize();
    const bool canY = content.y > view.y && event.scroll.y != 0.0f;
    const bool canX = content.x > view.x && event.scroll.x != 0.0f;
    if (!canX && !canY) {
        return Widget::onMouseScrollCapture(event);
    }
    // Wheel away from the user (y > 0) moves the content down, i.e. shows what is above.
    if (canY) {
        scroll_.y -= event.scroll.y * step_;
    }
    if (canX) {
        scroll_.x += event.scroll.x * step_;
    }
    clampScroll();
    return true;
}

void ScrollView::draw(Renderer* renderer, float alpha, float deltaSeconds) {
    renderer->pushClip(getWorldPosition(alpha), getActualSize());
    Widget::draw(renderer, alpha, deltaSeconds);
    renderer->popClip();
}

} // namespace zelk::ui
