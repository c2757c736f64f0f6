// The application's window: the connection bar on top; below it, side by side, the tag tree, a 4-wide
// divider and the watch table taking the rest. The tree starts 600 wide or half the window, whichever
// is smaller, and follows the window that way until the divider is dragged; then it keeps the width
// the user gave it, within what leaves both sides usable.
#pragma once

#include <zelk/ui/Rectangle.h>
#include <zelk/ui/Stack.h>
#include <zelk/ui/Widget.h>
#include <zelk/ui/Window.h>

class TopBarView;
class TreeView;
class InspectorView;
class TrendView;

class MainWindow {
public:
    static constexpr int initialWidth = 1200;
    static constexpr int initialHeight = 800;
    static constexpr int minimumWidth = 800;
    static constexpr int minimumHeight = 500;
    static constexpr float minimumPaneWidth = 200.0f; // neither side of the divider gets narrower
    static constexpr float topBarHeight = 50.0f;
    // The loop's rest between frames while disconnected (see update()).
    static constexpr unsigned idleRestMs = 250;
    static constexpr float treeMaxWidth = 600.0f;
    static constexpr float dividerWidth = 4.0f;

    // Builds the window and its widget tree and registers update() as a tick callback. The
    // application must exist; the asset pak must be loaded (the style loads its fonts from it).
    MainWindow();
    // Unregisters the tick callback. The widgets go with the window.
    ~MainWindow();
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Once a frame: the root stack follows the window's size; the bar follows its width.
    void update() noexcept;

    // The tree's width: where the divider was dragged to, else the starting rule; kept within range.
    float getTreeWidth() const { return treeWidth; }
    void setTreeWidth(float width);
    // The split as the user chose it (dragged, or remembered from the last run): kept through resizes.
    void chooseTreeWidth(float width) {
        splitChosen = true;
        setTreeWidth(width);
    }
    bool isSplitChosen() const { return splitChosen; }
    static float defaultTreeWidth(float windowWidth);

    zelk::ui::Window* getWindow() const { return window; }
    zelk::ui::Stack* getRoot() const { return root; }
    TopBarView* getTopBar() const { return topBar; }
    TreeView* getTreeView() const { return treeView; }
    zelk::ui::Rectangle* getDivider() const { return divider; }
    InspectorView* getInspectorView() const { return inspectorView; }
    TrendView* getTrendView() const { return trendView; }
    // The trend's height under the table: where its divider was dragged to, within range.
    float getTrendHeight() const { return trendHeight; }
    void setTrendHeight(float height);
    static constexpr float defaultTrendHeight = 260.0f;

private:
    zelk::ui::Window* window = nullptr; // owned by the application
    zelk::ui::Stack* root = nullptr;
    TopBarView* topBar = nullptr;
    TreeView* treeView = nullptr;
    zelk::ui::Rectangle* divider = nullptr;
    InspectorView* inspectorView = nullptr; // kept for tests and the screenshot tool
    TrendView* trendView = nullptr;
    zelk::ui::Rectangle* trendDivider = nullptr;
    float trendHeight = defaultTrendHeight;
    float treeWidth = treeMaxWidth;
    bool splitChosen = false; // the user dragged the divider
};
