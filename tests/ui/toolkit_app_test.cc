// Application, window and widget behaviour driven frame by frame with synthetic SDL input.
#include "toolkit_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

using namespace tk;
using Log = std::vector<std::string>;

namespace {

// Records what reaches it as "name:what@x,y"; consumes what it is told to.
class Probe : public Widget {
public:
    Probe(Widget* parent, const Vec2& pos, const Vec2& size, Log* log, std::string name)
        : Widget(parent, pos, size), log_(log), name_(std::move(name)) {}
    bool consumeDown = true;
    bool captureDown = false;
    bool offerChildren = true;
    bool logHover = false;

    bool onMouseButtonDown(const MouseEvent& e) override { return record("down", e, consumeDown); }
    bool onMouseButtonUp(const MouseEvent& e) override { return record("up", e, true); }
    bool onMouseMove(const MouseEvent& e) override { return record("move", e, false); }
    bool onMouseEnter(const MouseEvent& e) override { return logHover && record("enter", e, false); }
    bool onMouseLeave(const MouseEvent& e) override { return logHover && record("leave", e, false); }
    bool onMouseButtonDownCapture(const MouseEvent& e) override {
        return captureDown && record("capture", e, true);
    }
    bool shouldDispatchMouseButtonDown(const Widget*, const MouseEvent&) override { return offerChildren; }
    bool onKeyDown(const KeyEvent& e) override {
        log_->push_back(name_ + ":key:" + (e.text.empty() ? std::to_string(e.key) : e.text));
        return false; // let it bubble to the parent
    }

private:
    bool record(const char* what, const MouseEvent& e, bool result) {
        log_->push_back(name_ + ":" + what + "@" + std::to_string(static_cast<int>(e.position.x)) + "," +
                        std::to_string(static_cast<int>(e.position.y)));
        return result;
    }
    Log* log_;
    std::string name_;
};

class ThrowingWidget : public Widget {
public:
    explicit ThrowingWidget(Widget* parent) : Widget(parent) {
        throw std::runtime_error("construction failed");
    }
};

bool contains(const Log& log, const std::string& entry) {
    return std::find(log.begin(), log.end(), entry) != log.end();
}

} // namespace

TEST(Application, TickCallbacksRunOncePerFrameUntilUnregistered) {
    TestApp t(0, 0);
    int a = 0, b = 0, self = 0;
    int keyA = 0, keyB = 0, keySelf = 0;
    Application::registerTickCallback(&keyA, [&] { ++a; });
    Application::registerTickCallback(&keyB, [&] { ++b; });
    t.frames(3);
    EXPECT_EQ(a, 3);
    EXPECT_EQ(b, 3);

    Application::unregisterTickCallback(&keyA);
    t.frames(2);
    EXPECT_EQ(a, 3);
    EXPECT_EQ(b, 5);

    // Registering a key again replaces its function rather than adding a second one.
    Application::registerTickCallback(&keyB, [&] { b += 100; });
    t.frames(1);
    EXPECT_EQ(b, 105);

    // A callback that removes itself and the one after it: neither runs again, not even this frame.
    Application::registerTickCallback(&keySelf, [&] {
        ++self;
        Application::unregisterTickCallback(&keySelf);
        Application::unregisterTickCallback(&keyA);
    });
    Application::registerTickCallback(&keyA, [&] { ++a; });
    t.frames(3);
    EXPECT_EQ(self, 1);
    EXPECT_EQ(a, 3);
    EXPECT_EQ(b, 405);
}

TEST(Application, RenderContextListsSdlDriversAndRejectsUnknownDevices) {
    auto context = RenderContext::create(RenderBackend::Default, "ctx");
    const auto devices = context->getDevices();
    ASSERT_EQ(static_cast<int>(devices.size()), SDL_GetNumRenderDrivers());
    EXPECT_TRUE(
        std::any_of(devices.begin(), devices.end(), [](const auto& d) { return d.name == "software"; }));
    EXPECT_THROW(context->selectDevice(static_cast<int>(devices.size())), RenderException);
    context->setup();
    Application app(std::move(context), "ctx");
    EXPECT_THROW(Application(RenderContext::create(0, "second"), "second"), RenderException);
    EXPECT_TRUE(Application::createWindow("w", 64, 48, 0)->isSoftware()); // SDL_RENDER_DRIVER=software wins
}

