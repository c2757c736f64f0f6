// Stack layout: sizes along and across, min/max, spacing, padding, alignment and distribution.
#include <zelk/ui/Rectangle.h>
#include <zelk/ui/Stack.h>
#include <zelk/ui/TextElement.h>

#include <gtest/gtest.h>

#include <cfloat>
#include <vector>

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

#define EXPECT_BOX(widget, px, py, pw, ph)                                                                   \
    do {                                                                                                     \
        EXPECT_FLOAT_EQ((widget)->getPosition().x, (px));                                                    \
        EXPECT_FLOAT_EQ((widget)->getPosition().y, (py));                                                    \
        EXPECT_FLOAT_EQ((widget)->getActualSize().x, (pw));                                                  \
        EXPECT_FLOAT_EQ((widget)->getActualSize().y, (ph));                                                  \
    } while (0)

} // namespace

// The application's main window: a vertical fill stack with a 50-high bar over a horizontal fill
// stack holding a tree (at most 600 wide), a 4-wide divider and a table taking the rest.
TEST(StackLayout, MainWindowRowsAtDefaultAndResizedWindow) {
    Tree t;
    auto* root = t.root.addChild<Stack>(Vec2{0, 0}, Vec2{1200, 800});
    root->setDistribution(6);
    root->setAlignment(3);
    auto* bar = root->addChild<Widget>();
    bar->setPreferredSize({0, 50});
    bar->setMaxSize({1200, 50});
    auto* content = root->addChild<Stack>();
    content->setDistribution(6);
    content->setAlignment(3);
    content->setOrientation(0);
    auto* tree = content->addChild<Widget>();
    tree->setMaxSize({600, FLT_MAX});
    auto* divider = content->addChild<Rectangle>();
    divider->setMinSize({4, FLT_MAX});
    divider->setMaxSize({4, FLT_MAX});
    auto* table = content->addChild<Widget>();

    t.layout(1200, 800);
    EXPECT_BOX(root, 0, 0, 1200, 800);
    EXPECT_BOX(bar, 0, 0, 1200, 50);
    EXPECT_BOX(content, 0, 50, 1200, 750);
    EXPECT_BOX(tree, 0, 0, 600, 750);
    EXPECT_BOX(divider, 600, 0, 4, 750);
    EXPECT_BOX(table, 604, 0, 596, 750);
    EXPECT_FLOAT_EQ(table->getWorldPosition().y, 50);

    // What the main window's tick does after a resize to 1600 x 900.
    root->setPreferredSize({1600, 900});
    bar->setMaxSize({1600, 50});
    t.layout(1600, 900);
    EXPECT_BOX(bar, 0, 0, 1600, 50);
    EXPECT_BOX(content, 0, 50, 1600, 850);
    EXPECT_BOX(tree, 0, 0, 600, 850);
    EXPECT_BOX(divider, 600, 0, 4, 850);
    EXPECT_BOX(table, 604, 0, 996, 850);
}

TEST(StackLayout, PackedDistributionsWithSpacingAndPadding) {
    Tree t;
    auto* s = t.root.addChild<Stack>(Vec2{0, 0}, Vec2{500, 50});
    s->setOrientation(Stack::Orientation::Horizontal);
    s->setSpacing(10);
    s->setPadding(Vec4{5, 2, 7, 3});
    auto* a = s->addChild<Widget>(Vec2{0, 0}, Vec2{100, 20});
    auto* b = s->addChild<Widget>(Vec2{0, 0}, Vec2{50, 30});
    t.layout(500, 50);

    // Start: from the left padding, spacing between.
    EXPECT_FLOAT_EQ(a->getPosition().x, 5);
    EXPECT_FLOAT_EQ(b->getPosition().x, 115);
    // Across with alignment Start: at the top padding, own height.
    EXPECT_BOX(a, 5, 2, 100, 20);

    // Inner width 500 - 5 - 7 = 488; items and spacing take 160; 328 left.
    s->setDistribution(Stack::Distribution::End);
    t.layout(500, 50);
    EXPECT_FLOAT_EQ(b->getPosition().x, 500 - 7 - 50);
    EXPECT_FLOAT_EQ(a->getPosition().x, 500 - 7 - 50 - 10 - 100);

    s->setDistribution(Stack::Distribution::Center);
    t.layout(500, 50);
    EXPECT_FLOAT_EQ(a->getPosition().x, 5 + 164);

    s->setDistribution(Stack::Distribution::SpaceBetween);
    t.layout(500, 50);
    EXPECT_FLOAT_EQ(a->getPosition().x, 5);
    EXPECT_FLOAT_EQ(b->getPosition().x, 500 - 7 - 50);

    s->setDistribution(Stack::Distribution::SpaceEvenly); // three equal gaps of 328 / 3
    t.layout(500, 50);
    EXPECT_FLOAT_EQ(a->getPosition().x, 5 + 328.0f / 3);
    EXPECT_FLOAT_EQ(b->getPosition().x, 5 + 2 * 328.0f / 3 + 100 + 10);

    // Across: centre and end within the inner height 45.
    s->setAlignment(Stack::Alignment::Center);
    t.layout(500, 50);
    EXPECT_FLOAT_EQ(a->getPosition().y, 2 + (45 - 20) / 2.0f);
    s->setAlignment(Stack::Alignment::End);
    t.layout(500, 50);
    EXPECT_FLOAT_EQ(b->getPosition().y, 2 + 45 - 30);
    // Stretch fills the inner height, limited by a maximum.
    b->setMaxSize({FLT_MAX, 40});
    s->setAlignment(Stack::Alignment::Stretch);
    t.layout(500, 50);
    EXPECT_FLOAT_EQ(a->getActualSize().y, 45);
    EXPECT_FLOAT_EQ(b->getActualSize().y, 40);
}

