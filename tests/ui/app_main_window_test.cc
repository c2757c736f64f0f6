// The main window's layout: the 50-high bar across the top, then the tree (at most 600 wide), the 4-wide
// divider and the watch table sharing the rest, following the window's size down to its minimum.
#include <array>
#include <memory>

#include "MainWindow.h"
#include "Views/InspectorView.h"
#include "Views/TopBarView.h"
#include "Views/TreeView.h"
#include "app_test_support.h"

namespace {

const auto* const pakEnvironment = ::testing::AddGlobalTestEnvironment(new apptest::PakEnvironment);

TEST_F(AppFixture, MainWindowRowsFollowTheWindowSizeAndTheMinimumHolds) {
    auto main = std::make_unique<MainWindow>();
    // {requested size, size held, tree width}: larger, below the 800 x 500 minimum (the tree takes half),
    // back to the start; then the divider dragged to 300, which holds through a resize but not past the
    // table's least width.
    for (const auto& c : {std::array{1600, 900, 1600, 900, 600}, {700, 300, 800, 500, 400}, {1200, 800, 1200, 800, 600},
                          {1200, 800, 1200, 800, 300}, {1000, 700, 1000, 700, 300}, {1000, 700, 1000, 700, 796}}) {
        if (c[4] == 300 && c[0] == 1200) { // drag the divider from its middle to x = 302
            ::push(main->getWindow(), "md", 602, 300);
            ::push(main->getWindow(), "mu", 302, 300);
        }
        if (c[4] == 796) { // as far right as it goes
            ::push(main->getWindow(), "md", 302, 300);
            ::push(main->getWindow(), "mu", 990, 300);
        }
        main->getWindow()->setSize(c[0], c[1]);
        frames(2);
        const float w = static_cast<float>(c[2]), h = static_cast<float>(c[3]), t = static_cast<float>(c[4]);
        std::vector<std::array<float, 4>> boxes; // {x, y, width, height}
        for (const zelk::ui::Widget* widget : std::initializer_list<const zelk::ui::Widget*>{
                 main->getRoot(), main->getTopBar(), main->getTreeView(), main->getDivider(),
                 main->getInspectorView()})
            boxes.push_back({widget->getWorldPosition().x, widget->getWorldPosition().y,
                             widget->getActualSize().x, widget->getActualSize().y});
        EXPECT_EQ(boxes, (std::vector<std::array<float, 4>>{{0, 0, w, h},
                                                            {0, 0, w, 50},
                                                            {0, 50, t, h - 50},
                                                            {t, 50, 4, h - 50},
                                                            {t + 4, 50, w - t - 4, h - 50}}))
            << c[0] << " x " << c[1];
    }
    zelk::ui::Window* window = main->getWindow();
    main.reset();
    window->setSize(1500, 800); // a tick callback left registered would run on the destroyed window here
    frames(3);
}

// At rest and disconnected the loop waits the long rest between frames: nothing asks for frames.
TEST_F(AppFixture, AnIdleDisconnectedWindowRestsLong) {
    auto main = std::make_unique<MainWindow>();
    frames(40); // the start's own frames (the address field's focus) are over
    std::vector<std::uint32_t> waits;
    for (int i = 0; i < 5; ++i, frames(1))
        waits.push_back(app->nextWaitMs());
    EXPECT_EQ(waits, std::vector<std::uint32_t>(5, MainWindow::idleRestMs));
}

} // namespace
