// The tag tree: on every new connection it browses the controller's tags on the thread pool (a spinner
// meanwhile), then lists the controller-scope tags and the programs as rows under a search field that
// filters them. Its per-frame update also drives the watch list's reading.
#pragma once

#include <atomic>
#include <memory>
#include <string>
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
    zelk::ui::ImGuiPanel* getTreePanel() const { return treePanel; }
    zelk::ui::ImGuiPanel* getFilterPanel() const { return filterPanel; }
    zelk::ui::ScrollView* getScrollView() const { return scrollView; }
    zelk::ui::Stack* getSpinnerStack() const { return spinnerStack; }

    static constexpr float filterHeight = 50.0f;

private:
    void generateGui();
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
};
