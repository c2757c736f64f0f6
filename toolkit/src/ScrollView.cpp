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

bool ScrollView::hasScrollbar() const {
    return getContentSize().y > getActualSize().y + 0.5f && getActualSize().y > 0.0f;
}

Vec4 ScrollView::getThumbRect() const {
    if (!hasScrollbar()) {
        return Vec4{0, 0, 0, 0};
    }
    const Vec2 view = getActualSize();
    const float content = getContentSize().y;
    const float height = std::max(24.0f, view.y * view.y / content);
    const float range = content - view.y;
    const float top = range > 0.0f ? (view.y - height) * scroll_.y / range : 0.0f;
    return Vec4{view.x - kScrollbarWidth, top, kScrollbarWidth, height};
}

void ScrollView::revealBand(float top, float bottom) {
    const float view = getActualSize().y;
    if (top < scroll_.y) {
        scroll_.y = top;
    } else if (bottom > scroll_.y + view) {
        scroll_.y = bottom - view;
    }
    clampScroll();
}

bool ScrollView::onMouseButtonDownCapture(const MouseEvent& event) {
    const Vec2 view = getActualSize();
    if (event.button != 1 || !hasScrollbar() || event.position.x < view.x - kScrollbarWidth) {
        return Widget::onMouseButtonDownCapture(event);
    }
    const Vec4 thumb = getThumbRect();
    if (event.position.y >= thumb.y && event.position.y <= thumb.y + thumb.w) {
        dragging_ = true;
        dragGrab_ = event.position.y - thumb.y;
    } else {
        scroll_.y += event.position.y < thumb.y ? -view.y : view.y; // a page per press on the track
        clampScroll();
    }
    requestFrame();
    return true;
}

bool ScrollView::onMouseMove(const MouseEvent& event) {
    if (!dragging_) {
        return Widget::onMouseMove(event);
    }
    const Vec2 view = getActualSize();
    const Vec4 thumb = getThumbRect();
    const float travel = view.y - thumb.w;
    const float range = getContentSize().y - view.y;
    if (travel > 0.0f && range > 0.0f) {
        scroll_.y = (event.position.y - dragGrab_) / travel * range;
        clampScroll();
    }
    requestFrame();
    return true;
}

bool ScrollView::onMouseButtonUp(const MouseEvent& event) {
    if (!dragging_) {
        return Widget::onMouseButtonUp(event);
    }
    dragging_ = false;
    return true;
}

void ScrollView::draw(Renderer* renderer, float alpha, float deltaSeconds) {
    const Vec2 origin = getWorldPosition(alpha);
    renderer->pushClip(origin, getActualSize());
    Widget::draw(renderer, alpha, deltaSeconds);
    const Vec4 thumb = getThumbRect();
    if (thumb.w > 0.0f) {
        draw::Rectangle track;
        track.position = Vec2{origin.x + thumb.x, origin.y};
        track.size = Vec2{thumb.z, getActualSize().y};
        track.color = Vec4{0.0f, 0.0f, 0.0f, 0.25f};
        renderer->submit(track);
        draw::Rectangle bar;
        bar.position = Vec2{origin.x + thumb.x + 2.0f, origin.y + thumb.y};
        bar.size = Vec2{thumb.z - 4.0f, thumb.w};
        bar.color = dragging_ ? Vec4{1.0f, 1.0f, 1.0f, 0.55f} : Vec4{1.0f, 1.0f, 1.0f, 0.35f};
        renderer->submit(bar);
    }
    renderer->popClip();
}

} // namespace zelk::ui
