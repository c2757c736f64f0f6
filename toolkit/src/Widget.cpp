#include <zelk/ui/Application.h>
#include <zelk/ui/Widget.h>
#include <zelk/ui/Window.h>

#include <algorithm>
#include <cfloat>

namespace zelk::ui {

namespace {
Vec2 clampSize(Vec2 size, Vec2 min, Vec2 max) {
    return {std::clamp(size.x, min.x, std::max(min.x, max.x)),
            std::clamp(size.y, min.y, std::max(min.y, max.y))};
}
} // namespace

Widget::Widget(Widget* parent) : maxSize_(FLT_MAX, FLT_MAX) {
    if (parent != nullptr) {
        parent->adopt(this);
    }
}

Widget::Widget(Widget* parent, const Vec2& position, const Vec2& size) : Widget(parent) {
    position_ = position;
    preferredSize_ = size;
    actualSize_ = clampSize(size, minSize_, maxSize_);
}

Widget::Widget(Widget* parent, float x, float y, float width, float height)
    : Widget(parent, Vec2{x, y}, Vec2{width, height}) {}

Widget::~Widget() {
    // Children go first, last-created first; they must not try to detach from us meanwhile.
    while (!children_.empty()) {
        std::unique_ptr<Widget> child = std::move(children_.back());
        children_.pop_back();
        child->parent_ = nullptr;
        child.reset();
    }
    if (parent_ != nullptr) {
        parent_->detach(this);
    }
}

void Widget::adopt(Widget* child) {
    child->parent_ = this;
    children_.emplace_back(child);
}

void Widget::detach(Widget* child) {
    // Called from the child's destructor (e.g. its constructor threw, or it is being removed):
    // give up ownership without deleting.
    for (auto it = children_.begin(); it != children_.end(); ++it) {
        if (it->get() == child) {
            (void)it->release();
            children_.erase(it);
            return;
        }
    }
}

void Widget::removeChild(Widget* child) {
    for (auto it = children_.begin(); it != children_.end(); ++it) {
        if (it->get() == child) {
            std::unique_ptr<Widget> owned = std::move(*it);
            children_.erase(it);
            owned->parent_ = nullptr;
            return; // destroyed here
        }
    }
}

void Widget::resized() {}
bool Widget::onMouseEnter(const MouseEvent&) {
    return false;
}
bool Widget::onMouseMove(const MouseEvent&) {
    return false;
}
bool Widget::onMouseButtonDown(const MouseEvent&) {
    return false;
}
bool Widget::onMouseButtonUp(const MouseEvent&) {
    return false;
}
bool Widget::onMouseScroll(const MouseEvent&) {
    return false;
}
bool Widget::onMouseLeave(const MouseEvent&) {
    return false;
}
bool Widget::onKeyUp(const KeyEvent&) {
    return false;
}
bool Widget::onKeyDown(const KeyEvent&) {
    return false;
}
bool Widget::onMouseMoveCapture(const MouseEvent&) {
    return false;
}
bool Widget::onMouseScrollCapture(const MouseEvent&) {
    return false;
}
bool Widget::onMouseButtonDownCapture(const MouseEvent&) {
    return false;
}
bool Widget::onMouseButtonUpCapture(const MouseEvent&) {
    return false;
}
bool Widget::shouldDispatchMouseMove(const Widget*, const MouseEvent&) {
    return true;
}
bool Widget::shouldDispatchMouseScroll(const Widget*, const MouseEvent&) {
    return true;
}
bool Widget::shouldDispatchMouseButtonDown(const Widget*, const MouseEvent&) {
    return true;
}
bool Widget::shouldDispatchMouseButtonUp(const Widget*, const MouseEvent&) {
    return true;
}

void Widget::draw(Renderer* renderer, float alpha, float deltaSeconds) {
    for (std::size_t i = 0; i < children_.size(); ++i) {
        Widget* child = children_[i].get();
        if (child->visible_) {
            child->draw(renderer, alpha, deltaSeconds);
        }
    }
}

void Widget::update() {
    // By index: an update may add children (appended, updated next frame's turn too).
    const std::size_t count = children_.size();
    for (std::size_t i = 0; i < count && i < children_.size(); ++i) {
        Widget* child = children_[i].get();
        if (child->visible_) {
            child->update();
        }
    }
}

bool Widget::contains(Vec2 p) const {
    return p.x >= 0.0f && p.y >= 0.0f && p.x < actualSize_.x && p.y < actualSize_.y;
}

void Widget::setPreferredSize(const Vec2& size) {
    preferredSize_ = size;
}
void Widget::setMinSize(const Vec2& size) {
    minSize_ = size;
}
void Widget::setMaxSize(const Vec2& size) {
    maxSize_ = size;
}
void Widget::setPosition(const Vec2& position) {
    position_ = position;
}
void Widget::setVisible(bool visible) {
    visible_ = visible;
}

Vec2 Widget::getWorldPosition(float alpha) const {
    if (parent_ == nullptr) {
        return position_;
    }
    return parent_->getWorldPosition(alpha) + parent_->contentOffset_ + position_;
}

float Widget::getWorldAngle(float alpha) const {
    return parent_ == nullptr ? rotation_ : parent_->getWorldAngle(alpha) + rotation_;
}

Window* Widget::getWindow() const {
    const Widget* w = this;
    while (w->parent_ != nullptr) {
        w = w->parent_;
    }
    return w->window_;
}

const WindowContext& Widget::getWindowContext() const {
    static const WindowContext detached{};
    Window* window = getWindow();
    return window != nullptr ? window->getContext() : detached;
}

void Widget::setActualSize(const Vec2& size) {
    if (size == actualSize_) {
        return;
    }
    actualSize_ = size;
    resized();
}

void Widget::layoutChildren() {
    for (auto& child : children_) {
        child->setActualSize(clampSize(child->preferredSize_, child->minSize_, child->maxSize_));
    }
}

void Widget::layout() {
    layoutChildren();
    for (std::size_t i = 0; i < children_.size(); ++i) {
        children_[i]->layout();
    }
}

void Widget::requestFrame() {
    Application::requestFrame();
}

} // namespace zelk::ui
