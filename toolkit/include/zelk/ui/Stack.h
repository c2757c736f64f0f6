// A widget that arranges its laid-out children in a row or a column.
//
// Along the orientation each visible laid-out child gets its preferred size clamped to [min, max];
// with Distribution::Fill the space left over goes to the children in order, each growing up to its
// maximum (so a later child takes what earlier ones could not), and when the children do not fit
// they shrink from the last one down to their minimum. The other distributions keep the clamped
// preferred sizes and place the children as named. Across, Alignment::Stretch gives each child the
// stack's inner size clamped to its [min, max]; Start/Center/End keep its clamped preferred size.
// A minimum larger than the stack's inner size gives way to that size, so a minimum and maximum of
// FLT_MAX across mean "as much as there is". Spacing goes between neighbouring children; padding (left, top,
// right, bottom) around them all. Hidden (addHiddenChild) children keep their own position and preferred
// size.
//
// Integer values: orientation 0 horizontal, 1 vertical (the default); alignment 0 start, 1 centre,
// 2 end, 3 stretch; distribution 0 start, 1 centre, 2 end, 3 space-between, 4 space-around,
// 5 space-evenly, 6 fill.
#pragma once

#include <zelk/ui/Widget.h>

namespace zelk::ui {

class Stack : public Widget {
public:
    enum class Orientation : int { Horizontal = 0, Vertical = 1 };
    enum class Alignment : int { Start = 0, Center = 1, End = 2, Stretch = 3 };
    enum class Distribution : int {
        Start = 0,
        Center = 1,
        End = 2,
        SpaceBetween = 3,
        SpaceAround = 4,
        SpaceEvenly = 5,
        Fill = 6
    };

    using Widget::Widget;

    void setOrientation(Orientation orientation) { orientation_ = orientation; }
    void setOrientation(int orientation) { orientation_ = static_cast<Orientation>(orientation); }
    Orientation getOrientation() const { return orientation_; }
    void setAlignment(Alignment alignment) { alignment_ = alignment; }
    void setAlignment(int alignment) { alignment_ = static_cast<Alignment>(alignment); }
    Alignment getAlignment() const { return alignment_; }
    void setDistribution(Distribution distribution) { distribution_ = distribution; }
    void setDistribution(int distribution) { distribution_ = static_cast<Distribution>(distribution); }
    Distribution getDistribution() const { return distribution_; }
    void setSpacing(float spacing) { spacing_ = spacing; }
    float getSpacing() const { return spacing_; }
    void setPadding(const Vec4& padding) { padding_ = padding; }
    Vec4 getPadding() const { return padding_; }

protected:
    void layoutChildren() override;

private:
    Orientation orientation_ = Orientation::Vertical;
    Alignment alignment_ = Alignment::Start;
    Distribution distribution_ = Distribution::Start;
    float spacing_ = 0.0f;
    Vec4 padding_;
};

} // namespace zelk::ui