TEST(Widget, LifetimeExpiresWithTheWidgetAndItsSubtree) {
    Widget root(nullptr);
    auto* parent = root.addChild<Widget>();
    auto* child = parent->addHiddenChild<Widget>();
    auto* other = root.addChild<Widget>();
    std::weak_ptr<void> parentToken = parent->lifetime();
    std::weak_ptr<void> childToken = child->lifetime();
    std::weak_ptr<void> otherToken = other->lifetime();
    EXPECT_FALSE(childToken.expired());

    root.removeChild(parent);
    EXPECT_TRUE(parentToken.expired());
    EXPECT_TRUE(childToken.expired());
    EXPECT_FALSE(otherToken.expired());

    // A child whose constructor throws leaves nothing behind in its parent.
    EXPECT_THROW(root.addChild<ThrowingWidget>(), std::runtime_error);
    ASSERT_EQ(root.getChildCount(), 1u);
    EXPECT_EQ(root.getChild(0), other);
}

TEST(Window, EventsGoToTheTopmostChildInLocalCoordinates) {
    TestApp t;
    Log log;
    auto* parent = t.root()->addHiddenChild<Probe>(Vec2{100, 50}, Vec2{200, 200}, &log, "parent");
    auto* below = parent->addHiddenChild<Probe>(Vec2{10, 10}, Vec2{100, 100}, &log, "below");
    auto* above = parent->addHiddenChild<Probe>(Vec2{50, 50}, Vec2{100, 100}, &log, "above");
    auto clickAt = [&](int x, int y) {
        log.clear();
        pushButton(t.window, x, y, true);
        pushButton(t.window, x, y, false);
        t.frames(1);
    };

    // Overlap: the later (topmost) child gets it first, at its own local position.
    clickAt(160, 120);
    EXPECT_EQ(log, (Log{"above:down@10,20", "above:up@10,20"}));

    // Not consumed by the topmost: offered to the one beneath, then the parent; the release goes to
    // the topmost first too, and to the parent, which took the press.
    above->consumeDown = false;
    below->consumeDown = false;
    clickAt(160, 120);
    EXPECT_EQ(log, (Log{"above:down@10,20", "below:down@50,60", "parent:down@60,70", "above:up@10,20",
                        "parent:up@60,70"}));

    // The parent's capture handler or its dispatch test keeps the children out.
    parent->captureDown = true;
    clickAt(160, 120);
    EXPECT_EQ(log.front(), "parent:capture@60,70");
    EXPECT_FALSE(contains(log, "above:down@10,20"));
    parent->captureDown = false;
    parent->offerChildren = false;
    clickAt(160, 120);
    EXPECT_FALSE(contains(log, "above:down@10,20"));
    EXPECT_TRUE(contains(log, "parent:down@60,70"));

    clickAt(5, 5); // outside every probe: nothing
    EXPECT_TRUE(log.empty());
}

TEST(Window, PressedWidgetFollowsThePointerAndKeepsKeyboardFocus) {
    TestApp t;
    Log log;
    auto* parent = t.root()->addHiddenChild<Probe>(Vec2{0, 0}, Vec2{400, 300}, &log, "parent");
    parent->consumeDown = false;
    parent->logHover = true;
    auto* small = parent->addHiddenChild<Probe>(Vec2{10, 10}, Vec2{20, 20}, &log, "small");
    small->logHover = true;
    pushMotion(t.window, 15, 15);
    t.frames(1);
    EXPECT_TRUE(contains(log, "parent:enter@15,15"));
    EXPECT_TRUE(contains(log, "small:enter@5,5"));

    log.clear();
    pushButton(t.window, 15, 15, true);
    pushMotion(t.window, 200, 100); // leaves the small probe while pressed
    pushButton(t.window, 200, 100, false);
    t.frames(1);
    for (const char* e : {"small:down@5,5", "small:leave@190,90", "small:move@190,90", "small:up@190,90"}) {
        EXPECT_TRUE(contains(log, e)) << e;
    }

    // Keys go to the widget that took the last press, then bubble to its parent.
    log.clear();
    pushKey(t.window, SDLK_a, SDL_SCANCODE_A, true);
    pushText(t.window, "x");
    t.frames(1);
    const std::string a = std::to_string(SDLK_a);
    EXPECT_EQ(log, (Log{"small:key:" + a, "parent:key:" + a, "small:key:x", "parent:key:x"}));
}

