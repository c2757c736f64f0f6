#include "Views/InspectorView.h"

#include <algorithm>
#include <cfloat>
#include <ctime>
#include <optional>

#include <cstdlib>
#include <filesystem>

#include <SDL.h>
#include <fmt/format.h>
#include <imgui_stdlib.h>

#include <zelk/ui/imgui_compat.h>

#include "AppState.h"
#include "AppStyle.h"
#include "AppTextures.h"
#include "Platform.h"
#include "Settings.h"
#include "ThreadPool.h"
#include "Views/TagInspector.h"
#include "Views/TrendView.h"
#include "WriteRecord.h"

InspectorView::InspectorView(zelk::ui::Widget* parent)
    : zelk::ui::Widget(parent), inspector(TagInspector::getInstance()) {
    const AppStyle* style = AppStyle::getInstance();
    const zelk::ui::Vec2 size = getActualSize();
    // One panel the size of the pane: the toolbar and the status line stay where they are, the table
    // scrolls its rows under its header, and a popup has the whole pane.
    panel = addHiddenChild<zelk::ui::ImGuiPanel>(zelk::ui::Vec2{0, 0}, size);
    style->applyToPanel(panel, style->getFontSizeSmall() * style->getImGuiFontScale());
    panel->setBuildImGuiFunction([this] { generateGui(); });
    deleteIcon = AppTextures::getSvg("icons/remove.svg", 256, 256);
    writer = std::make_unique<TagWriter>(AppState::getInstance(), &ThreadPool::instance(), inspector);
}

InspectorView::~InspectorView() = default;

void InspectorView::resized() {
    zelk::ui::Widget::resized();
    const zelk::ui::Vec2 size = getActualSize();
    panel->setPreferredSize(size);
}

