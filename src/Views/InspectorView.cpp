#include "Views/InspectorView.h"

#include <cfloat>
#include <ctime>
#include <optional>

#include <fmt/format.h>

#include <zelk/ui/imgui_compat.h>

#include "AppStyle.h"
#include "AppTextures.h"
#include "Views/TagInspector.h"

InspectorView::InspectorView(zelk::ui::Widget* parent)
    : zelk::ui::Widget(parent), inspector(TagInspector::getInstance()) {
    const AppStyle* style = AppStyle::getInstance();
    const zelk::ui::Vec2 size = getActualSize();
    scrollView = addHiddenChild<zelk::ui::ScrollView>(zelk::ui::Vec2{0, 0}, size);
    panel = scrollView->addChild<zelk::ui::ImGuiPanel>(zelk::ui::Vec2{0, 0}, size);
    panel->setDefaultFont(style->getDefaultFont(), style->getFontSizeSmall() * style->getImGuiFontScale(),
                          nullptr);
    style->applyImGuiStyle(panel->getImGuiContext());
    panel->setBuildImGuiFunction([this] { generateGui(); });
    deleteIcon = AppTextures::getSvg("icons/remove.svg", 256, 256);
}

InspectorView::~InspectorView() = default;

void InspectorView::resized() {
    zelk::ui::Widget::resized();
    const zelk::ui::Vec2 size = getActualSize();
    panel->setPreferredSize(zelk::ui::Vec2{size.x, panel->getPreferredSize().y});
    scrollView->setPreferredSize(size);
}

void InspectorView::update() {
    zelk::ui::Widget::update();
}

std::string InspectorView::ageText(int64_t ageNs) {
    const int64_t seconds = ageNs < 0 ? 0 : ageNs / 1'000'000'000;
    if (seconds < 60) {
        return fmt::format("{} s ago", seconds);
    }
    if (seconds < 3600) {
        return fmt::format("{} min ago", seconds / 60);
    }
    return fmt::format("{} h ago", seconds / 3600);
}

void InspectorView::drawValue(const TagInspector::TagValue& tag, int64_t now) {
    const AppStyle* style = AppStyle::getInstance();
    std::string& cell = drawnValues.emplace_back();
    switch (tag.state) {
    case TagInspector::RowState::Live:
        if (tag.changedNs != 0 && now - tag.changedNs < changeHighlightNs) {
            ImGui::TableSetBgColor(ImGuiTableBgTarget_CellBg, (style->getWarningColor() & 0x00FFFFFFu) | 0x50000000u);
        }
        ImGui::TextUnformatted(tag.value.c_str());
        cell = tag.value;
        break;
    case TagInspector::RowState::Stale:
    case TagInspector::RowState::Pending:
        if (tag.lastGoodNs == 0) {
            cell = tag.state == TagInspector::RowState::Pending ? "" : "no value";
            ImGui::TextDisabled("%s", cell.c_str());
            break;
        }
        // The last good value, dimmed, with its age: it is not the controller's value now.
        cell = fmt::format("{}  ({})", tag.value, ageText(now - tag.lastGoodNs));
        ImGui::TextDisabled("%s", cell.c_str());
        if (ImGui::IsItemHovered()) {
            const std::time_t seconds = static_cast<std::time_t>(tag.lastGoodNs / 1'000'000'000);
            std::tm local{};
            localtime_r(&seconds, &local);
            ImGui::SetTooltip("Last read at %02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
        }
        break;
    case TagInspector::RowState::Error:
        ImGui::PushStyleColor(ImGuiCol_Text, ImGui::ColorConvertU32ToFloat4(style->getErrorColor()));
        ImGui::TextUnformatted(tag.error.c_str());
        ImGui::PopStyleColor();
        cell = tag.error;
        break;
    }
}

void InspectorView::generateGui() {
    deleteRects.clear();
    drawnValues.clear();
    constexpr ImGuiTableFlags flags =
        ImGuiTableFlags_Resizable | ImGuiTableFlags_RowBg | ImGuiTableFlags_Borders;
    if (ImGui::BeginTable("Variables", 4, flags, ImVec2(0, 0), 0)) {
        ImGui::TableSetupColumn("Name", ImGuiTableColumnFlags_WidthStretch, 1.5f);
        ImGui::TableSetupColumn("Type", ImGuiTableColumnFlags_WidthFixed, 96);
        ImGui::TableSetupColumn("Value", ImGuiTableColumnFlags_WidthStretch, 1.0f);
        ImGui::TableSetupColumn("", ImGuiTableColumnFlags_WidthFixed, 24);
        ImGui::TableHeadersRow();

        // Removed after the table, so the list does not change while it is drawn; one per frame.
        std::optional<std::string> removed;
        const int64_t now = inspector->now();
        for (const TagInspector::TagValue& tag : inspector->getTags()) {
            ImGui::TableNextRow();
            ImGui::PushID(tag.name.c_str());
            const std::string* texts[2] = {&tag.name, &tag.typeName};
            for (int column = 0; column < 2; ++column) {
                ImGui::TableSetColumnIndex(column);
                ImGui::SetNextItemWidth(-FLT_MIN);
                ImGui::Text("%s", texts[column]->c_str());
            }
            ImGui::TableSetColumnIndex(2);
            drawValue(tag, now);
            ImGui::TableSetColumnIndex(3);
            ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(0, 0));
            ImGui::PushStyleColor(ImGuiCol_Button, ImVec4(0, 0, 0, 0));
            ImGui::PushStyleColor(ImGuiCol_ButtonHovered, ImVec4(1, 1, 1, 0.15f));
            ImGui::PushStyleColor(ImGuiCol_ButtonActive, ImVec4(1, 1, 1, 0.25f));
            if (ImGui::ImageButton("##delete", ImTextureRef(deleteIcon), ImVec2(20, 20), ImVec2(0, 0),
                                   ImVec2(1, 1), ImVec4(0, 0, 0, 0), ImVec4(1, 1, 1, 1))) {
                removed = tag.name;
            }
            deleteRects.emplace_back(ImGui::GetItemRectMin().x, ImGui::GetItemRectMin().y,
                                     ImGui::GetItemRectMax().x, ImGui::GetItemRectMax().y);
            ImGui::PopStyleColor(3);
            ImGui::PopStyleVar();
            ImGui::PopID();
        }
        ImGui::EndTable();
        if (removed) {
            inspector->removeTag(removed->c_str());
        }
    }
    panel->setPreferredSize(zelk::ui::Vec2{getActualSize().x, ImGui::GetCursorPosY()});
}
