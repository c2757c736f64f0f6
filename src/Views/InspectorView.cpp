#include "Views/InspectorView.h"

#include <cfloat>
#include <optional>

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

void InspectorView::generateGui() {
    deleteRects.clear();
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
        for (const TagInspector::TagValue& tag : inspector->getTags()) {
            ImGui::TableNextRow();
            ImGui::PushID(tag.name.c_str());
            const std::string* texts[3] = {&tag.name, &tag.typeName, &tag.value};
            for (int column = 0; column < 3; ++column) {
                ImGui::TableSetColumnIndex(column);
                ImGui::SetNextItemWidth(-FLT_MIN);
                ImGui::Text("%s", texts[column]->c_str());
            }
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