void InspectorView::update() {
    zelk::ui::Widget::update();
    writer->update();
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
        filePopupRect = ImVec4(0, 0, 0, 0);
        return;
    }
    filePopupRect = ImVec4(ImGui::GetWindowPos().x, ImGui::GetWindowPos().y,
                           ImGui::GetWindowPos().x + ImGui::GetWindowSize().x,
                           ImGui::GetWindowPos().y + ImGui::GetWindowSize().y);
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
    const float room = ImGui::GetContentRegionAvail().x;
    std::string tooltip; // the whole value when the cell shows it cut
    switch (tag.state) {
    case TagInspector::RowState::Live: {
        if (tag.changedNs != 0 && now - tag.changedNs < changeHighlightNs) {
            ImGui::TableSetBgColor(ImGuiTableBgTarget_CellBg,
                                   (style->getWarningColor() & 0x00FFFFFFu) | 0x50000000u);
        }
        const std::string shown = inspector->shownValue(tag);
        cell = fitToWidth(shown, room);
        ImGui::TextUnformatted(cell.c_str());
        if (cell != shown) {
            tooltip = shown;
        }
        break;
    }
    case TagInspector::RowState::Stale:
    case TagInspector::RowState::Pending: {
        if (tag.lastGoodNs == 0) {
            cell = tag.state == TagInspector::RowState::Pending ? "" : "no value";
            ImGui::TextDisabled("%s", cell.c_str());
            break;
        }
        // The last good value, dimmed, with how long the controller has not answered or its age: it is
        // not the controller's value now. The value gives way before the note does.
        const int64_t waiting = inspector->waitingNs();
        const std::string note = waiting > 0 && tag.state == TagInspector::RowState::Stale
                                     ? fmt::format("  (no reply for {} s)", waiting / 1'000'000'000)
                                     : fmt::format("  ({})", ageText(now - tag.lastGoodNs));
        const std::string shown = inspector->shownValue(tag);
        const std::string value = fitToWidth(shown, room - ImGui::CalcTextSize(note.c_str()).x);
        cell = value + note;
        ImGui::TextDisabled("%s", cell.c_str());
        const std::time_t seconds = static_cast<std::time_t>(tag.lastGoodNs / 1'000'000'000);
        std::tm local{};
        platform::localTime(seconds, &local);
        tooltip = fmt::format("{}Last read at {:02}:{:02}:{:02}", value != shown ? shown + "\n" : "",
                              local.tm_hour, local.tm_min, local.tm_sec);
        break;
    }
    case TagInspector::RowState::Error:
        ImGui::PushStyleColor(ImGuiCol_Text, ImGui::ColorConvertU32ToFloat4(style->getErrorColor()));
        cell = fitToWidth(tag.error, room);
        ImGui::TextUnformatted(cell.c_str());
        ImGui::PopStyleColor();
        if (cell != tag.error) {
            tooltip = tag.error;
        }
        break;
    }
    if (!tooltip.empty() && ImGui::IsItemHovered()) {
        showTooltip(tooltip.c_str());
    }
}

std::string InspectorView::fitToWidth(const std::string& text, float width) { return ellipsized(text, width); }

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
    {
        const bool chosen = ImGui::MenuItem("Write history");
        menuItems.emplace_back("Write history", ImVec4(ImGui::GetItemRectMin().x, ImGui::GetItemRectMin().y,
                                                       ImGui::GetItemRectMax().x, ImGui::GetItemRectMax().y));
        openHistory = openHistory || chosen;
    }
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
        // Writing: a BOOL set to 1 or 0, and the row's last write undone; each confirmed like an edit.
        auto writeItem = [&](const std::string& text) {
            const bool chosen = ImGui::MenuItem(text.c_str(), nullptr, false, writer->isEnabled());
            menuItems.emplace_back(text, ImVec4(ImGui::GetItemRectMin().x, ImGui::GetItemRectMin().y,
                                                ImGui::GetItemRectMax().x, ImGui::GetItemRectMax().y));
            return chosen;
        };
        const bool isBool =
            !row->isString && zelkc_logix_tag_atomic_type(row->symbolType) == ZELKC_LOGIX_TYPE_BOOL;
        // An integer's base: how the value column shows it.
        const uint16_t atomic = zelkc_logix_tag_atomic_type(row->symbolType);
        if (!row->isString && integer_type(atomic)) {
            ImGui::Separator();
            const IntegerBase base = inspector->baseOf(row->name);
            const std::pair<const char*, IntegerBase> bases[] = {
                {"Decimal", IntegerBase::Decimal}, {"Hex (16#)", IntegerBase::Hex}, {"Binary (2#)", IntegerBase::Binary}};
            for (const auto& [text, choice] : bases) {
                const bool chosen = ImGui::MenuItem(text, nullptr, base == choice);
                menuItems.emplace_back(text, ImVec4(ImGui::GetItemRectMin().x, ImGui::GetItemRectMin().y,
                                                    ImGui::GetItemRectMax().x, ImGui::GetItemRectMax().y));
                if (chosen) {
                    inspector->setBase(row->name, choice);
                }
            }
        }
        const std::string* before = writer->undoFor(row->name);
        if (isBool || before != nullptr) {
            ImGui::Separator();
        }
        std::string asked;
        if (isBool && writeItem("Set to 1")) {
            asked = "1";
        }
        if (isBool && writeItem("Set to 0")) {
            asked = "0";
        }
        if (before != nullptr && writeItem(fmt::format("Write back {}", *before))) {
            asked = *before;
        }
        if (!asked.empty()) {
            const std::string problem = askToWrite(*row, asked);
            if (!problem.empty()) {
                listMessage = problem;
            }
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
    // In a narrow pane (an 800-wide window) the gaps shrink so that the Writes switch keeps its label.
    toolbarGap = ImGui::GetWindowWidth() < 480 ? 6.0f : 24.0f;
    ImGui::SetCursorPos(ImVec2(6, 5));
    ImGui::AlignTextToFramePadding();
    ImGui::TextUnformatted("Read every");
    ImGui::SameLine();
    ImGui::SetNextItemWidth(80);
    if (ImGui::Combo("##rate", &current, labels, 6)) {
        inspector->setIntervalMs(TagInspector::rateChoicesMs[current]);
    }
    ImGui::SameLine(0, toolbarGap);
    ImGui::Checkbox("Trend", &trendShown);
    buttons.emplace_back("Trend", ImVec4(ImGui::GetItemRectMin().x, ImGui::GetItemRectMin().y,
                                         ImGui::GetItemRectMax().x, ImGui::GetItemRectMax().y));
    ImGui::SameLine(0, toolbarGap);
    bool recordClicked = false;
    button(recorder.isRecording() ? "Stop" : "Record", &recordClicked);
    if (recordClicked && recorder.isRecording()) {
        recorder.stop();
        listMessage = fmt::format("Recorded to {}", recorder.path().string());
    } else if (recordClicked) {
        if (recordFolder.empty()) {
            fileAction = 3; // the folder is asked for once, then kept
            filePath = homeFolder() + "/orvane-recordings";
            openFilePopup = true;
        } else {
            startRecording(recordFolder, controllerName());
        }
    }
    drawWriteSwitch();
    if (!listMessage.empty()) {
        // A long message (a recording's path) keeps its end, the file's name; whole in a tooltip.
        ImGui::SameLine();
        const std::string shown = fitFromEnd(listMessage, ImGui::GetContentRegionAvail().x - 4);
        ImGui::TextDisabled("%s", shown.c_str());
        if (shown != listMessage && ImGui::IsItemHovered()) {
            showTooltip(listMessage.c_str());
        }
    }
    ImGui::SetCursorPosY(ImGui::GetCursorPosY() + 2);
}

void InspectorView::generateGui() {
    deleteRects.clear();
    drawnValues.clear();
    drawnNames.clear();
    nameRects.clear();
    trendRects.clear();
    buttons.clear();
    valueRects.clear();
    confirmText.clear();
    writeMarkShown = false;
    if (auto again = writer->takeAgain()) {
        confirming = std::move(again); // the value changed since it was shown: asked again
        openConfirm = true;
    }
    if (!writer->isEnabled()) {
        editTag.clear();
    }
    drawToolbar();
    constexpr ImGuiTableFlags flags =
        ImGuiTableFlags_Resizable | ImGuiTableFlags_RowBg | ImGuiTableFlags_Borders;
    // The table leaves the scroll bar's strip free at the right.
    // The rows scroll inside the table under its header; the status line keeps the last line.
    const float statusHeight = ImGui::GetTextLineHeightWithSpacing() + 6;
    const ImVec2 outer(ImGui::GetContentRegionAvail().x,
                       std::max(ImGui::GetFrameHeight() * 2, ImGui::GetContentRegionAvail().y - statusHeight));
    std::optional<std::string> entered;   // the row whose editor took an Enter
    std::optional<std::string> editAsked; // the row asked to be edited (double-click, F2, Enter)
    bool editing = false;
    if (ImGui::BeginTable("Variables", 5, flags | ImGuiTableFlags_ScrollY, outer, 0)) {
        ImGui::TableSetupScrollFreeze(0, 1);
        ImGui::TableSetupColumn("", ImGuiTableColumnFlags_WidthFixed | ImGuiTableColumnFlags_NoResize, 20);
        ImGui::TableSetupColumn("Name", ImGuiTableColumnFlags_WidthStretch, 1.0f); // a long path keeps its end
        // The type starts wide enough for the longest type word; like the name and the value it can be
        // resized by dragging its border.
        ImGui::TableSetupColumn("Type", ImGuiTableColumnFlags_WidthFixed,
                                std::max(96.0f, ImGui::CalcTextSize("SHORT_STRING").x + 8));
        ImGui::TableSetupColumn("Value", ImGuiTableColumnFlags_WidthStretch, 1.0f);
        ImGui::TableSetupColumn("", ImGuiTableColumnFlags_WidthFixed | ImGuiTableColumnFlags_NoResize, 24);
        ImGui::TableHeadersRow();
        std::optional<std::string> menuOpened;

        // Removed after the table, so the list does not change while it is drawn; one per frame.
        std::optional<std::string> removed;
        const int64_t now = inspector->now();
        size_t rowIndex = 0;
        for (const TagInspector::TagValue& tag : inspector->getTags()) {
            ImGui::TableNextRow();
            ImGui::PushID(tag.name.c_str());
            const bool reveal = revealIndex && *revealIndex == rowIndex++;
            ImGui::TableSetColumnIndex(0);
            // The whole row answers a right-click; the boxes and the delete button take their own clicks.
            ImGui::Selectable("##row", tag.name == selectedTag,
                              ImGuiSelectableFlags_SpanAllColumns | ImGuiSelectableFlags_AllowItemOverlap,
                              ImVec2(0, 20));
            if (reveal) {
                ImGui::SetScrollHereY(0.5f); // about the row just submitted, not the frozen header
                revealIndex.reset();
            }
            if (ImGui::IsItemClicked(1)) {
                menuOpened = tag.name;
            }
            if (ImGui::IsItemClicked(0)) {
                selectedTag = tag.name;
            }
            const bool rowHovered = ImGui::IsItemHovered();
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
            const ImVec2 cell = ImGui::GetCursorScreenPos();
            const ImVec4 cellRect(cell.x, cell.y, cell.x + ImGui::GetContentRegionAvail().x, cell.y + 20);
            valueRects.push_back(cellRect);
            if (tag.name == editTag) {
                editing = true;
                ImGui::SetNextItemWidth(-FLT_MIN);
                if (editFocus) {
                    ImGui::SetKeyboardFocusHere();
                    editFocus = false;
                }
                const bool enter = ImGui::InputText("##edit", &editText,
                                                    ImGuiInputTextFlags_EnterReturnsTrue |
                                                        ImGuiInputTextFlags_AutoSelectAll);
                drawnValues.emplace_back(editText);
                if (enter) {
                    entered = tag.name;
                } else if (ImGui::IsItemDeactivated()) {
                    editTag.clear(); // Esc, or a click elsewhere: nothing asked
                }
                if (!editProblem.empty()) {
                    ImGui::PushStyleColor(ImGuiCol_Text, ImGui::ColorConvertU32ToFloat4(
                                                             AppStyle::getInstance()->getErrorColor()));
                    ImGui::TextUnformatted(editProblem.c_str());
                    ImGui::PopStyleColor();
                }
            } else {
                drawValue(tag, now);
                if (const TagWriter::RowNote* note = writer->noteFor(tag.name)) {
                    const AppStyle* style = AppStyle::getInstance();
                    uint32_t colour = style->getErrorColor();
                    if (note->outcome == TagWriter::Outcome::Written) {
                        colour = style->getSuccessColor();
                        if (now - note->atNs < changeHighlightNs) {
                            ImGui::TableSetBgColor(ImGuiTableBgTarget_CellBg,
                                                   (colour & 0x00FFFFFFu) | 0x50000000u);
                        }
                    } else if (note->outcome == TagWriter::Outcome::Differs) {
                        colour = style->getWarningColor();
                    }
                    ImGui::SameLine(0, 12);
                    ImGui::PushStyleColor(ImGuiCol_Text, ImGui::ColorConvertU32ToFloat4(colour));
                    // What room is left in the cell; the whole note is in the tooltip.
                    ImGui::TextUnformatted(fitToWidth(note->text, ImGui::GetContentRegionAvail().x).c_str());
                    ImGui::PopStyleColor();
                    if (ImGui::IsItemHovered()) {
                        showTooltip(note->text.c_str()); // a long reason does not fit the column
                    }
                    drawnValues.back() += "  " + note->text;
                }
                const ImVec2 mouse = ImGui::GetIO().MousePos;
                if (rowHovered && ImGui::IsMouseDoubleClicked(0) && mouse.x >= cellRect.x &&
                    mouse.x < cellRect.z) {
                    editAsked = tag.name;
                }
            }
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
        if (inspector->getTags().empty()) {
            ImGui::TableNextRow();
            ImGui::TableSetColumnIndex(1);
            ImGui::TextDisabled("Click a tag in the tree to watch it; right-click here to open a watch list");
        }
        ImGui::EndTable();
        if (writer->isEnabled()) {
            // While writes are on the table is framed in the warning colour.
            ImGui::GetWindowDrawList()->AddRect(ImGui::GetItemRectMin(), ImGui::GetItemRectMax(),
                                                AppStyle::getInstance()->getWarningColor(), 0, 0, 3);
            writeMarkShown = true;
        }
        if (!editing) {
            editTag.clear(); // the edited row is gone
        }
        if (entered) {
            const auto& tags = inspector->getTags();
            const auto row = std::find_if(tags.begin(), tags.end(), [&](const TagInspector::TagValue& t) {
                return t.name == *entered;
            });
            editProblem = row != tags.end() ? askToWrite(*row, editText) : std::string("the row is gone");
            if (editProblem.empty()) {
                editTag.clear();
            } else {
                editFocus = true; // stays open to be corrected
            }
        } else if (editTag.empty() && !confirming && !selectedTag.empty() && ImGui::IsWindowFocused(ImGuiFocusedFlags_ChildWindows) &&
                   !ImGui::GetIO().WantTextInput &&
                   !ImGui::IsPopupOpen(nullptr, ImGuiPopupFlags_AnyPopupId) &&
                   (ImGui::IsKeyPressed(SDL_SCANCODE_F2, false) ||
                    ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_Enter), false))) {
            editAsked = selectedTag;
        }
        if (editAsked) {
            const auto& tags = inspector->getTags();
            const auto row = std::find_if(tags.begin(), tags.end(), [&](const TagInspector::TagValue& t) {
                return t.name == *editAsked;
            });
            if (row != tags.end()) {
                beginEdit(*row);
            }
        }
        if (removed) {
            inspector->removeTag(removed->c_str());
        }
        if (!menuOpened && ImGui::IsMouseClicked(1) && ImGui::IsWindowHovered(ImGuiHoveredFlags_ChildWindows)) {
            menuOpened = std::string(); // below the rows: the list's own items only
        }
        if (menuOpened) {
            menuTag = *menuOpened;
            ImGui::OpenPopup("##watchmenu");
        }
    }
    drawStatusLine();
    drawMenu();
    drawFilePopups();
    drawWritePopups();
    drawHistory();
}

