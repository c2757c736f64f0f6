// The rows of the tag tree. A TagItem is one controller tag, structure member or array element; its
// rows below (members, and one row per element of every array dimension combination) are made when
// it is first opened or filtered, so that a controller of a million elements shows its top rows at
// once and pays for the rest only where the user looks. A DatablockItem is one program: it browses the
// program's tags on the thread pool and then holds them as TagItem rows. Rows are drawn as Dear ImGui tree
// nodes inside the tree view's panel; a click on a tag row adds the tag to the watch list.
//
// Main thread only. A browse list outlives every row that points into it: its owner destroys the rows
// first and frees the list after.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <imgui.h>
#include <zelk/ui/Texture.h>
#include <zelkc_logix.h>

class AppStyle;
class TagInspector;

class TreeItem {
public:
    TreeItem() = default;
    TreeItem(const TreeItem&) = delete;
    TreeItem& operator=(const TreeItem&) = delete;
    virtual ~TreeItem() = default;

    // True while this row or any row below it waits for a browse.
    virtual bool isBusy() const { return busy; }
    virtual void draw() = 0;
    // Applies the search text to this row and every row below it.
    virtual void filter(const std::string& text) = 0;

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

    // The label's hit area in the panel's coordinates as last laid out; empty before the first frame.
    ImVec4 hitRect() const { return lastHit; }
    // Whether the row was open when last drawn.
    bool isOpen() const { return lastOpen; }
    // The tree node (its arrow opens and closes the row) as last laid out, in the panel's coordinates.
    ImVec4 nodeRect() const { return lastNode; }
    virtual const std::vector<std::unique_ptr<TreeItem>>& children() const = 0;
    virtual const std::string& label() const = 0;

protected:
    // Draws the tree node, icon and label; returns {open, hovered, clicked}.
    struct RowState {
        bool open;
        bool hovered;
        bool clicked;
    };
    RowState drawRow(const std::string& id, const std::string& text, const zelk::ui::Texture* icon, bool leaf,
                     const AppStyle* style);

private:
    mutable std::shared_ptr<int> lifetimeToken;
    bool visible = true;
    bool busy = false;
    std::string nodeId;
    std::string hitId;
    float textWidth = 0.0f;
    ImVec4 lastHit{0, 0, 0, 0};
    ImVec4 lastNode{0, 0, 0, 0};
    bool lastOpen = false;
};

class TagItem : public TreeItem {
public:
    // `info` is not owned. A non-empty nameOverride makes the row an array element: "[i,j]" appended to
    // the parent path without a dot, shown with the element's own copy of the array's info.
    TagItem(const std::string& parentPath, const zelkc_logix_tag_info* info,
            const std::string& nameOverride = "");

    // Makes the member and element rows one level down (once); each makes its own when needed.
    void loadChildren();
    // Whether the tag has members or elements, made or not.
    bool hasChildren() const;
    bool isBusy() const override;
    void draw() override;
    void filter(const std::string& text) override;
    bool matchesFilter(std::string_view text) const;

    const std::string& getName() const { return name; }
    const std::string& getPath() const { return path; }
    std::string_view getTypeName() const { return typeName; }
    const zelkc_logix_tag_info* getInfo() const { return info; }
    const std::vector<std::unique_ptr<TreeItem>>& children() const override { return childItems; }
    const std::string& label() const override { return name; }

private:
    const AppStyle* style;
    TagInspector* inspector;
    const zelk::ui::Texture* icon;
    const zelkc_logix_tag_info* info;
    zelkc_logix_tag_info ownInfo{};
    std::string name;
    std::string path;
    std::string_view typeName;
    std::vector<std::unique_ptr<TreeItem>> childItems;
    bool childrenLoaded = false;
    std::string filterText; // the search text last applied to this row
    void applyFilterToChildren();
};

class DatablockItem : public TreeItem {
public:
    // `info` is the program's entry in the tree view's browse list (not owned).
    explicit DatablockItem(const zelkc_logix_tag_info* info);
    // Frees the program's browse list after its rows.
    ~DatablockItem() override;

    // Starts the program's browse on the thread pool; its rows appear when it completes.
    void loadChildren();
    bool isBusy() const override;
    void draw() override;
    void filter(const std::string& text) override;

    const std::vector<std::unique_ptr<TreeItem>>& children() const override { return childItems; }
    const std::string& label() const override { return name; }

private:
    const AppStyle* style;
    const zelk::ui::Texture* icon;
    zelkc_logix_tag_info_list programTags{};
    std::vector<std::unique_ptr<TreeItem>> childItems;
    const zelkc_logix_tag_info* info;
    std::string name;
};