// The top bar's right group: two fixed columns packed at the end of a 482-wide group, and text
// columns spread evenly over a 50-high vertical stack.
TEST(StackLayout, TopBarGroups) {
    Tree t;
    auto* right = t.root.addChild<Stack>();
    right->setOrientation(0);
    right->setAlignment(3);
    right->setDistribution(2);
    right->setSpacing(32);
    right->setMinSize({482, 50});
    right->setMaxSize({482, 50});
    auto* status = right->addChild<Stack>(Vec2{0, 0}, Vec2{300, 50});
    status->setOrientation(1);
    status->setAlignment(0);
    status->setDistribution(5);
    status->setPadding(Vec4(8));
    auto* maker = right->addChild<Stack>(Vec2{0, 0}, Vec2{150, 50});
    auto* line1 = status->addChild<Widget>(Vec2{0, 0}, Vec2{120, 10});
    auto* line2 = status->addChild<Widget>(Vec2{0, 0}, Vec2{80, 10});
    t.layout(1000, 1000);

    EXPECT_BOX(right, 0, 0, 482, 50);
    EXPECT_BOX(status, 0, 0, 300, 50);
    EXPECT_BOX(maker, 332, 0, 150, 50);
    // Inner height 34, two lines of 10: three gaps of 14/3.
    EXPECT_BOX(line1, 8, 8 + 14.0f / 3, 120, 10);
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
    t.layout(300, 10);
    // 280 without spacing: a grows to its maximum 80, b takes the rest, c stays preferred.
    EXPECT_FLOAT_EQ(a->getActualSize().x, 80);
    EXPECT_FLOAT_EQ(b->getActualSize().x, 150);
    EXPECT_FLOAT_EQ(c->getActualSize().x, 50);
    EXPECT_FLOAT_EQ(c->getPosition().x, 80 + 10 + 150 + 10);

    // Too narrow (170 needed): c, then b, then a give way, each down to its minimum.
    b->setMinSize({30, 0});
    c->setMinSize({20, 0});
    s->setPreferredSize({130, 10});
    t.layout(300, 10);
    EXPECT_FLOAT_EQ(a->getActualSize().x, 50);
    EXPECT_FLOAT_EQ(b->getActualSize().x, 40);
    EXPECT_FLOAT_EQ(c->getActualSize().x, 20);
    s->setPreferredSize({110, 10});
    t.layout(300, 10);
    EXPECT_FLOAT_EQ(a->getActualSize().x, 40);
    EXPECT_FLOAT_EQ(b->getActualSize().x, 30);
    EXPECT_FLOAT_EQ(c->getActualSize().x, 20);
    EXPECT_FLOAT_EQ(c->getPosition().x, 40 + 10 + 30 + 10);
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
    EXPECT_BOX(overlay, 33, 44, 15, 30);     // left where it was put, its size clamped
    EXPECT_EQ(a->resizes, 0);                // built at its preferred size, which the layout kept
    a->setPreferredSize({10, 12});
    t.layout(500, 500);
    EXPECT_EQ(a->resizes, 1);
    t.layout(500, 500);
    EXPECT_EQ(a->resizes, 1); // unchanged size: no notification
    EXPECT_FLOAT_EQ(b->getPosition().y, 17);
}
