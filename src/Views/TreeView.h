// The tag tree: on every new connection it browses the controller's tags on the thread pool (a spinner
// meanwhile), then lists the controller-scope tags, then the programs in a "Programs" group, each sorted
// by name, under a search field that filters them (opening rows to what it finds, with a count of the
// matches). A row is selected by a click or the arrow keys; a click on a value's row watches it, Enter
// too, Ctrl+C copies the selected row's path, and a right-click opens the row's menu. Its per-frame
// update also drives the watch list's reading.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <zelk/ui/ImGuiPanel.h>
#include <zelk/ui/ScrollView.h>
#include <zelk/ui/Stack.h>
#include <zelk/ui/Widget.h>
#include <zelkc_logix.h>

#include "Views/TreeItem.h"

class AppState;
class TagInspector;
class ThreadPool;

class TreeView : public zelk::ui::Widget {
public:
    explicit TreeView(zelk::ui::Widget* parent);
    // Empties the watch list, destroys the rows, then frees the browse list they point into.
    ~TreeView() override;

    void resized() override;
    void update() override;

    // The pool task: browses the controller-scope tags and hands the result to the main thread. A quiet
    // browse (after a reconnect to the same controller) shows no spinner and replaces the rows only when
    // the tag database differs from the one shown.
    void loadData(bool quiet = false);
    // Whether two browses list the same tags: names, types, dimensions and members.
    static bool sameDatabase(const zelkc_logix_tag_info_list& a, const zelkc_logix_tag_info_list& b);
    // "last connected: HOST:PORT" above dimmed rows while the connection is not up; else empty.
    const std::string& getLastConnected() const { return lastConnected; }
    // The whole reason of the last failed connect or of the loss while the connection is not up.
    const std::string& getFailure() const { return failure; }

    bool isLoading() const { return loading.load(); }
    // The line shown above the rows: why the last browse failed, or how many data types it had to
    // show without members; empty after a complete browse.
    const std::string& getNotice() const { return notice; }
    const std::vector<std::unique_ptr<TreeItem>>& getRootItems() const { return rootItems; }
    // The row the keys act on; null when none.
    TreeItem* getSelected() const { return selectedAlive.expired() ? nullptr : selected; }
    void select(TreeItem* row);
    // Scrolls the least that shows `row` whole (as last drawn).
    void revealRow(const TreeItem* row);
    // The short line above the rows after a click on a structure or a Watch all members.
    const std::string& getHint() const { return hint; }
    // The one line under the search field as last drawn (the most important of the failure, notice,
    // hint and search lines, cut to fit); empty when there is none or no rows.
    const std::string& getNoticeLine() const { return shownNotice; }
    // The match count beside the search field ("37 tags"); empty without a search.
    const std::string& getMatchText() const { return matchText; }
    // The line saying how many matches were left in closed rows; empty when all are opened.
    const std::string& getFilterNotice() const { return filterNotice; }
    const std::string& getFilterText() const { return filterText; }
    // The menu items last drawn, with their rectangles in the tree panel's coordinates.
    const std::vector<std::pair<std::string, ImVec4>>& getMenuItems() const { return menuItems; }
    // The rows drawn in the last frame, top to bottom.
    const std::vector<TreeDraw::Row>& getDrawnRows() const { return lastRows; }
    // Adds these tag paths back to the watch list once the browse of the current controller and its
    // programs is in: those it finds, in this order; the line above the rows says how many it did not.
    void restoreWatchList(std::vector<std::string> paths);
    bool isRestorePending() const { return restorePendingFlag; }
    // The same at once, against the rows shown (a watch list file opened by the user).
    void applyWatchList(std::vector<std::string> paths);
    // The row of a tag path ("Tag.Member[2]", "Program:Main.Pump.Speed"), making the rows on the way;
    // null when the browse has no such tag.
    TreeItem* findRow(const std::string& path);
    void setHint(std::string text) { hint = std::move(text); }
    // Adds the row's values (members, elements and theirs) to the watch list, at most watchAllLimit.
    void watchAll(TagItem* row);
    static constexpr size_t watchAllLimit = 500;
    static constexpr const char* emptyHint = "Type the controller's address and press Connect";
    zelk::ui::ImGuiPanel* getTreePanel() const { return treePanel; }
    zelk::ui::ImGuiPanel* getFilterPanel() const { return filterPanel; }
    zelk::ui::ScrollView* getScrollView() const { return scrollView; }
    zelk::ui::Stack* getSpinnerStack() const { return spinnerStack; }

    static constexpr float filterHeight = 50.0f;

private:
    void generateGui();
    void buildFilter();
    // The keys of the focused tree: moving the selection, opening, watching, copying.
    void handleKeys();
    void drawMenu();
    // A left click or Enter on a row: a value is watched, a structure or array explains itself.
    void activate(TreeItem* row);
    void applyFilter(bool fresh);
    // On the main thread: replaces the rows by those of a successful browse.
    void takeBrowse(zelkc_logix_tag_info_list list);

    AppState* appState;
    ThreadPool* threadPool;
    TagInspector* inspector;
    zelk::ui::Stack* spinnerStack = nullptr;
    zelk::ui::ImGuiPanel* treePanel = nullptr;
    zelk::ui::ScrollView* scrollView = nullptr;
    zelk::ui::ImGuiPanel* filterPanel = nullptr;
    std::string filterText;
    std::string appliedFilter;
    size_t busyPrograms = 0; // programs whose tags were still being browsed at the last frame
    uint64_t loadedEpoch = 0;
    uint64_t loadedRevision = 0;
    bool live = false;
    std::string lastConnected;
    std::string failure;
    std::atomic<bool> refreshing{false};
    zelkc_logix_tag_info_list tagList{};
    std::vector<std::unique_ptr<TreeItem>> rootItems;
    std::atomic<bool> loading{false};
    std::string notice;
    std::string hint;
    std::string matchText;
    std::string filterNotice;
    TreeItem* selected = nullptr;
    std::weak_ptr<void> selectedAlive;
    bool revealSelection = false;
    bool enterRows = false; // Down in the search field: the keyboard moves to the rows
    std::vector<std::pair<std::string, bool>> noticeLines() const;
    void drawNoticeLine();
    std::string shownNotice;
    const TreeItem* hintItem = nullptr; // the row the hint is about, if it is about one
    std::weak_ptr<void> hintAlive;
    std::string rowHint;
    TreeItem* menuRow = nullptr;
    std::weak_ptr<void> menuAlive;
    std::vector<std::pair<std::string, ImVec4>> menuItems;
    std::vector<TreeDraw::Row> lastRows;
    float rowPitch = 28.0f;
    std::vector<std::string> pendingRestore;
    bool restorePendingFlag = false;
    // Adds the pending paths the rows have; returns how many they lack.
    size_t restorePending();
};