void InspectorView::drawStatusLine() {
    // The figures change once a cycle (or with the connection); only the wait for a missing reply
    // counts on by itself.
    const int64_t waiting = inspector->waitingNs();
    const bool up = AppState::getInstance()->getStatus();
    if (inspector->cyclesTaken() != statusCycles || waiting > 0 || statusWasWaiting || up != statusUp) {
        statusCycles = inspector->cyclesTaken();
        statusWasWaiting = waiting > 0;
        statusUp = up;
        const int64_t achieved = inspector->achievedIntervalNs();
        const int64_t asked = static_cast<int64_t>(inspector->getIntervalMs()) * 1'000'000;
        size_t reads = 0;
        size_t errors = 0;
        for (const auto& tag : inspector->getTags()) {
            reads += tag.state == TagInspector::RowState::Live || tag.state == TagInspector::RowState::Error;
            errors += tag.state == TagInspector::RowState::Error;
        }
        paceText = achieved > asked + asked / 4 && achieved > 0
                       ? fmt::format("the controller allows every {:.2g} s", static_cast<double>(achieved) / 1e9)
                       : std::string();
        if (waiting > 0) {
            statusLine = fmt::format("no reply for {} s", waiting / 1'000'000'000);
        } else if (achieved > 0 && up) {
            statusLine = fmt::format("cycle {:.2f} s \u00b7 {:.0f} reads/s \u00b7 {} tag{} in error",
                                     static_cast<double>(achieved) / 1e9,
                                     static_cast<double>(reads) * 1e9 / static_cast<double>(achieved), errors,
                                     errors == 1 ? "" : "s");
        } else {
            statusLine.clear();
        }
    }
    ImGui::SetCursorPos(ImVec2(6, ImGui::GetWindowHeight() - ImGui::GetTextLineHeightWithSpacing() - 2));
    const bool warn = statusWasWaiting || !paceText.empty();
    if (warn) {
        ImGui::PushStyleColor(ImGuiCol_Text,
                              ImGui::ColorConvertU32ToFloat4(AppStyle::getInstance()->getWarningColor()));
    }
    const std::string line = paceText.empty() || statusWasWaiting ? statusLine : statusLine + " \u00b7 " + paceText;
    ImGui::TextUnformatted(line.c_str());
    shownStatusLine = line;
    if (warn) {
        ImGui::PopStyleColor();
    }
}

namespace {
// A modal in the look of the views' popups, with room round its text (the panels have no padding).
bool beginModal(const char* title) {
    ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(14, 12));
    const bool open = ImGui::BeginPopupModal(title, nullptr, ImGuiWindowFlags_AlwaysAutoResize);
    ImGui::PopStyleVar();
    return open;
}
} // namespace

