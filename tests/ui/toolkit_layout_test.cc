// Stack layout: sizes along and across, min/max, spacing, padding, alignment and distribution.
#include <zelk/ui/Stack.h>

#include <gtest/gtest.h>

#include <cfloat>

using namespace zelk::ui;

namespace {

// A detached root standing in for a window's root widget.
struct Tree {
    Widget root{nullptr};
    void layout(float w, float h) {
        root.setActualSize({w, h});
        root.layout();
    }
};

class CountingWidget : public Widget {
public:
    using Widget::Widget;
    void resized() override {
        ++resizes;
        Widget::resized();
    }
    int resizes = 0;
};

void expectBox(const Widget* w, float x, float y, float width, float height) {
    EXPECT_FLOAT_EQ(w->getPosition().x, x);
    EXPECT_FLOAT_EQ(w->getPosition().y, y);
    EXPECT_FLOAT_EQ(w->getActualSize().x, width);
    EXPECT_FLOAT_EQ(w->getActualSize().y, height);
}

} // namespace

// The views pass plain integers for orientation, alignment and distribution: those are used here.
TEST(StackLayout, PackedDistributionsAlignmentsSpacingAndPadding) {
    Tree t;
    auto* s = t.root.addChild<Stack>(Vec2{0, 0}, Vec2{500, 50});
    s->setOrientation(0); // horizontal
    s->setSpacing(10);
    s->setPadding(Vec4{5, 2, 7, 3});
    auto* a = s->addChild<Widget>(Vec2{0, 0}, Vec2{100, 20});
    auto* b = s->addChild<Widget>(Vec2{0, 0}, Vec2{50, 30});
    t.layout(500, 50);
    expectBox(a, 5, 2, 100, 20); // start: from the left and top padding
    EXPECT_FLOAT_EQ(b->getPosition().x, 115);

    // Inner width 500 - 5 - 7 = 488; items and spacing take 160; 328 left.
    const struct {
        int distribution;
        float ax, bx;
    } cases[] = {
        {2, 500 - 7 - 50 - 10 - 100, 500 - 7 - 50},           // end
        {1, 5 + 164, 5 + 164 + 110},                          // centre
        {3, 5, 500 - 7 - 50},                                 // space between
        {5, 5 + 328.0f / 3, 5 + 2 * 328.0f / 3 + 100 + 10},   // space evenly: three gaps
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.distribution);
        s->setDistribution(c.distribution);
        t.layout(500, 50);
        EXPECT_FLOAT_EQ(a->getPosition().x, c.ax);
        EXPECT_FLOAT_EQ(b->getPosition().x, c.bx);
    }

    // Across, within the inner height 45: centre, end, and stretch limited by a maximum.
    s->setAlignment(1);
    t.layout(500, 50);
    EXPECT_FLOAT_EQ(a->getPosition().y, 2 + (45 - 20) / 2.0f);
    s->setAlignment(2);
    t.layout(500, 50);
    EXPECT_FLOAT_EQ(b->getPosition().y, 2 + 45 - 30);
    b->setMaxSize({FLT_MAX, 40});
    s->setAlignment(3);
    t.layout(500, 50);
    EXPECT_FLOAT_EQ(a->getActualSize().y, 45);
    EXPECT_FLOAT_EQ(b->getActualSize().y, 40);

    // Vertical (1), spread evenly: inner height 50 - 16, two lines of 10, three gaps of 14/3.
    auto* v = t.root.addChild<Stack>(Vec2{0, 0}, Vec2{300, 50});
    v->setOrientation(1);
    v->setDistribution(5);
    v->setPadding(Vec4(8));
    auto* line1 = v->addChild<Widget>(Vec2{0, 0}, Vec2{120, 10});
    auto* line2 = v->addChild<Widget>(Vec2{0, 0}, Vec2{80, 10});
    t.layout(500, 50);
    expectBox(line1, 8, 8 + 14.0f / 3, 120, 10);
    EXPECT_FLOAT_EQ(line2->getPosition().y, 8 + 2 * 14.0f / 3 + 10);
}

TEST(StackLayout, FillGrowsInOrderAndShrinksFromTheEnd) {
    Tree t;
    auto* s = t.root.addChild<Stack>(Vec2{0, 0}, Vec2{300, 10});
    s->setOrientation(0);
    s->setDistribution(6);
    s->setSpacing(10);
    auto* a = s->addChild<Widget>(Vec2{0, 0}, Vec2{50, 10});
    auto* b = s->addChild<Widget>(Vec2{0, 0}, Vec2{50, 10});
    auto* c = s->addChild<Widget>(Vec2{0, 0}, Vec2{50, 10});
    a->setMaxSize({80, FLT_MAX});
    b->setMinSize({30, 0});
    c->setMinSize({20, 0});

    // {stack width, a, b, c}: 280 without spacing lets a grow to its maximum and b take the rest;
    // too narrow (170 needed), c, then b, then a give way, each down to its minimum.
    const float cases[][4] = {{300, 80, 150, 50}, {130, 50, 40, 20}, {110, 40, 30, 20}};
    for (const auto& c4 : cases) {
        SCOPED_TRACE(c4[0]);
        s->setPreferredSize({c4[0], 10});
        t.layout(300, 10);
        EXPECT_FLOAT_EQ(a->getActualSize().x, c4[1]);
        EXPECT_FLOAT_EQ(b->getActualSize().x, c4[2]);
        EXPECT_FLOAT_EQ(c->getActualSize().x, c4[3]);
        EXPECT_FLOAT_EQ(c->getPosition().x, c4[1] + 10 + c4[2] + 10);
    }
}

TEST(StackLayout, HiddenAndInvisibleChildrenAndResizeNotifications) {
    Tree t;
    auto* s = t.root.addChild<Stack>(Vec2{0, 0}, Vec2{100, 100});
    s->setSpacing(5);
    auto* a = s->addChild<CountingWidget>(Vec2{0, 0}, Vec2{10, 10});
    auto* gone = s->addChild<Widget>(Vec2{0, 0}, Vec2{10, 10});
    auto* b = s->addChild<Widget>(Vec2{0, 0}, Vec2{10, 10});
    auto* overlay = s->addHiddenChild<Widget>(Vec2{33, 44}, Vec2{20, 30});
    overlay->setMaxSize({15, FLT_MAX});
    gone->setVisible(false);
    t.layout(500, 500);

    EXPECT_FLOAT_EQ(b->getPosition().y, 15); // the invisible child takes no room
    expectBox(overlay, 33, 44, 15, 30);      // left where it was put, its size clamped
    EXPECT_EQ(a->resizes, 0);                // built at its preferred size, which the layout kept
    a->setPreferredSize({10, 12});
    t.layout(500, 500);
    t.layout(500, 500);
    EXPECT_EQ(a->resizes, 1); // once for the change, not again for an unchanged size
    EXPECT_FLOAT_EQ(b->getPosition().y, 17);
}
