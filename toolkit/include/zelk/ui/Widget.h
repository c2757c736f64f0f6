// The base of every retained widget.
//
// Ownership: a widget constructed with a parent belongs to that parent, which destroys it (children
// last-created first) when it is destroyed itself. Build children with addChild<T>(args...) (the
// parent's layout arranges them) or addHiddenChild<T>(args...) (the layout leaves their place alone);
// both construct T(this, args...) and return a raw pointer that stays valid as long as the child.
//
// Geometry: position is the top-left corner in the parent's content coordinates; the actual size is
// decided by the parent's layout (a Stack arranges its laid-out children) and is otherwise the
// preferred size clamped to [minimum, maximum]. The origin is the rotation pivot relative to the
// top-left corner; rotation (degrees, clockwise on screen) turns only the widget's own drawing, not
// its hit area or its children's positions.
//
// Events: the window hands a mouse event to the root; each widget first asks its on...Capture
// handler (true = consumed here, children don't see it), then offers it to its visible children
// under the pointer, topmost (last added) first, for which the matching dispatch test says yes, and
// finally to its own on... handler. Every handler gets positions in its own local coordinates and
// returns whether it consumed the event. The widget that consumed a button-down also receives the
// moves and the button-up until the button is released, even outside itself, and it gets the
// keyboard focus: key events go to it first, then up through its parents until consumed. Text typed
// (SDL_TEXTINPUT) arrives as onKeyDown with key == 0 and the UTF-8 text in KeyEvent::text.
//
// Per frame (main thread): events, main-thread dispatch queue, tick callbacks, layout, update() on
// every visible widget (parents before children; overrides call the base, which updates children),
// layout again, draw().
#pragma once

#include <zelk/ui/Types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zelk::ui {

class Renderer;
class Window;

// Per-window frame information.
struct WindowContext {
    Window* window = nullptr;
    std::uint64_t lastFrameDurationUs = 0; // duration of the previous frame in microseconds
    std::uint64_t frameIndex = 0;          // frames run so far
    std::uint64_t getLastFrameDuration() const { return lastFrameDurationUs; }
};

struct MouseEvent {
    Vec2 position;       // in the receiving widget's local coordinates
    Vec2 windowPosition; // in window coordinates
    int button = 0;      // SDL button number for button events (1 left, 2 middle, 3 right)
    int clicks = 0;      // 1 single, 2 double click
    Vec2 scroll;         // wheel steps for scroll events (y > 0: away from the user)
};

struct KeyEvent {
    int key = 0;                 // SDL_Keycode; 0 for text input
    int scancode = 0;            // SDL_Scancode
    std::uint16_t modifiers = 0; // SDL_Keymod
    bool repeat = false;
    std::string text; // UTF-8 text of an SDL_TEXTINPUT event (then key == 0)
};

class Widget {
public:
    explicit Widget(Widget* parent);
    Widget(Widget* parent, const Vec2& position, const Vec2& size); // size = preferred size
    Widget(Widget* parent, float x, float y, float width, float height);
    Widget(const Widget&) = delete;
    Widget& operator=(const Widget&) = delete;

    // Builds T(this, args...) as a child that this widget's layout arranges.
    template <class T, class... Args> T* addChild(Args&&... args) {
        T* child = new T(this, std::forward<Args>(args)...);
        child->layoutManaged_ = true;
        return child;
    }
    // Builds T(this, args...) as a child that keeps the position and size it is given.
    template <class T, class... Args> T* addHiddenChild(Args&&... args) {
        T* child = new T(this, std::forward<Args>(args)...);
        child->layoutManaged_ = false;
        return child;
    }
    // Destroys a direct child (and its subtree). Does nothing for a widget that is not a child.
    void removeChild(Widget* child);