void InspectorView::button(const char* label, bool* clicked) {
    *clicked = ImGui::Button(label) || *clicked;
    buttons.emplace_back(label, ImVec4(ImGui::GetItemRectMin().x, ImGui::GetItemRectMin().y,
                                       ImGui::GetItemRectMax().x, ImGui::GetItemRectMax().y));
}

void InspectorView::drawWriteSwitch() {
    ImGui::SameLine(0, toolbarGap);
    bool on = writer->isEnabled();
    // Turning on needs a controller to name; turning off is always possible.
    ImGui::BeginDisabled(!on && !AppState::getInstance()->getStatus());
    if (ImGui::Checkbox("Writes", &on)) {
        if (on) {
            openAllow = true; // on only once the user has allowed this controller
        } else {
            writer->disable(std::string());
        }
    }
    ImGui::EndDisabled();
    buttons.emplace_back("Writes", ImVec4(ImGui::GetItemRectMin().x, ImGui::GetItemRectMin().y,
                                          ImGui::GetItemRectMax().x, ImGui::GetItemRectMax().y));
    if (writer->isEnabled()) {
        ImGui::SameLine();
        ImGui::PushStyleColor(ImGuiCol_Text,
                              ImGui::ColorConvertU32ToFloat4(AppStyle::getInstance()->getWarningColor()));
        ImGui::TextUnformatted("WRITES ON");
        ImGui::PopStyleColor();
    } else if (!writer->offReason().empty()) {
        // Cut to the room left, whole in a tooltip.
        ImGui::SameLine();
        const std::string text = fmt::format("Writes turned off: {}", writer->offReason());
        const std::string shown = fitToWidth(text, ImGui::GetContentRegionAvail().x - 4);
        ImGui::TextDisabled("%s", shown.c_str());
        if (shown != text && ImGui::IsItemHovered()) {
            showTooltip(text.c_str());
        }
    }
}

