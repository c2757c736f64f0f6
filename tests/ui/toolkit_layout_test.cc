// Stack layout: sizes along and across, min/max, spacing, padding, alignment and distribution.
// The views pass plain integers for orientation, alignment and distribution: those are used here.
#include <zelk/ui/Stack.h>

#include <gtest/gtest.h>

#include <cfloat>
#include <sstream>

using namespace zelk::ui;

namespace {

// A horizontal stack 500 x 50 with spacing 10 in a detached root, with children of the given sizes.
struct Row {
    Widget root{nullptr};
    Stack* stack = root.addChild<Stack>(Vec2{0, 0}, Vec2{500, 50});
    explicit Row(std::initializer_list<Vec2> sizes) {
        stack->setOrientation(0);
        stack->setSpacing(10);
        for (Vec2 size : sizes) {
            stack->addChild<Widget>(Vec2{0, 0}, size);
        }
    }
    // After a layout, the boxes of the visible children: "x,y,width,height x,y,width,height ...".
    std::string layout() {
        root.setActualSize({500, 50});
        root.layout();
        std::ostringstream out;
        for (size_t i = 0; i < stack->getChildCount(); ++i) {
            const Widget* w = stack->getChild(i);
            if (w->isVisible()) {
                out << (i > 0 ? " " : "") << w->getPosition().x << "," << w->getPosition().y << ","
                    << w->getActualSize().x << "," << w->getActualSize().y;
            }
        }
        return out.str();
    }
};

} // namespace

TEST(StackLayout, DistributionsAlignmentsSpacingAndPadding) {
    Row row({{100, 20}, {50, 30}, {70, 10}});
    row.stack->setPadding(Vec4{5, 2, 7, 3});
    row.stack->getChild(1)->setMaxSize({FLT_MAX, 40});
    row.stack->getChild(2)->setVisible(false); // takes no room
    // Left where it was put, its size clamped.
    row.stack->addHiddenChild<Widget>(Vec2{33, 44}, Vec2{20, 30})->setMaxSize({15, FLT_MAX});
    // Inner box 488 x 45 from (5, 2); items and spacing take 160 of the width, 328 left, which goes
    // before them (end), half before (centre), between them (space between), or in three equal gaps
    // (space evenly: 109.333). {distribution, alignment, boxes}
    const std::tuple<int, int, const char*> cases[] = {
        {0, 0, "5,2,100,20 115,2,50,30 33,44,15,30"},           // start, start
        {2, 1, "333,14.5,100,20 443,9.5,50,30 33,44,15,30"},    // end, centre
        {1, 2, "169,27,100,20 279,17,50,30 33,44,15,30"},       // centre, end
        {3, 3, "5,2,100,45 443,2,50,40 33,44,15,30"},           // space between, stretch to a maximum
        {5, 0, "114.333,2,100,20 333.667,2,50,30 33,44,15,30"}, // space evenly
    };
    for (const auto& [distribution, alignment, boxes] : cases) {
        row.stack->setDistribution(distribution);
        row.stack->setAlignment(alignment);
        EXPECT_EQ(row.layout(), boxes);
    }
}

TEST(StackLayout, FillGrowsInOrderAndShrinksFromTheEnd) {
    Row row({{50, 10}, {50, 10}, {50, 10}});
    row.stack->setDistribution(6);
    row.stack->getChild(0)->setMaxSize({80, FLT_MAX});
    row.stack->getChild(1)->setMinSize({30, 0});
    row.stack->getChild(2)->setMinSize({20, 0});
    // {stack width, boxes}: 280 without spacing lets the first grow to its maximum and the second take
    // the rest; too narrow (170 needed), the last, then the middle, then the first give way, each down
    // to its minimum.
    const std::pair<float, const char*> cases[] = {{300, "0,0,80,10 90,0,150,10 250,0,50,10"},
                                                   {130, "0,0,50,10 60,0,40,10 110,0,20,10"},
                                                   {110, "0,0,40,10 50,0,30,10 90,0,20,10"}};
    for (const auto& [width, boxes] : cases) {
        row.stack->setPreferredSize({width, 10});
        EXPECT_EQ(row.layout(), boxes);
    }
}