TEST(Button, HandlerMayDestroyItsOwnButtonAndSiblings) {
    TestApp t;
    auto* panel = t.root()->addHiddenChild<Widget>(0.0f, 0.0f, 400.0f, 300.0f);
    auto* sibling = panel->addHiddenChild<Button>(100.0f, 10.0f, 50.0f, 20.0f);
    auto* button = panel->addHiddenChild<Button>(10.0f, 10.0f, 50.0f, 20.0f);
    std::weak_ptr<void> buttonAlive = button->lifetime();
    int clicks = 0;
    button->setOnClick([&] {
        ++clicks;
        panel->removeChild(sibling);
        panel->removeChild(button);
    });
    pushClick(t.window, 20, 20);
    t.frames(1);
    EXPECT_TRUE(buttonAlive.expired());
    EXPECT_EQ(panel->getChildCount(), 0u);
    // Later input over where it was reaches nothing stale.
    pushClick(t.window, 20, 20);
    pushMotion(t.window, 120, 20);
    t.frames(1);
    EXPECT_EQ(clicks, 1);
}

TEST(ScrollView, WheelScrollsContentWithinItsRangeAndClipsIt) {
    TestApp t;
    t.window->setClearColor(0xFF000000);
    auto* view = t.root()->addHiddenChild<ScrollView>(Vec2{0, 0}, Vec2{100, 100});
    view->addChild<Rectangle>(Vec2{0, 0}, Vec2{100, 300})->setColor(0xFF0000FF); // red
    auto* marker = view->addChild<Rectangle>(Vec2{0, 120}, Vec2{100, 10});
    marker->setColor(0xFF00FF00); // green band 120..130 in content coordinates
    pushMotion(t.window, 50, 50);
    t.frames(1);

    pushWheel(t.window, -1); // towards the user: content moves up by one step
    t.frames(1);
    EXPECT_FLOAT_EQ(view->getScrollOffset().y, 40);
    EXPECT_FLOAT_EQ(marker->getWorldPosition().y, 80);
    Image frame = t.window->capture();
    EXPECT_EQ(frame.at(50, 85), Color(0xFF00FF00));
    EXPECT_EQ(frame.at(50, 150), Color(0xFF000000)); // content below the view is clipped

    // {wheel steps, offset}: held at 300 - 100, back by three steps; outside the view nothing moves.
    const float cases[][2] = {{-10, 200}, {3, 80}};
    for (const auto& c : cases) {
        pushWheel(t.window, c[0]);
        t.frames(1);
        EXPECT_FLOAT_EQ(view->getScrollOffset().y, c[1]);
    }
    pushMotion(t.window, 300, 200);
    pushWheel(t.window, 5);
    t.frames(1);
    EXPECT_FLOAT_EQ(view->getScrollOffset().y, 80);
}

TEST(Renderer, RectanglesTexturesAndRotation) {
    TestApp t(200, 100);
    t.window->setClearColor(0xFF000000);
    Texture white = solidTexture(4, 4, 255, 255, 255);
    t.root()->addHiddenChild<Rectangle>(Vec2{10, 10}, Vec2{20, 20})->setColor(Color(0, 0, 255));
    // A textured rectangle shows its texture's own colours; the colour gives only the opacity.
    auto* textured = t.root()->addHiddenChild<Rectangle>(Vec2{40, 10}, Vec2{20, 20});
    textured->setTexture(&white);
    textured->setColor(Color(0, 0, 0, 255));
    auto* faded = t.root()->addHiddenChild<Rectangle>(Vec2{70, 10}, Vec2{20, 20});
    faded->setTexture(&white);
    faded->setColor(Color(0, 255, 0, 51));
    // 60 x 10 bar turned 90 degrees about its centre (130, 50): it stands 10 wide, 60 high.
    auto* turned = t.root()->addHiddenChild<Rectangle>(Vec2{100, 45}, Vec2{60, 10});
    turned->setColor(Color(255, 0, 0));
    turned->setOrigin({30, 5});
    turned->setRotation(90);
    t.frames(1);

    Image frame = t.window->capture();
    EXPECT_EQ(frame.at(20, 20), Color(0, 0, 255));
    EXPECT_EQ(frame.at(50, 20), Color(255, 255, 255));
    EXPECT_EQ(frame.at(80, 20), Color(51, 51, 51));
    EXPECT_EQ(frame.at(130, 30), Color(255, 0, 0));    // above the centre: covered once turned
    EXPECT_EQ(frame.at(105, 50), Color(0, 0, 0, 255)); // the unturned bar's left end: empty
}
