// Application, window and widget behaviour driven frame by frame with synthetic SDL input.
#include "toolkit_support.h"

#include <SDL_image.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

using namespace tk;

namespace {

// Records what reaches it; consumes what it is told to.
class Probe : public Widget {
public:
    Probe(Widget* parent, const Vec2& pos, const Vec2& size, std::vector<std::string>* log, std::string name)
        : Widget(parent, pos, size), log_(log), name_(std::move(name)) {}
    bool consumeDown = true;
    bool captureDown = false;
    bool offerChildren = true;
    bool logHover = false;
    Vec2 lastPos;

    bool onMouseButtonDown(const MouseEvent& e) override { return record("down", e, consumeDown); }
    bool onMouseButtonUp(const MouseEvent& e) override { return record("up", e, true); }
    bool onMouseMove(const MouseEvent& e) override { return record("move", e, false); }
    bool onMouseEnter(const MouseEvent& e) override { return logHover && record("enter", e, false); }
    bool onMouseLeave(const MouseEvent& e) override { return logHover && record("leave", e, false); }
    bool onMouseButtonDownCapture(const MouseEvent& e) override {
        return captureDown ? record("capture", e, true) : false;
    }
    bool shouldDispatchMouseButtonDown(const Widget*, const MouseEvent&) override { return offerChildren; }
    bool onKeyDown(const KeyEvent& e) override {
        log_->push_back(name_ + ":key:" + (e.text.empty() ? std::to_string(e.key) : e.text));
        return false; // let it bubble to the parent
    }
    void update() override {
        frameDurations.push_back(getWindowContext().lastFrameDurationUs);
        Widget::update();
    }
    std::vector<std::uint64_t> frameDurations;

private:
    bool record(const char* what, const MouseEvent& e, bool result) {
        lastPos = e.position;
        log_->push_back(name_ + ":" + what + "@" + std::to_string(static_cast<int>(e.position.x)) + "," +
                        std::to_string(static_cast<int>(e.position.y)));
        return result;
    }
    std::vector<std::string>* log_;
    std::string name_;
};

class ThrowingWidget : public Widget {
public:
    explicit ThrowingWidget(Widget* parent) : Widget(parent) {
        throw std::runtime_error("construction failed");
    }
};

bool contains(const std::vector<std::string>& log, const std::string& entry) {
    return std::find(log.begin(), log.end(), entry) != log.end();
}

} // namespace

TEST(Application, TickCallbacksRunOncePerFrameUntilUnregistered) {
    TestApp t(0, 0);
    int a = 0;
    int b = 0;
    int self = 0;
    int keyA = 0;
    int keyB = 0;
    int keySelf = 0;
    Application::registerTickCallback(&keyA, [&] { ++a; });
    Application::registerTickCallback(&keyB, [&] { ++b; });
    t.frames(3);
    EXPECT_EQ(a, 3);
    EXPECT_EQ(b, 3);

    Application::unregisterTickCallback(&keyA);
    Application::unregisterTickCallback(&keyA); // twice: harmless
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
    });
    Application::registerTickCallback(&keyA, [&] { ++a; });
    Application::registerTickCallback(&keySelf, [&] {
        ++self;
        Application::unregisterTickCallback(&keySelf);
        Application::unregisterTickCallback(&keyA);
    });
    t.frames(3);
    EXPECT_EQ(self, 1);
    EXPECT_EQ(a, 3);
    EXPECT_EQ(b, 405);
}

TEST(Application, OneApplicationAtATimeAndStaticCallsWithoutOne) {
    {
        TestApp t(0, 0);
        EXPECT_THROW(Application(RenderContext::create(0, "second"), "second"), RenderException);
        EXPECT_EQ(Application::get(), t.app.get());
    }
    EXPECT_EQ(Application::get(), nullptr);
    EXPECT_THROW(Application::createWindow("x", 10, 10, 0), RenderException);
    Application::unregisterTickCallback(this); // no application: nothing happens
    Application::dispatchToMainThread([] { FAIL() << "must not run"; });
    TestApp again(0, 0);
    again.frames(1); // the function queued without an application was discarded
}

TEST(Application, RenderContextListsSdlDriversAndRejectsUnknownDevices) {
    auto context = RenderContext::create(RenderBackend::Default, "ctx");
    const auto devices = context->getDevices();
    ASSERT_EQ(static_cast<int>(devices.size()), SDL_GetNumRenderDrivers());
    bool hasSoftware = false;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(devices[i].id, i);
        hasSoftware = hasSoftware || devices[i].name == "software";
    }
    EXPECT_TRUE(hasSoftware);
    EXPECT_NO_THROW(context->selectDevice(0));
    try {
        context->selectDevice(static_cast<int>(devices.size()));
        FAIL() << "selectDevice past the list must throw";
    } catch (const RenderException& e) {
        EXPECT_EQ(e.getCode(), RenderException::InvalidDevice);
    }
    EXPECT_THROW(RenderContext::create(7, "bad"), RenderException);
    context->setup();
    Application app(std::move(context), "ctx");
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
    EXPECT_EQ(root.getChildCount(), 1u);

    // A child whose constructor throws leaves nothing behind in its parent.
    EXPECT_THROW(root.addChild<ThrowingWidget>(), std::runtime_error);
    EXPECT_EQ(root.getChildCount(), 1u);
    EXPECT_EQ(root.getChild(0), other);
}

