#include "Views/InspectorView.h"

#include <algorithm>
#include <cfloat>
#include <ctime>
#include <optional>

#include <cstdlib>
#include <filesystem>

#include <fmt/format.h>
#include <imgui_stdlib.h>

#include <zelk/ui/imgui_compat.h>

#include "AppState.h"
#include "AppStyle.h"
#include "AppTextures.h"
#include "Settings.h"
#include "Views/TagInspector.h"
#include "Views/TrendView.h"

InspectorView::InspectorView(zelk::ui::Widget* parent)
    : zelk::ui::Widget(parent), inspector(TagInspector::getInstance()) {
    const AppStyle* style = AppStyle::getInstance();
    const zelk::ui::Vec2 size = getActualSize();
    scrollView = addHiddenChild<zelk::ui::ScrollView>(zelk::ui::Vec2{0, 0}, size);
    panel = scrollView->addChild<zelk::ui::ImGuiPanel>(zelk::ui::Vec2{0, 0}, size);
    style->applyToPanel(panel, style->getFontSizeSmall() * style->getImGuiFontScale());
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
    record();
}

namespace {
std::string homeFolder() {
    const char* home = std::getenv("HOME");
    return home != nullptr && *home != '\0' ? std::string(home) : std::string(".");
}

// What names a recording's file: the controller's product name, else its address.
std::string controllerName() {
    const LinkSnapshot link = AppState::getInstance()->snapshot();
    return !link.plcType.empty() ? link.plcType : link.lastHost;
}
} // namespace

bool InspectorView::startRecording(const std::string& folder, const std::string& controller) {
    if (!recorder.start(folder, controller, inspector->now())) {
        listMessage = fmt::format("Cannot record: {}", recorder.error());
        return false;
    }
    recordFolder = folder;
    recordedCycles = inspector->cyclesTaken(); // from the next cycle on
    listMessage = fmt::format("Recording to {}", recorder.path().string());
    return true;
}

void InspectorView::record() {
    if (!recorder.isRecording() || inspector->cyclesTaken() == recordedCycles) {
        return;
    }
    recordedCycles = inspector->cyclesTaken();
    std::vector<CsvCell> cells;
    cells.reserve(inspector->getTags().size());
    for (const auto& tag : inspector->getTags()) {
        CsvCell& cell = cells.emplace_back();
        cell.name = tag.name;
        cell.type = tag.typeName;
        cell.value = tag.value;
        cell.error = tag.error;
        switch (tag.state) {
        case TagInspector::RowState::Live:
            cell.state = CsvCell::State::Live;
            break;
        case TagInspector::RowState::Stale:
            cell.state = CsvCell::State::Stale;
            break;
        case TagInspector::RowState::Error:
            cell.state = CsvCell::State::Error;
            break;
        case TagInspector::RowState::Pending:
            cell.state = CsvCell::State::Pending;
            break;
        }
    }
    if (!recorder.writeCycle(inspector->lastCycleStartNs(), cells)) {
        listMessage = fmt::format("Recording stopped: {}", recorder.error());
    }
}

bool InspectorView::saveList(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& tag : inspector->getTags()) {
        names.push_back(tag.name);
    }
    std::string error;
    if (!saveWatchList(path, names, &error)) {
        listMessage = error;
        return false;
    }
    listMessage = fmt::format("Saved {} tag{} to {}", names.size(), names.size() == 1 ? "" : "s", path);
    return true;
}

bool InspectorView::openListFile(const std::string& path) {
    std::string error;
    const auto names = loadWatchList(path, &error);
    if (!names) {
        listMessage = error;
        return false;
    }
    listMessage.clear();
    if (openList) {
        openList(*names);
    }
    return true;
}

