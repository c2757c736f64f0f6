// The main window's layout: the 50-high bar across the top, then the tree (at most 600 wide), the
// 4-wide divider and the watch table sharing the rest, following the window's size.
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include <zelk/ui/TextElement.h>

#include "MainWindow.h"
#include "Views/InspectorView.h"
#include "Views/TopBarView.h"
#include "Views/TreeView.h"
#include "app_fixture.h"

namespace {

const auto* const pakEnvironment = ::testing::AddGlobalTestEnvironment(new apptest::PakEnvironment);

void expectBox(const zelk::ui::Widget* w, float x, float y, float width, float height, const char* what) {
    SCOPED_TRACE(what);
    EXPECT_FLOAT_EQ(w->getWorldPosition().x, x);
    EXPECT_FLOAT_EQ(w->getWorldPosition().y, y);
    EXPECT_FLOAT_EQ(w->getActualSize().x, width);
    EXPECT_FLOAT_EQ(w->getActualSize().y, height);
}

class MainWindowTest : public apptest::AppFixture {
protected:
    void SetUp() override {
        AppFixture::SetUp();
        mainWindow = std::make_unique<MainWindow>();
        frames(2);
    }
    void TearDown() override {
        mainWindow.reset();
        AppFixture::TearDown();
    }
    std::unique_ptr<MainWindow> mainWindow;
};

TEST_F(MainWindowTest, RowsFollowTheWindowSizeAndTheMinimumHolds) {
    zelk::ui::Window* window = mainWindow->getWindow();
    // {requested size, size held}: the start, larger, below the 1200 x 400 minimum, and back (the
    // bar's width limit follows the window down as well as up).
    const int cases[][4] = {
        {1200, 800, 1200, 800}, {1600, 900, 1600, 900}, {700, 300, 1200, 400}, {1200, 800, 1200, 800}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c[0]) + " x " + std::to_string(c[1]));
        window->setSize(c[0], c[1]);
        frames(2);
        ASSERT_EQ(window->getWidth(), c[2]);
        ASSERT_EQ(window->getHeight(), c[3]);
        const float w = static_cast<float>(c[2]);
        const float h = static_cast<float>(c[3]);
        expectBox(mainWindow->getRoot(), 0, 0, w, h, "root");
        expectBox(mainWindow->getTopBar(), 0, 0, w, 50, "top bar");
        expectBox(mainWindow->getTreeView(), 0, 50, 600, h - 50, "tree");
        expectBox(mainWindow->getDivider(), 600, 50, 4, h - 50, "divider");
        expectBox(mainWindow->getInspectorView(), 604, 50, w - 604, h - 50, "watch table");
        // No text of the bar runs past the window's edge.
        std::function<void(const zelk::ui::Widget*)> inside = [&](const zelk::ui::Widget* widget) {
            if (dynamic_cast<const zelk::ui::TextElement*>(widget) != nullptr) {
                EXPECT_LE(widget->getWorldPosition().x + widget->getActualSize().x, w)
                    << static_cast<const zelk::ui::TextElement*>(widget)->getText();
            }
            for (size_t i = 0; i < widget->getChildCount(); ++i) {
                inside(widget->getChild(i));
            }
        };
        inside(mainWindow->getTopBar());
    }
}

TEST_F(MainWindowTest, SnapshotShowsBarDividerAndDarkRowsAndClosesCleanly) {
    zelk::ui::Window* window = mainWindow->getWindow();
    const zelk::ui::Image image = window->capture();
    ASSERT_EQ(image.width, 1200);
    ASSERT_EQ(image.height, 800);
    const auto png = std::filesystem::path(ORVANE_ARTEFACT_DIR) / "main_window.png";
    EXPECT_TRUE(image.savePng(png.string())) << png;

    const zelk::ui::Color light(24, 24, 24, 255); // bar background and divider
    const zelk::ui::Color dark(16, 16, 16, 255);  // window background
    const struct {
        int x, y;
        bool isLight;
        const char* what;
    } pixels[] = {
        {700, 5, true, "bar"},           {5, 49, true, "bar's last row"}, {5, 50, false, "tree's first row"},
        {599, 400, false, "tree edge"},  {600, 400, true, "divider"},     {603, 799, true, "divider's end"},
        {604, 400, false, "table edge"}, {1100, 700, false, "table"},
    };
    for (const auto& p : pixels) {
        EXPECT_EQ(image.at(p.x, p.y), p.isLight ? light : dark) << p.what;
    }

    // A tick callback left registered would run on the destroyed main window here.
    mainWindow.reset();
    window->setSize(1500, 800);
    frames(3);
}

} // namespace