TEST(Window, MinimumSizeResizeAndFrameDuration) {
    TestApp t(1200, 800);
    t.window->setMinSize(1200, 400);
    EXPECT_EQ(t.window->getWidth(), 1200);
    t.window->setSize(1600, 900);
    t.frames(1);
    EXPECT_EQ(t.root()->getActualSize(), (Vec2{1600, 900}));
    t.window->setSize(800, 300);
    EXPECT_EQ(t.window->getWidth(), 1200);
    EXPECT_EQ(t.window->getHeight(), 400);

    std::vector<std::string> log;
    auto* probe = t.root()->addChild<Probe>(Vec2{0, 0}, Vec2{10, 10}, &log, "p");
    t.app->runFrame(0);
    t.app->runFrame(12345);
    ASSERT_EQ(probe->frameDurations.size(), 2u);
    EXPECT_EQ(probe->frameDurations[0], 0u);
    EXPECT_EQ(probe->frameDurations[1], 12345u);
    probe->setVisible(false);
    t.frames(1);
    EXPECT_EQ(probe->frameDurations.size(), 2u); // invisible widgets are not updated
}

TEST(Window, EventsGoToTheTopmostChildInLocalCoordinates) {
    TestApp t;
    std::vector<std::string> log;
    auto* parent = t.root()->addHiddenChild<Probe>(Vec2{100, 50}, Vec2{200, 200}, &log, "parent");
    auto* below = parent->addHiddenChild<Probe>(Vec2{10, 10}, Vec2{100, 100}, &log, "below");
    auto* above = parent->addHiddenChild<Probe>(Vec2{50, 50}, Vec2{100, 100}, &log, "above");
    t.frames(1);

    // Overlap: the later (topmost) child gets it first, at its own local position.
    pushButton(t.window, 100 + 60, 50 + 70, true);
    pushButton(t.window, 100 + 60, 50 + 70, false);
    t.frames(1);
    EXPECT_EQ(log, (std::vector<std::string>{"above:down@10,20", "above:up@10,20"}));

    // Not consumed by the topmost: offered to the one beneath, then the parent.
    log.clear();
    above->consumeDown = false;
    below->consumeDown = false;
    pushButton(t.window, 100 + 60, 50 + 70, true);
    pushButton(t.window, 100 + 60, 50 + 70, false);
    t.frames(1);
    // The release is offered topmost first too, and the parent, which took the press, sees it as well.
    EXPECT_EQ(log, (std::vector<std::string>{"above:down@10,20", "below:down@50,60", "parent:down@60,70",
                                             "above:up@10,20", "parent:up@60,70"}));

    // The parent's capture handler or dispatch test keeps the children out.
    log.clear();
    parent->captureDown = true;
    pushButton(t.window, 160, 120, true);
    t.frames(1);
    EXPECT_EQ(log, (std::vector<std::string>{"parent:capture@60,70"}));
    pushButton(t.window, 160, 120, false);
    t.frames(1);
    log.clear();
    parent->captureDown = false;
    parent->offerChildren = false;
    parent->consumeDown = true;
    pushButton(t.window, 160, 120, true);
    pushButton(t.window, 160, 120, false);
    t.frames(1);
    EXPECT_FALSE(contains(log, "above:down@10,20"));
    EXPECT_TRUE(contains(log, "parent:down@60,70"));

    // Outside every probe: nothing.
    log.clear();
    pushButton(t.window, 5, 5, true);
    pushButton(t.window, 5, 5, false);
    t.frames(1);
    EXPECT_TRUE(log.empty());
}

TEST(Window, PressedWidgetFollowsThePointerAndKeepsKeyboardFocus) {
    TestApp t;
    std::vector<std::string> log;
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
    EXPECT_TRUE(contains(log, "small:down@5,5"));
    EXPECT_TRUE(contains(log, "small:leave@190,90"));
    EXPECT_TRUE(contains(log, "small:move@190,90"));
    EXPECT_TRUE(contains(log, "small:up@190,90"));

    // Keys go to the widget that took the last press, then bubble to its parent.
    log.clear();
    SDL_Event key{};
    key.type = SDL_KEYDOWN;
    key.key.windowID = t.window->getId();
    key.key.keysym.sym = SDLK_a;
    SDL_PushEvent(&key);
    SDL_Event text{};
    text.type = SDL_TEXTINPUT;
    text.text.windowID = t.window->getId();
    std::snprintf(text.text.text, sizeof text.text.text, "%s", "x");
    SDL_PushEvent(&text);
    t.frames(1);
    EXPECT_EQ(log, (std::vector<std::string>{"small:key:" + std::to_string(SDLK_a),
                                             "parent:key:" + std::to_string(SDLK_a), "small:key:x",
                                             "parent:key:x"}));
}