    // --- virtual slots, in this order ---
    // Called after the actual size changed (before the children are laid out again).
    virtual void resized();
    virtual bool onMouseEnter(const MouseEvent& event);
    virtual bool onMouseMove(const MouseEvent& event);
    virtual bool onMouseButtonDown(const MouseEvent& event);
    virtual bool onMouseButtonUp(const MouseEvent& event);
    virtual bool onMouseScroll(const MouseEvent& event);
    virtual bool onMouseLeave(const MouseEvent& event);
    virtual bool onKeyUp(const KeyEvent& event);
    virtual bool onKeyDown(const KeyEvent& event);
    // Capture phase: asked before the children; true consumes the event here.
    virtual bool onMouseMoveCapture(const MouseEvent& event);
    virtual bool onMouseScrollCapture(const MouseEvent& event);
    virtual bool onMouseButtonDownCapture(const MouseEvent& event);
    virtual bool onMouseButtonUpCapture(const MouseEvent& event);
    // Whether an event under the pointer is offered to `child` (default: yes).
    virtual bool shouldDispatchMouseMove(const Widget* child, const MouseEvent& event);
    virtual bool shouldDispatchMouseScroll(const Widget* child, const MouseEvent& event);
    virtual bool shouldDispatchMouseButtonDown(const Widget* child, const MouseEvent& event);
    virtual bool shouldDispatchMouseButtonUp(const Widget* child, const MouseEvent& event);
    // Draws the children in order (later ones on top). `alpha` is the interpolation factor handed to
    // getWorldPosition/getWorldAngle (always 1: positions are not interpolated); `deltaSeconds` is the
    // previous frame's duration in seconds.
    virtual void draw(Renderer* renderer, float alpha, float deltaSeconds);
    // Once a frame on the main thread; the base updates the visible children.
    virtual void update();
    // Asks for the next frame at full rate (Application::requestFrame). At rest the loop runs only
    // about 10 frames a second, so a widget that animates calls this in every update() while it moves;
    // once it stops asking (or is hidden, so update() is no longer called) the loop rests again.
    static void requestFrame();
    virtual ~Widget();
    // Whether a point in local coordinates lies in the widget (default: inside [0, size)).
    virtual bool contains(Vec2 localPoint) const;

    // --- sizes and placement ---
    void setPreferredSize(const Vec2& size);
    void setPreferredSize(float width, float height) { setPreferredSize(Vec2{width, height}); }
    Vec2 getPreferredSize() const { return preferredSize_; }
    void setMinSize(const Vec2& size);
    void setMinSize(float width, float height) { setMinSize(Vec2{width, height}); }
    Vec2 getMinSize() const { return minSize_; }
    void setMaxSize(const Vec2& size); // default: (FLT_MAX, FLT_MAX)
    void setMaxSize(float width, float height) { setMaxSize(Vec2{width, height}); }
    Vec2 getMaxSize() const { return maxSize_; }
    void setPosition(const Vec2& position);
    void setPosition(float x, float y) { setPosition(Vec2{x, y}); }
    Vec2 getPosition() const { return position_; }
    void setOrigin(const Vec2& origin) { origin_ = origin; }
    Vec2 getOrigin() const { return origin_; }
    void setRotation(float degrees) { rotation_ = degrees; }
    float getRotation() const { return rotation_; }
    void setVisible(bool visible);
    bool isVisible() const { return visible_; }

    // The size the last layout gave this widget.
    Vec2 getActualSize() const { return actualSize_; }
    // Top-left corner in window coordinates (parents' positions and scroll offsets applied).
    Vec2 getWorldPosition(float alpha = 1.0f) const;
    // Own rotation plus every ancestor's, in degrees.
    float getWorldAngle(float alpha = 1.0f) const;
    // Converts a window-coordinate point to this widget's local coordinates.
    Vec2 toLocal(Vec2 windowPoint) const { return windowPoint - getWorldPosition(); }

    // A weak token that expires when this widget is destroyed (for work queued on other threads).
    std::weak_ptr<void> lifetime() const { return lifetimeToken_; }
    // The window's frame information; a zeroed context while the widget is not in a window.
    const WindowContext& getWindowContext() const;
    Window* getWindow() const;

    Widget* getParent() const { return parent_; }
    std::size_t getChildCount() const { return children_.size(); }
    Widget* getChild(std::size_t index) const { return children_.at(index).get(); }
    bool isLayoutManaged() const { return layoutManaged_; }

    // --- layout hooks (not part of the event or draw protocol) ---
    // Sets the actual size; calls resized() when it changed.
    void setActualSize(const Vec2& size);
    // Lays out the children, then their children. Called by the window every frame.
    void layout();

protected:
    // Arranges the direct children (sets their actual sizes and, for managed ones, positions).
    // The base gives every child its preferred size clamped to [min, max] and leaves positions alone.
    virtual void layoutChildren();
    // Added to every child's position (a ScrollView's scroll offset).
    Vec2 contentOffset_;

private:
    friend class Window;
    void adopt(Widget* child);
    void detach(Widget* child);

    Widget* parent_ = nullptr;
    Window* window_ = nullptr; // set on a window's root only
    std::vector<std::unique_ptr<Widget>> children_;
    std::shared_ptr<int> lifetimeToken_ = std::make_shared<int>(0);
    Vec2 position_;
    Vec2 preferredSize_;
    Vec2 minSize_;
    Vec2 maxSize_;
    Vec2 actualSize_;
    Vec2 origin_;
    float rotation_ = 0.0f;
    bool visible_ = true;
    bool layoutManaged_ = true;
};

} // namespace zelk::ui
