// The rows of the tag tree. A TagItem is one controller tag, structure member or array element; its
// rows below (members, and one row per element of every array dimension combination) are made when
// it is first opened or filtered into, so that a controller of a million elements shows its top rows at
// once and pays for the rest only where the user looks. An array's elements are made a page at a time
// (TagItem::elementPage), with a "Show more" row (a MoreItem) after the last one made, since a device
// may claim any dimensions (4,294,967,295 elements is a valid claim); the search looks at the index
// texts of an array's first TagItem::searchedElements elements only. A DatablockItem is one program:
// it browses the program's tags on the thread pool and then holds them as TagItem rows, sorted by
// name. A GroupItem holds other rows under a heading ("Programs"). Rows are drawn as Dear ImGui tree
// nodes inside the tree view's panel, each with its type dimmed at the right; what the user did to
// them (a click, a right-click) is reported through the frame's TreeDraw for the tree view to act on.
//
// Main thread only. A browse list outlives every row that points into it: its owner destroys the rows
// first and frees the list after.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <imgui.h>
#include <zelk/ui/Texture.h>
#include <zelkc_logix.h>

class AppStyle;
class TreeItem;

// One frame of drawing: the rows in the order drawn, and what the user did to them.
struct TreeDraw {
    struct Row {
        TreeItem* item;
        int depth;
    };
    std::vector<Row> rows; // every row drawn, top to bottom
    const TreeItem* selected = nullptr;
    float rightEdge = 0.0f;      // where the type texts end, in the panel's coordinates
    TreeItem* clicked = nullptr; // the label clicked with the left button
    TreeItem* menuRow = nullptr; // the label clicked with the right button
    int depth = 0;
};

// One application of the search text over rows: counts the tags that match (a match below a matching
// row is part of it, not another) and opens the rows above the first `openBudget` of them.
struct TreeFilter {
    std::string text;
    bool refine = false;      // the text only grew: rows hidden by the last text stay hidden
    size_t matches = 0;       // matching tags found
    size_t openBudget = 2000; // matches that may still be opened to
    size_t hiddenMatches = 0; // matches left in closed rows once the budget ran out
    // What a structure's members hold of the text depends only on its type and on how much of the text
    // its path ends with: counted once per run for each pair.
    std::unordered_map<std::string, size_t> counted;
    std::string key; // scratch for the lookups
};

class TreeItem {
public:
    TreeItem() = default;
    TreeItem(const TreeItem&) = delete;
    TreeItem& operator=(const TreeItem&) = delete;
    virtual ~TreeItem() = default;

    // True while this row or any row below it waits for a browse.
    bool isBusy() const;
    virtual void draw(TreeDraw& frame) = 0;
    // Applies the search text to this row and every row below it; returns the matches found in them.
    virtual size_t filter(TreeFilter& run, bool parentMatched) = 0;
    // The same with a fresh run of `text` (rows of their own, in tests).
    void filter(const std::string& text) {
        TreeFilter run;
        run.text = text;
        filter(run, false);
    }

    // A token that expires when the row is destroyed (for work queued on other threads).
    std::weak_ptr<void> lifetime() const {
        if (!lifetimeToken) {
            lifetimeToken = std::make_shared<int>(0); // made on first use: most rows never hand one out
        }
        return lifetimeToken;
    }
    void setVisible(bool value) { visible = value; }
    bool isVisible() const { return visible; }
    void setBusy(bool value) { busy = value; }
    // Opens or closes the row at its next drawing.
    void requestOpen(bool open) {
        pendingOpen = open ? 1 : 0;
        if (!open) {
            autoOpened = false;
        }
    }

