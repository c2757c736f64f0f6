// Application, window and widget behaviour driven frame by frame with synthetic SDL input.
#include "toolkit_support.h"

using Log = std::vector<std::string>;

// Records the buttons that reach it as "name:what@x,y" in log; consumes presses when told to.
struct Probe : Widget {
    Probe(Widget* parent, const Vec2& pos, const Vec2& size, Log* log, const char* name)
        : Widget(parent, pos, size), log(log), name(name) {}
    Log* log;
    std::string name;
    bool consumeDown = true, captureDown = false, offerChildren = true;

    bool record(const char* what, const MouseEvent& e, bool result) {
        log->push_back(name + ":" + what + "@" + std::to_string(static_cast<int>(e.position.x)) + "," +
                       std::to_string(static_cast<int>(e.position.y)));
        return result;
    }
    bool onMouseButtonDown(const MouseEvent& e) override { return record("down", e, consumeDown); }
    bool onMouseButtonUp(const MouseEvent& e) override { return record("up", e, true); }
    bool onMouseButtonDownCapture(const MouseEvent& e) override {
        return captureDown && record("capture", e, true);
    }
    bool shouldDispatchMouseButtonDown(const Widget*, const MouseEvent&) override { return offerChildren; }
};

TEST(Application, TickCallbacksRunOncePerFrameInOrderUntilUnregistered) {
    TestApp t;
    std::string runs;
    int keyA = 0, keyB = 0, keySelf = 0;
    Application::registerTickCallback(&keyA, [&] { runs += "a"; });
    Application::registerTickCallback(&keyB, [&] { runs += "b"; });
    t.frames(2);
    Application::unregisterTickCallback(&keyA);
    Application::registerTickCallback(&keyB, [&] { runs += "B"; }); // replaces the function of its key
    t.frames(1);
    // A callback that removes itself and the one after it: neither runs again, not even this frame.
    Application::registerTickCallback(&keySelf, [&] {
        runs += "s";
        Application::unregisterTickCallback(&keySelf);
        Application::unregisterTickCallback(&keyA);
    });
    Application::registerTickCallback(&keyA, [&] { runs += "a"; });
    t.frames(2);
    EXPECT_EQ(runs, "ababBBsB");
}

TEST(Window, EventsGoToTheTopmostChildInLocalCoordinatesAndWheelsScrollViews) {
    TestApp t;
    Log log;
    auto* parent = t.root()->addHiddenChild<Probe>(Vec2{100, 50}, Vec2{200, 200}, &log, "parent");
    auto* below = parent->addHiddenChild<Probe>(Vec2{10, 10}, Vec2{100, 100}, &log, "below");
    auto* above = parent->addHiddenChild<Probe>(Vec2{50, 50}, Vec2{100, 100}, &log, "above");
    auto clickAt = [&](int x, int y) {
        log.clear();
        push(t.window, "du", x, y);
        t.frames(1);
        return log;
    };
    // Overlap: the later (topmost) child gets it, at its own local position; its right and bottom
    // edges (window x 250, y 200) are outside it.
    EXPECT_EQ(clickAt(160, 120), (Log{"above:down@10,20", "above:up@10,20"}));
    EXPECT_EQ(clickAt(250, 120), (Log{"parent:down@150,70", "parent:up@150,70"}));
    EXPECT_EQ(clickAt(160, 200), (Log{"parent:down@60,150", "parent:up@60,150"}));

    // Not consumed by the topmost: offered to the one beneath, then the parent; the release goes to
    // the topmost first too, and to the parent, which took the press.
    above->consumeDown = below->consumeDown = false;
    EXPECT_EQ(clickAt(160, 120), (Log{"above:down@10,20", "below:down@50,60", "parent:down@60,70",
                                      "above:up@10,20", "parent:up@60,70"}));
    // The parent's capture handler or its dispatch test keeps the children out.
    parent->captureDown = true;
    EXPECT_EQ(clickAt(160, 120), (Log{"parent:capture@60,70", "above:up@10,20", "parent:up@60,70"}));
    parent->captureDown = parent->offerChildren = false;
    EXPECT_EQ(clickAt(160, 120), (Log{"parent:down@60,70", "above:up@10,20", "parent:up@60,70"}));
    // The wheel scrolls a view no further than its content's end: 300 - 100.
    auto* view = t.root()->addHiddenChild<ScrollView>(Vec2{0, 0}, Vec2{100, 100});
    view->addChild<Widget>(Vec2{0, 0}, Vec2{100, 300});
    push(t.window, "mw", 50, 50, -10);
    t.frames(1);
    EXPECT_FLOAT_EQ(view->getScrollOffset().y, 200);
}
