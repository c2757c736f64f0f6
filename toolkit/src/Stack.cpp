#include <zelk/ui/Stack.h>

#include <algorithm>
#include <vector>

namespace zelk::ui {

namespace {
float along(Vec2 v, bool horizontal) {
    return horizontal ? v.x : v.y;
}
float across(Vec2 v, bool horizontal) {
    return horizontal ? v.y : v.x;
}
Vec2 make(float a, float c, bool horizontal) {
    return horizontal ? Vec2{a, c} : Vec2{c, a};
}
float clampf(float v, float lo, float hi) {
    return std::clamp(v, lo, std::max(lo, hi));
}
} // namespace

void Stack::layoutChildren() {
    const bool horizontal = orientation_ == Orientation::Horizontal;
    const Vec2 size = getActualSize();
    // Padding: x left, y top, z right, w bottom.
    const float padAlongStart = horizontal ? padding_.x : padding_.y;
    const float padAlongEnd = horizontal ? padding_.z : padding_.w;
    const float padAcrossStart = horizontal ? padding_.y : padding_.x;
    const float padAcrossEnd = horizontal ? padding_.w : padding_.z;
    const float startAlong = padAlongStart;
    const float startAcross = padAcrossStart;
    const float innerAlong = std::max(0.0f, along(size, horizontal) - padAlongStart - padAlongEnd);
    const float innerAcross = std::max(0.0f, across(size, horizontal) - padAcrossStart - padAcrossEnd);

    std::vector<Widget*> items;
    for (std::size_t i = 0; i < getChildCount(); ++i) {
        Widget* child = getChild(i);
        if (!child->isLayoutManaged()) {
            Vec2 pref = child->getPreferredSize();
            Vec2 mn = child->getMinSize();
            Vec2 mx = child->getMaxSize();
            child->setActualSize({clampf(pref.x, mn.x, mx.x), clampf(pref.y, mn.y, mx.y)});
        } else if (child->isVisible()) {
            items.push_back(child);
        }
    }
    if (items.empty()) {
        return;
    }

    std::vector<float> sizes(items.size());
    float total = 0.0f;
    for (std::size_t i = 0; i < items.size(); ++i) {
        Widget* c = items[i];
        sizes[i] = clampf(along(c->getPreferredSize(), horizontal),
                          std::min(along(c->getMinSize(), horizontal), innerAlong),
                          along(c->getMaxSize(), horizontal));
        total += sizes[i];
    }
    const float spacingTotal = spacing_ * static_cast<float>(items.size() - 1);
    float free = innerAlong - spacingTotal - total;

    if (distribution_ == Distribution::Fill) {
        // Grow in order, each child up to its maximum; shrink from the last down to its minimum.
        for (std::size_t i = 0; i < items.size() && free > 0.0f; ++i) {
            const float room = along(items[i]->getMaxSize(), horizontal) - sizes[i];
            const float grow = std::min(room, free);
            if (grow > 0.0f) {
                sizes[i] += grow;
                free -= grow;
            }
        }
        for (std::size_t i = items.size(); i-- > 0 && free < 0.0f;) {
            const float room = sizes[i] - std::min(along(items[i]->getMinSize(), horizontal), innerAlong);
            const float shrink = std::min(room, -free);
            if (shrink > 0.0f) {
                sizes[i] -= shrink;
                free += shrink;
            }
        }
    }

    // Leading space and extra gap between items.
    const float rest = std::max(0.0f, free);
    const float n = static_cast<float>(items.size());
    float lead = 0.0f;
    float gap = spacing_;
    switch (distribution_) {
    case Distribution::Start:
    case Distribution::Fill:
        break;
    case Distribution::Center:
        lead = rest / 2.0f;
        break;
    case Distribution::End:
        lead = rest;
        break;
    case Distribution::SpaceBetween:
        if (items.size() > 1) {
            gap += rest / (n - 1.0f);
        } else {
            lead = rest / 2.0f;
        }
        break;
    case Distribution::SpaceAround:
        gap += rest / n;
        lead = rest / n / 2.0f;
        break;
    case Distribution::SpaceEvenly:
        gap += rest / (n + 1.0f);
        lead = rest / (n + 1.0f);
        break;
    }

    float cursor = startAlong + lead;
    for (std::size_t i = 0; i < items.size(); ++i) {
        Widget* c = items[i];
        // A minimum beyond the available space gives way to it (FLT_MAX: "as much as there is").
        const float mn = std::min(across(c->getMinSize(), horizontal), innerAcross);
        const float mx = across(c->getMaxSize(), horizontal);
        float crossSize = 0.0f;
        float crossPos = startAcross;
        if (alignment_ == Alignment::Stretch) {
            crossSize = clampf(innerAcross, mn, mx);
        } else {
            crossSize = clampf(across(c->getPreferredSize(), horizontal), mn, mx);
            if (alignment_ == Alignment::Center) {
                crossPos += (innerAcross - crossSize) / 2.0f;
            } else if (alignment_ == Alignment::End) {
                crossPos += innerAcross - crossSize;
            }
        }
        c->setPosition(make(cursor, crossPos, horizontal));
        c->setActualSize(make(sizes[i], crossSize, horizontal));
        cursor += sizes[i] + gap;
    }
}

} // namespace zelk::ui