TEST(Button, ClicksLockingAndStateColours) {
    TestApp t;
    int clicks = 0;
    auto* button = t.root()->addHiddenChild<Button>(10.0f, 10.0f, 80.0f, 30.0f);
    button->setOnClick([&] { ++clicks; });
    button->setBackgroundColor(0xFF0000FF);
    button->setHoverColor(0xFF00FF00);
    button->setPressedColor(0xFFFF0000);
    button->setLockedColor(0x80FFFFFF);
    t.frames(1);

    pushClick(t.window, 20, 20);
    t.frames(1);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(button->getStateColor(), Color(0xFF00FF00)); // hovered after the click

    // Pressed inside, released outside (and the reverse): no click.
    pushButton(t.window, 20, 20, true);
    t.frames(1);
    EXPECT_EQ(button->getStateColor(), Color(0xFFFF0000));
    pushMotion(t.window, 200, 200);
    pushButton(t.window, 200, 200, false);
    pushButton(t.window, 200, 200, true);
    pushMotion(t.window, 20, 20);
    pushButton(t.window, 20, 20, false);
    t.frames(1);
    EXPECT_EQ(clicks, 1);

    button->setLocked(true);
    pushClick(t.window, 20, 20);
    t.frames(1);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(button->getStateColor(), Color(0x80FFFFFF));
    button->setLocked(false);
    pushClick(t.window, 20, 20);
    t.frames(1);
    EXPECT_EQ(clicks, 2);
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
    EXPECT_EQ(clicks, 1);
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
    auto* content = view->addChild<Rectangle>(Vec2{0, 0}, Vec2{100, 300});
    content->setColor(0xFF0000FF); // red
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

    for (int i = 0; i < 10; ++i) {
        pushWheel(t.window, -1);
    }
    t.frames(1);
    EXPECT_FLOAT_EQ(view->getScrollOffset().y, 200); // 300 - 100
    pushWheel(t.window, 3);
    t.frames(1);
    EXPECT_FLOAT_EQ(view->getScrollOffset().y, 80);

    // The wheel outside the view does nothing.
    pushMotion(t.window, 300, 200);
    pushWheel(t.window, 5);
    t.frames(1);
    EXPECT_FLOAT_EQ(view->getScrollOffset().y, 80);
}

TEST(Renderer, RectanglesTexturesRotationAndPngReadback) {
    TestApp t(200, 100);
    t.window->setClearColor(0xFF000000);
    SDL_Surface* white = SDL_CreateRGBSurfaceWithFormat(0, 4, 4, 32, SDL_PIXELFORMAT_RGBA32);
    SDL_FillRect(white, nullptr, SDL_MapRGBA(white->format, 255, 255, 255, 255));
    Texture texture(white);

    auto* plain = t.root()->addHiddenChild<Rectangle>(Vec2{10, 10}, Vec2{20, 20});
    plain->setColor(Color(0, 0, 255)); // blue
    auto* tinted = t.root()->addHiddenChild<Rectangle>(Vec2{40, 10}, Vec2{20, 20});
    tinted->setTexture(&texture);
    tinted->setColor(Color(0, 255, 0)); // white texture tinted green
    // 60 x 10 bar turned 90 degrees about its centre (130, 50): it stands 10 wide, 60 high.
    auto* turned = t.root()->addHiddenChild<Rectangle>(Vec2{100, 45}, Vec2{60, 10});
    turned->setColor(Color(255, 0, 0));
    turned->setOrigin({30, 5});
    turned->setRotation(90);
    t.frames(1);

    Image frame = t.window->capture();
    EXPECT_EQ(frame.at(20, 20), Color(0, 0, 255));
    EXPECT_EQ(frame.at(50, 20), Color(0, 255, 0));
    EXPECT_EQ(frame.at(130, 30), Color(255, 0, 0));    // above the centre: covered once turned
    EXPECT_EQ(frame.at(105, 50), Color(0, 0, 0, 255)); // the unturned bar's left end: empty
    EXPECT_EQ(frame.at(5, 5), Color(0, 0, 0, 255));

    const std::string path = testing::TempDir() + "toolkit_renderer_test.png";
    ASSERT_TRUE(t.window->saveScreenshot(path));
    SDL_Surface* loaded = IMG_Load(path.c_str());
    ASSERT_NE(loaded, nullptr);
    SDL_Surface* rgba = SDL_ConvertSurfaceFormat(loaded, SDL_PIXELFORMAT_RGBA32, 0);
    SDL_FreeSurface(loaded);
    ASSERT_NE(rgba, nullptr);
    EXPECT_EQ(rgba->w, 200);
    const auto* px = static_cast<const Color*>(rgba->pixels) + 20 * (rgba->pitch / 4) + 50;
    EXPECT_EQ(*px, Color(0, 255, 0));
    SDL_FreeSurface(rgba);
    std::remove(path.c_str());
}