    // The label's hit area in the panel's coordinates as last laid out; empty before the first frame.
    ImVec4 hitRect() const { return lastHit; }
    // Whether the row was open when last drawn.
    bool isOpen() const { return lastOpen; }
    // The tree node (its arrow opens and closes the row) as last laid out, in the panel's coordinates.
    ImVec4 nodeRect() const { return lastNode; }
    virtual const std::vector<std::unique_ptr<TreeItem>>& children() const = 0;
    virtual const std::string& label() const = 0;
    // The full tag path a copy gives ("Program:Main.Pump.Speed"); a program's "Program:Main".
    virtual std::string copyPath() const { return label(); }
    // The type shown dimmed at the right of the row; empty for programs and groups.
    virtual const std::string& typeText() const;
    // Whether the row may open (it has or will have rows below it).
    virtual bool canOpen() const { return true; }
    // Closes the rows the search opened, once the search is cleared.
    void closeAutoOpened();

protected:
    struct RowState {
        bool open;
        bool hovered;
        bool clicked;
    };
    // Draws the tree node, icon, label and type text; reports clicks into `frame`.
    RowState drawRow(TreeDraw& frame, const std::string& id, const std::string& text,
                     const zelk::ui::Texture* icon, bool leaf, const AppStyle* style);
    // After the rows below were filtered from the run's counts `before` and `budget`: the row shows when
    // they hold a match, and opens when the run opened to one of them; returns the matches found.
    size_t shownBelow(TreeFilter& run, size_t before, size_t budget);
    // The rows below one level deeper, then the end of this open row.
    void drawBelow(TreeDraw& frame);
    // Shows every row below as matching (a match above them covers them).
    void showAllBelow();
    bool autoOpened = false; // opened by the search, not by the user

private:
    static float rowHeight; // as measured on a row laid out; 0 before the first
    mutable std::shared_ptr<int> lifetimeToken;
    bool visible = true;
    bool busy = false;
    int pendingOpen = -1; // -1: leave the row as it is
    std::string nodeId;
    std::string hitId;
    float textWidth = 0.0f;
    float typeWidth = -1.0f;
    ImVec4 lastHit{0, 0, 0, 0};
    ImVec4 lastNode{0, 0, 0, 0};
    bool lastOpen = false;
};

class TagItem : public TreeItem {
public:
    // Elements made per page when an array opens or "Show more" is clicked.
    static constexpr uint64_t elementPage = 1000;
    // Elements of one array whose index texts the search looks at (a search text without an index
    // character counts every element's members alike, without looking at each).
    static constexpr uint64_t searchedElements = 100000;

    // `info` is not owned. A non-empty nameOverride makes the row an array element: "[i,j]" appended to
    // the parent path without a dot, shown with the element's own copy of the array's info.
    TagItem(const std::string& parentPath, const zelkc_logix_tag_info* info,
            const std::string& nameOverride = "");

    // Makes the member rows one level down, or an array's first page of element rows (once); each
    // makes its own when needed.
    void loadChildren();
    // An array: makes the next page of element rows (moving the "Show more" row after them).
    void loadMore();
    // An array: the next page is made at the row's next drawing (a click on "Show more").
    void requestMore() { moreWanted = true; }
    // An array: the elements made so far, and all it has (saturating at UINT64_MAX).
    uint64_t elementsMade() const { return madeElements; }
    uint64_t elementTotal() const;
    // The search matches among the elements not made yet, found as the search does.
    size_t countUnmade(TreeFilter& run) const;
    // Whether the tag has members or elements, made or not. A STRING has none: it is one value.
    bool hasChildren() const;
    // Whether the tag is one value the watch list can read (an atomic or a string, not an array).
    bool isWatchable() const;
    void draw(TreeDraw& frame) override;
    size_t filter(TreeFilter& run, bool parentMatched) override;
    using TreeItem::filter;
    bool matchesFilter(std::string_view text) const;

