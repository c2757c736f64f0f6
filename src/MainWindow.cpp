#include "MainWindow.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include <zelk/ui/Application.h>

#include "AppState.h"
#include "AppStyle.h"
#include "Views/InspectorView.h"
#include "Views/TopBarView.h"
#include "Views/TreeView.h"
#include "Views/TrendView.h"

namespace {
constexpr zelk::ui::WindowFlags windowFlags = 0x71F;
constexpr float unbounded = std::numeric_limits<float>::max();
constexpr int fill = static_cast<int>(zelk::ui::Stack::Distribution::Fill);
constexpr int stretch = static_cast<int>(zelk::ui::Stack::Alignment::Stretch);
constexpr int sideBySide = static_cast<int>(zelk::ui::Stack::Orientation::Horizontal);

// A bar between two panes: a press takes hold of it and the pointer's moves (x for a bar standing
// between side-by-side panes, y for one lying between panes above each other) set the split.
class Divider : public zelk::ui::Rectangle {
public:
    Divider(zelk::ui::Widget* parent, std::function<void(float)> moved, bool lying = false)
        : zelk::ui::Rectangle(parent), onMoved(std::move(moved)), horizontal(lying) {}
    bool onMouseButtonDown(const zelk::ui::MouseEvent& event) override {
        dragging = event.button == 1;
        return true;
    }
    bool onMouseMove(const zelk::ui::MouseEvent& event) override {
        if (dragging) {
            onMoved(horizontal ? event.windowPosition.y : event.windowPosition.x);
            requestFrame();
        }
        return true;
    }
    bool onMouseButtonUp(const zelk::ui::MouseEvent&) override {
        dragging = false;
        return true;
    }
    // The 4-pixel bar is hard to hit: it takes presses 3 pixels either side of it too.
    bool contains(zelk::ui::Vec2 local) const override {
        const zelk::ui::Vec2 size = getActualSize();
        const float slackX = horizontal ? 0.0f : 3.0f;
        const float slackY = horizontal ? 3.0f : 0.0f;
        return local.x >= -slackX && local.x <= size.x + slackX && local.y >= -slackY &&
               local.y <= size.y + slackY;
    }

private:
    std::function<void(float)> onMoved;
    bool horizontal;
    bool dragging = false;
};
} // namespace

MainWindow::MainWindow() {
    const AppStyle* style = AppStyle::getInstance();

    window = zelk::ui::Application::createWindow("Orvane", initialWidth, initialHeight, windowFlags);
    window->setClearColor(style->getBackgroundColor());
    window->setMinSize(minimumWidth, minimumHeight);

    // Root: top to bottom (the stack's default orientation), filling the window.
    root = window->getRootWidget()->addChild<zelk::ui::Stack>(
        zelk::ui::Vec2{0, 0},
        zelk::ui::Vec2{static_cast<float>(initialWidth), static_cast<float>(initialHeight)});
    root->setDistribution(fill);
    root->setAlignment(stretch);

    topBar = root->addChild<TopBarView>();
    topBar->setPreferredSize(zelk::ui::Vec2{0, topBarHeight});
    topBar->setMaxSize(zelk::ui::Vec2{static_cast<float>(initialWidth), topBarHeight});

    auto* content = root->addChild<zelk::ui::Stack>();
    content->setDistribution(fill);
    content->setAlignment(stretch);
    content->setOrientation(sideBySide);

    treeView = content->addChild<TreeView>();
    treeWidth = defaultTreeWidth(static_cast<float>(initialWidth));
    treeView->setMaxSize(zelk::ui::Vec2{treeWidth, unbounded});
    treeView->setMinSize(zelk::ui::Vec2{treeWidth, 0});

    divider = content->addChild<Divider>([this](float x) {
        splitChosen = true;
        setTreeWidth(x - dividerWidth / 2);
    });
    divider->setMinSize(zelk::ui::Vec2{dividerWidth, unbounded});
    divider->setMaxSize(zelk::ui::Vec2{dividerWidth, unbounded});
    divider->setColor(style->getBackgroundColorLight());

    // The table, and under it (when shown) the trend with a bar to drag between them.
    auto* right = content->addChild<zelk::ui::Stack>();
    right->setDistribution(fill);
    right->setAlignment(stretch);
    inspectorView = right->addChild<InspectorView>();
    trendDivider = right->addChild<Divider>(
        [this](float y) { setTrendHeight(static_cast<float>(window->getHeight()) - y - dividerWidth / 2); },
        true);
    trendDivider->setMinSize(zelk::ui::Vec2{0, dividerWidth});
    trendDivider->setMaxSize(zelk::ui::Vec2{unbounded, dividerWidth});
    trendDivider->setPreferredSize(zelk::ui::Vec2{0, dividerWidth});
    trendDivider->setColor(style->getBackgroundColorLight());
    trendView = right->addChild<TrendView>();
    inspectorView->setOpenListHandler(
        [this](const std::vector<std::string>& paths) { treeView->applyWatchList(paths); });
    setTrendHeight(trendHeight);

    zelk::ui::Application::registerTickCallback(this, [this] { update(); });
}

MainWindow::~MainWindow() {
    zelk::ui::Application::unregisterTickCallback(this);
}

void MainWindow::update() noexcept {
    const float width = static_cast<float>(window->getWidth());
    const float height = static_cast<float>(window->getHeight());
    root->setPreferredSize(zelk::ui::Vec2{width, height});
    topBar->setMaxSize(zelk::ui::Vec2{width, topBarHeight});
    setTreeWidth(splitChosen ? treeWidth : defaultTreeWidth(width));
    const bool trend = inspectorView->isTrendShown();
    trendView->setVisible(trend);
    trendDivider->setVisible(trend);
    setTrendHeight(trendHeight); // the window may have shrunk under it
    // Nothing to poll while disconnected by the user: the loop rests longer between frames (input and
    // dispatched work still wake it at once); anything under way polls at the usual rate.
    const bool idle = AppState::getInstance()->snapshot().state == LinkState::Disconnected;
    zelk::ui::Application::setRestFrameMs(idle ? idleRestMs : zelk::ui::Application::kRestFrameMs);
}

void MainWindow::setTrendHeight(float height) {
    // The table keeps at least its header and a few rows; the trend at least its toolbar and a plot.
    const float room = static_cast<float>(window->getHeight()) - topBarHeight - dividerWidth - 120.0f;
    const float held = std::round(std::clamp(height, 140.0f, std::max(140.0f, room)));
    trendHeight = held;
    trendView->setPreferredSize(zelk::ui::Vec2{0, held});
    trendView->setMinSize(zelk::ui::Vec2{0, held});
    trendView->setMaxSize(zelk::ui::Vec2{unbounded, held});
}

float MainWindow::defaultTreeWidth(float windowWidth) {
    return std::min(treeMaxWidth, std::floor(windowWidth / 2));
}

void MainWindow::setTreeWidth(float width) {
    const float window = static_cast<float>(this->window->getWidth());
    const float most = std::max(minimumPaneWidth, window - dividerWidth - minimumPaneWidth);
    const float held = std::clamp(std::round(width), minimumPaneWidth, most);
    if (held != treeView->getMaxSize().x) {
        treeView->setMaxSize(zelk::ui::Vec2{held, unbounded});
        treeView->setMinSize(zelk::ui::Vec2{held, 0});
    }
    treeWidth = held;
}
