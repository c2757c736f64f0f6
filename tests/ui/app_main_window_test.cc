// The main window's layout: the 50-high bar across the top, then the tree (at most 600 wide), the
// 4-wide divider and the watch table sharing the rest, following the window's size.
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <zelk/ui/Window.h>

#include "MainWindow.h"
#include "app_fixture.h"

namespace {

const auto* const pakEnvironment = ::testing::AddGlobalTestEnvironment(new apptest::PakEnvironment);

struct Box {
    float x, y, w, h;
};

Box boxOf(const zelk::ui::Widget* w) {
    auto p = w->getWorldPosition();
    auto s = w->getActualSize();
    return {p.x, p.y, s.x, s.y};
}

void expectBox(const zelk::ui::Widget* w, Box expected, const char* what) {
    Box b = boxOf(w);
    EXPECT_FLOAT_EQ(b.x, expected.x) << what;
    EXPECT_FLOAT_EQ(b.y, expected.y) << what;
    EXPECT_FLOAT_EQ(b.w, expected.w) << what;
    EXPECT_FLOAT_EQ(b.h, expected.h) << what;
}

// Bar, tree, divider and table for a window of width x height (tree at its 600 maximum).
void expectRows(const MainWindow& mw, float width, float height) {
    SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
    expectBox(mw.getRoot(), {0, 0, width, height}, "root");
    expectBox(mw.getTopBar(), {0, 0, width, 50}, "top bar");
    expectBox(mw.getTreeView(), {0, 50, 600, height - 50}, "tree");
    expectBox(mw.getDivider(), {600, 50, 4, height - 50}, "divider");
    expectBox(mw.getInspectorView(), {604, 50, width - 604, height - 50}, "watch table");
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
    ASSERT_EQ(window->getWidth(), 1200);
    ASSERT_EQ(window->getHeight(), 800);
    expectRows(*mainWindow, 1200, 800);

    window->setSize(1600, 900);
    frames(2);
    ASSERT_EQ(window->getWidth(), 1600);
    ASSERT_EQ(window->getHeight(), 900);
    EXPECT_EQ(mainWindow->getRoot()->getPreferredSize(), (zelk::ui::Vec2{1600, 900}));
    expectRows(*mainWindow, 1600, 900);

    // Smaller than the minimum: held at 1200 x 400, and the rows with it.
    window->setSize(700, 300);
    frames(2);
    EXPECT_EQ(window->getWidth(), 1200);
    EXPECT_EQ(window->getHeight(), 400);
    expectRows(*mainWindow, 1200, 400);

    // Back to the start: the bar's width limit follows the window down as well as up.
    window->setSize(1200, 800);
    frames(2);
    expectRows(*mainWindow, 1200, 800);
}

TEST_F(MainWindowTest, SnapshotShowsBarDividerAndDarkRows) {
    zelk::ui::Window* window = mainWindow->getWindow();
    zelk::ui::Image image = window->capture();
    ASSERT_EQ(image.width, 1200);
    ASSERT_EQ(image.height, 800);
    std::filesystem::path png = std::filesystem::path(ORVANE_ARTEFACT_DIR) / "main_window.png";
    EXPECT_TRUE(image.savePng(png.string())) << png;

    const zelk::ui::Color light(24, 24, 24, 255); // bar background and divider
    const zelk::ui::Color dark(16, 16, 16, 255);  // window background
    EXPECT_EQ(image.at(700, 5), light) << "bar";
    EXPECT_EQ(image.at(5, 49), light) << "bar's last row";
    EXPECT_EQ(image.at(5, 50), dark) << "tree's first row";
    EXPECT_EQ(image.at(300, 400), dark) << "tree";
    EXPECT_EQ(image.at(599, 400), dark) << "tree's last column";
    EXPECT_EQ(image.at(600, 400), light) << "divider";
    EXPECT_EQ(image.at(603, 799), light) << "divider";
    EXPECT_EQ(image.at(604, 400), dark) << "table's first column";
    EXPECT_EQ(image.at(1100, 700), dark) << "table";
}

TEST_F(MainWindowTest, DestroyedWindowLeavesNoTickCallbackBehind) {
    zelk::ui::Window* window = mainWindow->getWindow();
    mainWindow.reset();
    // A tick callback left registered would run on the destroyed main window here.
    window->setSize(1500, 800);
    frames(3);
    SUCCEED();
}

} // namespace
