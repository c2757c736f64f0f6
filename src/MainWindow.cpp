#include "MainWindow.h"

#include <limits>

#include <zelk/ui/Application.h>

#include "AppStyle.h"
#include "Views/InspectorView.h"
#include "Views/TopBarView.h"
#include "Views/TreeView.h"

namespace {
constexpr zelk::ui::WindowFlags windowFlags = 0x71F;
constexpr float unbounded = std::numeric_limits<float>::max();
constexpr int fill = static_cast<int>(zelk::ui::Stack::Distribution::Fill);
constexpr int stretch = static_cast<int>(zelk::ui::Stack::Alignment::Stretch);
constexpr int sideBySide = static_cast<int>(zelk::ui::Stack::Orientation::Horizontal);
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
    treeView->setMaxSize(zelk::ui::Vec2{treeMaxWidth, unbounded});

    divider = content->addChild<zelk::ui::Rectangle>();
    divider->setMinSize(zelk::ui::Vec2{dividerWidth, unbounded});
    divider->setMaxSize(zelk::ui::Vec2{dividerWidth, unbounded});
    divider->setColor(style->getBackgroundColorLight());

    inspectorView = content->addChild<InspectorView>();

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
}