void InspectorView::beginEdit(const TagInspector::TagValue& row) {
    if (!writer->isEnabled()) {
        listMessage = "Turn Writes on to change values";
    } else if (!TagWriter::editable(row)) {
        listMessage = fmt::format("A {} cannot be changed here", row.typeName);
    } else if (row.state != TagInspector::RowState::Live) {
        listMessage = fmt::format("The value of {} is not known now", row.name);
    } else {
        editTag = row.name;
        editText = row.value;
        editProblem.clear();
        editFocus = true;
    }
}

std::string InspectorView::askToWrite(const TagInspector::TagValue& row, const std::string& text) {
    if (!writer->isEnabled()) {
        return "writes are off";
    }
    if (row.state != TagInspector::RowState::Live) {
        return fmt::format("the value of {} is not known now", row.name);
    }
    TagWriter::Request request;
    std::string problem;
    if (!TagWriter::prepare(row, text, &request, &problem)) {
        return problem;
    }
    confirming = std::move(request);
    openConfirm = true;
    return std::string();
}

void InspectorView::drawWritePopups() {
    // A popup's keys count from the frame after it opened: not the Enter that asked for it.
    auto enter = [this] {
        return ImGui::GetFrameCount() > confirmFrame &&
               (ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_Enter), false) ||
                ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_KeyPadEnter), false));
    };
    auto escape = [this] {
        return ImGui::GetFrameCount() > confirmFrame &&
               ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_Escape), false);
    };

    if (openAllow) {
        openAllow = false;
        allowRevision = AppState::getInstance()->connectionRevision();
        allowQuestion = writer->allowQuestion();
        confirmFrame = ImGui::GetFrameCount();
        ImGui::OpenPopup("Allow writes");
    }
    if (beginModal("Allow writes")) {
        confirmText = allowQuestion;
        ImGui::TextUnformatted(allowQuestion.c_str());
        ImGui::TextDisabled("Every change is still shown and confirmed before it is written.");
        bool allow = false;
        bool cancel = false;
        button("Allow", &allow);
        ImGui::SameLine();
        button("Cancel", &cancel);
        // The controller asked about is the only one allowed: a connection changed meanwhile is not.
        if (allow || cancel || escape() || AppState::getInstance()->connectionRevision() != allowRevision) {
            if (allow) {
                writer->enable(allowRevision);
            }
            ImGui::CloseCurrentPopup();
        }
        ImGui::EndPopup();
    }

    if (confirming && !writer->isEnabled()) {
        writer->start(*confirming); // refused at once, and recorded: nothing waits to be sent later
        confirming.reset();
    }
    if (openConfirm && confirming) {
        openConfirm = false;
        confirmFrame = ImGui::GetFrameCount();
        ImGui::OpenPopup("Confirm write");
    }
    if (beginModal("Confirm write")) {
        if (!confirming) {
            ImGui::CloseCurrentPopup();
            ImGui::EndPopup();
            return;
        }
        const TagWriter::Request& r = *confirming;
        if (!r.changedFrom.empty()) {
            const std::string changed =
                fmt::format("{} changed from {} to {} since it was shown; nothing was written.", r.tag,
                            r.changedFrom, r.seen);
            ImGui::PushStyleColor(ImGuiCol_Text,
                                  ImGui::ColorConvertU32ToFloat4(AppStyle::getInstance()->getWarningColor()));
            ImGui::TextUnformatted(changed.c_str());
            ImGui::PopStyleColor();
            confirmText = changed + "\n";
        }
        const std::string change = fmt::format("{}: {} \u2192 {}", r.tag, r.seen, r.asked);
        ImGui::TextUnformatted(change.c_str());
        confirmText += change;
        if (!r.note.empty()) {
            ImGui::TextDisabled("%s", r.note.c_str());
            confirmText += "\n" + r.note;
        }
        bool write = false;
        bool cancel = false;
        button("Write", &write);
        ImGui::SameLine();
        button("Cancel", &cancel);
        if (write || enter()) {
            writer->start(r);
            confirming.reset();
            ImGui::CloseCurrentPopup();
        } else if (cancel || escape()) {
            confirming.reset();
            ImGui::CloseCurrentPopup();
        }
        ImGui::EndPopup();
    }
}

void InspectorView::drawHistory() {
    if (openHistory) {
        openHistory = false;
        historyLines.clear();
        for (const WriteRecordEntry& e : readWriteRecordTail(historyLength)) {
            std::string line = fmt::format("{}  {}  {}  {} \u2192 {}  {}", e.timeUtc, e.address, e.tag,
                                           e.before, e.asked, e.result);
            if (!e.reason.empty()) {
                line += ": " + e.reason;
            }
            if (!e.readBack.empty() && e.readBack != e.asked) {
                line += fmt::format(" (read back {})", e.readBack);
            }
            historyLines.push_back(std::move(line));
        }
        confirmFrame = ImGui::GetFrameCount();
        ImGui::OpenPopup("Write history");
    }
    if (beginModal("Write history")) {
        if (historyLines.empty()) {
            ImGui::TextDisabled("No writes recorded yet (%s)", writeRecordPath().string().c_str());
        }
        for (const std::string& line : historyLines) {
            ImGui::TextUnformatted(line.c_str());
        }
        bool close = false;
        button("Close", &close);
        if (close || (ImGui::GetFrameCount() > confirmFrame &&
                      ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_Escape), false))) {
            ImGui::CloseCurrentPopup();
        }
        ImGui::EndPopup();
    }
}
