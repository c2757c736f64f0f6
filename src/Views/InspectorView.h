// The watch table: one row per watched tag with its name, type and last value, and a delete button.
// It only shows and removes; the tree view drives the reading.
#pragma once

#include <string>
#include <vector>

#include <imgui.h>
#include <zelk/ui/ImGuiPanel.h>
#include <zelk/ui/ScrollView.h>
#include <zelk/ui/Texture.h>
#include <zelk/ui/Widget.h>

#include "Views/TagInspector.h"

class InspectorView : public zelk::ui::Widget {
public:
    explicit InspectorView(zelk::ui::Widget* parent);
    ~InspectorView() override;

    void resized() override;
    void update() override;

    zelk::ui::ImGuiPanel* getPanel() const { return panel; }
    zelk::ui::ScrollView* getScrollView() const { return scrollView; }
    // Where each row's delete button was last drawn, in the panel's coordinates, in row order.
    const std::vector<ImVec4>& getDeleteButtonRects() const { return deleteRects; }
    // The Value column's text as last drawn, in row order: the value, a stale value with its age, or
    // the reason a tag was refused.
    const std::vector<std::string>& getDrawnValues() const { return drawnValues; }

    // How old a stale value is, in words: "12 s ago", "3 min ago", "2 h ago".
    static std::string ageText(int64_t ageNs);
    static constexpr int64_t changeHighlightNs = 1'500'000'000;

private:
    void generateGui();
    void drawValue(const TagInspector::TagValue& tag, int64_t now);

    TagInspector* inspector;
    zelk::ui::ImGuiPanel* panel = nullptr;
    zelk::ui::ScrollView* scrollView = nullptr;
    const zelk::ui::Texture* deleteIcon = nullptr;
    std::vector<ImVec4> deleteRects;
    std::vector<std::string> drawnValues;
};