    const std::string& getName() const { return name; }
    const std::string& getPath() const { return path; }
    std::string_view getTypeName() const { return typeName; }
    const zelkc_logix_tag_info* getInfo() const { return info; }
    const std::vector<std::unique_ptr<TreeItem>>& children() const override { return childItems; }
    const std::string& label() const override { return name; }
    std::string copyPath() const override { return path; }
    const std::string& typeText() const override { return typeLabel; }
    bool canOpen() const override { return hasChildren(); }
    // The tooltip: the type, and an array's element count.
    std::string tooltip() const;

private:
    const AppStyle* style;
    const zelk::ui::Texture* icon;
    const zelkc_logix_tag_info* info;
    zelkc_logix_tag_info ownInfo{};
    std::string name;
    std::string path;
    std::string_view typeName;
    std::string typeLabel;
    std::vector<std::unique_ptr<TreeItem>> childItems;
    bool childrenLoaded = false;
    uint64_t madeElements = 0;
    bool moreWanted = false;
};

// The last row under an array whose elements are not all made: "Show more (1000 of 4294967295
// elements shown)". A click makes the next page; the search counts the matches among the elements not
// made yet here, shown as this row (they are not opened to).
class MoreItem : public TreeItem {
public:
    explicit MoreItem(TagItem* owner);
    // Asks for the next page (as a click does).
    void activate() { owner->requestMore(); }
    void draw(TreeDraw& frame) override;
    size_t filter(TreeFilter& run, bool parentMatched) override;
    using TreeItem::filter;
    const std::vector<std::unique_ptr<TreeItem>>& children() const override { return none; }
    const std::string& label() const override { return text; }
    std::string copyPath() const override { return {}; }
    bool canOpen() const override { return false; }

private:
    const AppStyle* style;
    TagItem* owner;
    std::string id;
    std::string text;
    std::vector<std::unique_ptr<TreeItem>> none;
};

class DatablockItem : public TreeItem {
public:
    // `info` is the program's entry in the tree view's browse list (not owned).
    explicit DatablockItem(const zelkc_logix_tag_info* info);
    // Frees the program's browse list after its rows.
    ~DatablockItem() override;

    // Browses every program of `programs` on the thread pool in one exchange over the connection's
    // lanes, side by side; each program's rows appear as soon as its own browse ends.
    static void loadAll(const std::vector<DatablockItem*>& programs);
    // The outcome of the program's browse: its rows on success (the list is the row's from now).
    void takeChildren(uint8_t result, zelkc_logix_tag_info_list list);
    void draw(TreeDraw& frame) override;
    size_t filter(TreeFilter& run, bool parentMatched) override;
    using TreeItem::filter;

    const std::vector<std::unique_ptr<TreeItem>>& children() const override { return childItems; }
    const std::string& label() const override { return name; }
    std::string copyPath() const override { return "Program:" + name; }

private:
    const AppStyle* style;
    const zelk::ui::Texture* icon;
    zelkc_logix_tag_info_list programTags{};
    std::vector<std::unique_ptr<TreeItem>> childItems;
    const zelkc_logix_tag_info* info;
    std::string name;
    std::string appliedFilter; // the search text when the program's rows arrived later than it
};

// A heading over other rows: the "Programs" group. Open from the start.
class GroupItem : public TreeItem {
public:
    GroupItem(std::string name, std::vector<std::unique_ptr<TreeItem>> rows);

    void draw(TreeDraw& frame) override;
    size_t filter(TreeFilter& run, bool parentMatched) override;
    using TreeItem::filter;
    const std::vector<std::unique_ptr<TreeItem>>& children() const override { return childItems; }
    const std::string& label() const override { return name; }
    std::string copyPath() const override { return {}; }

private:
    const AppStyle* style;
    const zelk::ui::Texture* icon;
    std::string name;
    std::vector<std::unique_ptr<TreeItem>> childItems;
};

// Sorts rows by label, ignoring ASCII case; equal labels keep their order.
void sortRowsByName(std::vector<std::unique_ptr<TreeItem>>& rows);

// Calls `visit(info, path)` for every value the watch list can read at or below `info` (its atomic and
// string members, its elements and theirs), in tree order, while `visit` returns true.
bool forEachWatchable(const zelkc_logix_tag_info& info, std::string& path,
                      const std::function<bool(const zelkc_logix_tag_info&, const std::string&)>& visit);