void InspectorView::drawFilePopups() {
    if (openFilePopup) {
        ImGui::OpenPopup("##file");
        openFilePopup = false;
    }
    if (!beginPopup("##file", 12, 10)) {
        return;
    }
    static const char* const titles[] = {"", "Save the watch list to", "Open a watch list from",
                                         "Record into the folder"};
    ImGui::TextUnformatted(titles[fileAction]);
    ImGui::SetNextItemWidth(std::min(520.0f, ImGui::GetIO().DisplaySize.x - 40));
    if (ImGui::IsWindowAppearing()) {
        ImGui::SetKeyboardFocusHere();
    }
    const bool entered = ImGui::InputText("##path", &filePath, ImGuiInputTextFlags_EnterReturnsTrue);
    if (entered || ImGui::Button(fileAction == 1 ? "Save" : (fileAction == 2 ? "Open" : "Record"))) {
        if (fileAction == 1) {
            saveList(filePath);
        } else if (fileAction == 2) {
            openListFile(filePath);
        } else if (fileAction == 3) {
            std::error_code ec;
            std::filesystem::create_directories(filePath, ec); // a folder named here is made if missing
            startRecording(filePath, controllerName());
        }
        ImGui::CloseCurrentPopup();
    }
    ImGui::SameLine();
    if (ImGui::Button("Cancel")) {
        ImGui::CloseCurrentPopup();
    }
    ImGui::EndPopup();
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
            ImGui::TableSetBgColor(ImGuiTableBgTarget_CellBg,
                                   (style->getWarningColor() & 0x00FFFFFFu) | 0x50000000u);
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
            showTooltip(
                fmt::format("Last read at {:02}:{:02}:{:02}", local.tm_hour, local.tm_min, local.tm_sec)
                    .c_str());
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

std::string InspectorView::fitFromEnd(const std::string& text, float width) {
    if (ImGui::CalcTextSize(text.c_str()).x <= width) {
        return text;
    }
    const char* ellipsis = "\u2026";
    const float room = width - ImGui::CalcTextSize(ellipsis).x;
    size_t from = 0;
    while (from < text.size() && ImGui::CalcTextSize(text.c_str() + from).x > room) {
        ++from;
        while (from < text.size() && (static_cast<unsigned char>(text[from]) & 0xC0) == 0x80) {
            ++from; // never start inside a UTF-8 character
        }
    }
    return ellipsis + text.substr(from);
}

void InspectorView::drawMenu() {
    menuItems.clear();
    if (!beginPopup("##watchmenu")) {
        return;
    }
    const auto& tags = inspector->getTags();
    const auto row = std::find_if(tags.begin(), tags.end(),
                                  [&](const TagInspector::TagValue& t) { return t.name == menuTag; });
    auto item = [&](const char* text) {
        const bool chosen = ImGui::MenuItem(text, nullptr, false, row != tags.end());
        menuItems.emplace_back(text, ImVec4(ImGui::GetItemRectMin().x, ImGui::GetItemRectMin().y,
                                            ImGui::GetItemRectMax().x, ImGui::GetItemRectMax().y));
        return chosen;
    };
    auto fileItem = [&](const char* text, int action) {
        const bool chosen = ImGui::MenuItem(text);
        menuItems.emplace_back(text, ImVec4(ImGui::GetItemRectMin().x, ImGui::GetItemRectMin().y,
                                            ImGui::GetItemRectMax().x, ImGui::GetItemRectMax().y));
        if (chosen) {
            fileAction = action;
            filePath = (recordFolder.empty() ? homeFolder() : recordFolder) + "/watch-list.json";
            openFilePopup = true;
        }
    };
    fileItem("Save watch list...", 1);
    fileItem("Open watch list...", 2);
    if (row != tags.end()) {
        ImGui::Separator();
        const std::string value = row->state == TagInspector::RowState::Error ? row->error : row->value;
        if (item("Copy value")) {
            ImGui::SetClipboardText(value.c_str());
        }
        if (item("Copy path")) {
            ImGui::SetClipboardText(row->name.c_str());
        }
        if (item("Copy \"path = value\"")) {
            ImGui::SetClipboardText(fmt::format("{} = {}", row->name, value).c_str());
        }
        ImGui::Separator();
        if (item("Remove")) {
            inspector->removeTag(menuTag.c_str()); // the row is gone: nothing of it is used below
        } else if (item("Remove all")) {
            inspector->clear();
        }
    }
    ImGui::EndPopup();
}

void InspectorView::drawToolbar() {
    // The rate, the pace actually reached when the controller is slower, and the trend's box.
    static const char* const labels[] = {"100 ms", "250 ms", "500 ms", "1 s", "2 s", "5 s"};
    int current = 3;
    for (int i = 0; i < 6; ++i) {
        if (TagInspector::rateChoicesMs[i] == inspector->getIntervalMs()) {
            current = i;
        }
    }
    ImGui::SetCursorPos(ImVec2(6, 5));
    ImGui::AlignTextToFramePadding();
    ImGui::TextUnformatted("Read every");
    ImGui::SameLine();
    ImGui::SetNextItemWidth(80);
    if (ImGui::Combo("##rate", &current, labels, 6)) {
        inspector->setIntervalMs(TagInspector::rateChoicesMs[current]);
    }
    const int64_t achieved = inspector->achievedIntervalNs();
    const int64_t asked = static_cast<int64_t>(inspector->getIntervalMs()) * 1'000'000;
    paceText = achieved > asked + asked / 4 && achieved > 0
                   ? fmt::format("the controller allows every {:.2g} s", static_cast<double>(achieved) / 1e9)
                   : std::string();
    if (!paceText.empty()) {
        ImGui::SameLine();
        ImGui::PushStyleColor(ImGuiCol_Text,
                              ImGui::ColorConvertU32ToFloat4(AppStyle::getInstance()->getWarningColor()));
        ImGui::TextUnformatted(paceText.c_str());
        ImGui::PopStyleColor();
    }
    ImGui::SameLine(0, 24);
    ImGui::Checkbox("Trend", &trendShown);
    ImGui::SameLine(0, 24);
    if (recorder.isRecording()) {
        if (ImGui::Button("Stop")) {
            recorder.stop();
            listMessage = fmt::format("Recorded to {}", recorder.path().string());
        }
    } else if (ImGui::Button("Record")) {
        if (recordFolder.empty()) {
            fileAction = 3; // the folder is asked for once, then kept
            filePath = homeFolder() + "/orvane-recordings";
            openFilePopup = true;
        } else {
            startRecording(recordFolder, controllerName());
        }
    }
    if (!listMessage.empty()) {
        ImGui::SameLine();
        ImGui::TextDisabled("%s", listMessage.c_str());
    }
    ImGui::SetCursorPosY(ImGui::GetCursorPosY() + 2);
}

void InspectorView::generateGui() {
    deleteRects.clear();
    drawnValues.clear();
    drawnNames.clear();
    nameRects.clear();
    trendRects.clear();
    drawToolbar();
    constexpr ImGuiTableFlags flags =
        ImGuiTableFlags_Resizable | ImGuiTableFlags_RowBg | ImGuiTableFlags_Borders;
    // The table leaves the scroll bar's strip free at the right.
    const ImVec2 outer(ImGui::GetContentRegionAvail().x - zelk::ui::ScrollView::kScrollbarWidth, 0);
    if (ImGui::BeginTable("Variables", 5, flags, outer, 0)) {
        ImGui::TableSetupColumn("", ImGuiTableColumnFlags_WidthFixed | ImGuiTableColumnFlags_NoResize, 20);
        ImGui::TableSetupColumn("Name", ImGuiTableColumnFlags_WidthStretch, 1.5f);
        // The type keeps its width whatever the neighbours do: the longest type word fits it.
        ImGui::TableSetupColumn("Type", ImGuiTableColumnFlags_WidthFixed | ImGuiTableColumnFlags_NoResize,
                                std::max(96.0f, ImGui::CalcTextSize("SHORT_STRING").x + 8));
        ImGui::TableSetupColumn("Value", ImGuiTableColumnFlags_WidthStretch, 1.0f);
        ImGui::TableSetupColumn("", ImGuiTableColumnFlags_WidthFixed | ImGuiTableColumnFlags_NoResize, 24);
        ImGui::TableHeadersRow();
        std::optional<std::string> menuOpened;

        // Removed after the table, so the list does not change while it is drawn; one per frame.
        std::optional<std::string> removed;
        const int64_t now = inspector->now();
        for (const TagInspector::TagValue& tag : inspector->getTags()) {
            ImGui::TableNextRow();
            ImGui::PushID(tag.name.c_str());
            ImGui::TableSetColumnIndex(0);
            // The whole row answers a right-click; the boxes and the delete button take their own clicks.
            ImGui::Selectable("##row", false,
                              ImGuiSelectableFlags_SpanAllColumns | ImGuiSelectableFlags_AllowItemOverlap,
                              ImVec2(0, 20));
            if (ImGui::IsItemClicked(1)) {
                menuOpened = tag.name;
            }
            ImGui::SameLine(0, 0);
            if (!tag.isString) {
                // The trend box, in the colour of the row's line.
                bool trended = tag.trended;
                const ImVec4 colour = ImGui::ColorConvertU32ToFloat4(TrendView::colourOf(tag.colour));
                ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(1, 1));
                ImGui::PushStyleColor(ImGuiCol_CheckMark, colour);
                ImGui::PushStyleColor(ImGuiCol_Border, colour);
                if (ImGui::Checkbox("##trend", &trended)) {
                    inspector->setTrended(tag.name, trended);
                    trendShown = trendShown || trended;
                }
                ImGui::PopStyleColor(2);
                ImGui::PopStyleVar();
                trendRects.emplace_back(ImGui::GetItemRectMin().x, ImGui::GetItemRectMin().y,
                                        ImGui::GetItemRectMax().x, ImGui::GetItemRectMax().y);
            } else {
                trendRects.emplace_back(0, 0, 0, 0);
            }
            ImGui::TableSetColumnIndex(1);
            const std::string& name =
                drawnNames.emplace_back(fitFromEnd(tag.name, ImGui::GetContentRegionAvail().x));
            ImGui::TextUnformatted(name.c_str());
            nameRects.emplace_back(ImGui::GetItemRectMin().x, ImGui::GetItemRectMin().y,
                                   ImGui::GetItemRectMax().x, ImGui::GetItemRectMax().y);
            if (name != tag.name && ImGui::IsItemHovered()) {
                showTooltip(tag.name.c_str());
            }
            ImGui::TableSetColumnIndex(2);
            ImGui::TextUnformatted(tag.typeName.c_str());
            ImGui::TableSetColumnIndex(3);
            drawValue(tag, now);
            ImGui::TableSetColumnIndex(4);
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
        if (!menuOpened && ImGui::IsMouseClicked(1) && ImGui::IsWindowHovered()) {
            menuOpened = std::string(); // below the rows: the list's own items only
        }
        if (menuOpened) {
            menuTag = *menuOpened;
            ImGui::OpenPopup("##watchmenu");
        }
    }
    drawMenu();
    drawFilePopups();
    panel->setPreferredSize(zelk::ui::Vec2{getActualSize().x, ImGui::GetCursorPosY()});
}
