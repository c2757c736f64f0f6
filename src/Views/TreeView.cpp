#include "Views/TreeView.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <iterator>
#include <utility>

#include <fmt/format.h>
#include <imgui.h>
#include <imgui_internal.h>
#include <zelk/ui/Application.h>

#include "AppState.h"
#include "AppStyle.h"
#include "ThreadPool.h"
#include "Views/InputText.h"
#include "Views/ListHandoff.h"
#include "Views/Spinner.h"
#include "Views/TagInspector.h"

namespace {
constexpr int centre = static_cast<int>(zelk::ui::Stack::Alignment::Center);
constexpr int centred = static_cast<int>(zelk::ui::Stack::Distribution::Center);
} // namespace

TreeView::TreeView(zelk::ui::Widget* parent)
    : zelk::ui::Widget(parent), appState(AppState::getInstance()), threadPool(&ThreadPool::instance()),
      inspector(TagInspector::getInstance()) {
    const AppStyle* style = AppStyle::getInstance();
    const zelk::ui::Vec2 size = getActualSize();
    const float fontSize = style->getFontSizeNormal() * style->getImGuiFontScale();

    spinnerStack = addHiddenChild<zelk::ui::Stack>();
    spinnerStack->setDistribution(centred);
    spinnerStack->setAlignment(centre);
    spinnerStack->addChild<Spinner>(zelk::ui::Vec2{0, 0}, zelk::ui::Vec2{64, 64});

    filterPanel =
        addHiddenChild<zelk::ui::ImGuiPanel>(zelk::ui::Vec2{0, 0}, zelk::ui::Vec2{size.x, filterHeight});
    filterPanel->setVisible(false);
    style->applyToPanel(filterPanel, fontSize);
    filterPanel->setBuildImGuiFunction([this] { buildFilter(); });

    scrollView = addHiddenChild<zelk::ui::ScrollView>(zelk::ui::Vec2{0, filterHeight},
                                                      zelk::ui::Vec2{size.x, size.y - filterHeight});
    scrollView->setVisible(false);

    treePanel = scrollView->addChild<zelk::ui::ImGuiPanel>(zelk::ui::Vec2{0, 0}, size);
    style->applyToPanel(treePanel, fontSize);
    treePanel->setBuildImGuiFunction([this] { generateGui(); });
}

TreeView::~TreeView() {
    inspector->clear();
    while (!rootItems.empty()) {
        rootItems.pop_back();
    }
    zelkc_logix_tag_info_list_free(&tagList);
}

void TreeView::resized() {
    zelk::ui::Widget::resized();
    const zelk::ui::Vec2 size = getActualSize();
    treePanel->setPreferredSize(zelk::ui::Vec2{size.x, treePanel->getPreferredSize().y});
    spinnerStack->setPreferredSize(size);
    scrollView->setPreferredSize(zelk::ui::Vec2{size.x, size.y - filterHeight});
    filterPanel->setPreferredSize(zelk::ui::Vec2{size.x, filterHeight});
}

void TreeView::update() {
    zelk::ui::Widget::update();
    if (enterRows) {
        enterRows = false;
        if (!lastRows.empty() && getWindow() != nullptr) {
            getWindow()->setFocus(treePanel);
            if (getSelected() == nullptr) {
                select(lastRows.front().item);
            }
            revealSelection = true;
        }
    }

    const bool busy = loading.load();
    treePanel->setVisible(!busy);
    scrollView->setVisible(!busy);
    spinnerStack->setVisible(busy);
    filterPanel->setVisible(!busy && !rootItems.empty());
    if (!filterPanel->isVisible()) {
        shownNotice.clear();
    }

    const LinkSnapshot link = appState->snapshot();
    live = link.state == LinkState::Connected;
    if (live && !busy && !refreshing.load()) {
        if (link.controllerEpoch != loadedEpoch) {
            // A connect by the user, or another controller behind the address: a fresh start.
            loadedEpoch = link.controllerEpoch;
            loadedRevision = link.revision;
            inspector->clear();
            hint.clear(); // what it said was about the previous controller's rows
            // Set here, not only in the task, so that no second browse is queued before it starts.
            loading.store(true);
            try {
                threadPool->execute(lifetime(), [this] { loadData(); });
            } catch (const std::exception&) {
                loading.store(false);
            }
        } else if (link.revision != loadedRevision) {
            // Back on the same controller: the rows and the watch list stay; a quiet browse replaces
            // the rows only if the tag database changed meanwhile.
            loadedRevision = link.revision;
            refreshing.store(true);
            try {
                threadPool->execute(lifetime(), [this] { loadData(true); });
            } catch (const std::exception&) {
                refreshing.store(false);
            }
        }
    }
    if (!live && !rootItems.empty() && !link.lastHost.empty()) {
        lastConnected = fmt::format("last connected: {}:{}{}", link.lastHost, link.lastPort,
                                    link.lastSlot >= 0 ? fmt::format("/{}", link.lastSlot) : std::string());
    } else {
        lastConnected.clear();
    }
    // The whole reason of a failure or a loss: the bar has room for a few words only.
    failure = live || link.reason.empty() ? std::string() : link.reason;

    inspector->update();
    // After the browse for this controller (loading is set above when it starts) and its programs'.
    if (restorePendingFlag && live && !loading.load() && !refreshing.load() &&
        loadedEpoch == link.controllerEpoch && !rootItems.empty() &&
        std::none_of(rootItems.begin(), rootItems.end(), [](const auto& item) { return item->isBusy(); })) {
        if (const size_t missing = restorePending(); missing > 0) {
            hint = fmt::format("{} remembered tag{} not in this controller", missing,
                               missing == 1 ? " is" : "s are");
        }
    }

    // A program's tags that came in while a search is shown were filtered as they came; the search runs
    // again over all rows so that the Programs group and the count take them in too.
    size_t browsing = 0;
    if (!filterText.empty() && !rootItems.empty() && dynamic_cast<GroupItem*>(rootItems.back().get()) != nullptr) {
        for (const auto& program : rootItems.back()->children()) {
            browsing += program->isBusy() ? 1 : 0;
        }
    }
    if (browsing < busyPrograms && !filterText.empty()) {
        applyFilter(true);
    }
    busyPrograms = browsing;
    if (filterText != appliedFilter) {
        applyFilter(false);
    }
    if (hintItem != nullptr && hint != rowHint) {
        hintItem = nullptr; // another line took the hint's place
    }
    if (hintItem != nullptr && !busy &&
        (hintAlive.expired() || std::none_of(lastRows.begin(), lastRows.end(),
                                             [&](const TreeDraw::Row& r) { return r.item == hintItem; }))) {
        hint.clear(); // a hint about a row lasts as long as the row is there and shown
        hintItem = nullptr;
    }
}

void TreeView::applyFilter(bool fresh) {
    TreeFilter run;
    run.text = filterText;
    // A text that only grew finds a part of what the last one found: rows hidden stay hidden.
    run.refine = !fresh && !appliedFilter.empty() && filterText.find(appliedFilter) != std::string::npos;
    if (filterText.empty()) {
        for (auto& item : rootItems) {
            item->closeAutoOpened();
        }
    }
    for (auto& item : rootItems) {
        item->filter(run, false);
    }
    appliedFilter = filterText;
    if (filterText.empty()) {
        matchText.clear();
    } else {
        matchText = run.matches == 0 ? std::string("no tags")
                                     : fmt::format("{} tag{}", run.matches, run.matches == 1 ? "" : "s");
    }
    filterNotice = run.hiddenMatches == 0
                       ? std::string()
                       : fmt::format("{} more matches are in closed rows: type more to narrow the search",
                                     run.hiddenMatches);
}

void TreeView::buildFilter() {
    const float clearWidth = ImGui::GetFrameHeight();
    const float spacing = ImGui::GetStyle().ItemSpacing.x;
    const float countWidth = matchText.empty() ? 0.0f : ImGui::CalcTextSize(matchText.c_str()).x + spacing;
    const ImGuiID field = ImGui::GetID("##TagFilter");
    if (ImGui::GetActiveID() == field && ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_Escape), false)) {
        // Esc empties the search (ImGui's own Esc would only undo the typing since the last click).
        filterText.clear();
        ImGui::ClearActiveID();
    }
    if (ImGui::GetActiveID() == field && ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_DownArrow), false)) {
        // The keyboard's own way into the rows: the first row is selected, nothing is watched.
        ImGui::ClearActiveID();
        enterRows = true;
    }
    ImGui::SetNextItemWidth(
        std::max(40.0f, ImGui::GetContentRegionAvail().x - countWidth - clearWidth - spacing));
    ImGui::InputTextWithHint("##TagFilter", "Search tags...", &filterText, 0, nullptr, nullptr);
    if (filterText != appliedFilter) {
        applyFilter(false); // here, before the rows are laid out: they show the new text this frame
    }
    if (!matchText.empty()) {
        ImGui::SameLine();
        ImGui::TextDisabled("%s", matchText.c_str());
    }
    ImGui::SameLine();
    ImGui::BeginDisabled(filterText.empty());
    if (ImGui::Button("\u00d7##clear", ImVec2(clearWidth, 0))) {
        filterText.clear();
    }
    if (ImGui::IsItemHovered()) {
        showTooltip("Clear the search (Esc)");
    }
    ImGui::EndDisabled();
    drawNoticeLine();
}

namespace {
bool sameTag(const zelkc_logix_tag_info& a, const zelkc_logix_tag_info& b);

bool sameTags(const zelkc_logix_tag_info* a, uint32_t na, const zelkc_logix_tag_info* b, uint32_t nb) {
    if (na != nb) {
        return false;
    }
    for (uint32_t i = 0; i < na; ++i) {
        if (!sameTag(a[i], b[i])) {
            return false;
        }
    }
    return true;
}

bool sameText(const char* a, const char* b) {
    return (a == nullptr || b == nullptr) ? a == b : std::strcmp(a, b) == 0;
}

bool sameTag(const zelkc_logix_tag_info& a, const zelkc_logix_tag_info& b) {
    return a.symbol_type == b.symbol_type && sameText(a.name, b.name) && sameText(a.type_name, b.type_name) &&
           std::equal(std::begin(a.dims), std::end(a.dims), std::begin(b.dims)) &&
           sameTags(a.children, a.child_count, b.children, b.child_count);
}
} // namespace

bool TreeView::sameDatabase(const zelkc_logix_tag_info_list& a, const zelkc_logix_tag_info_list& b) {
    return sameTags(a.items, a.count, b.items, b.count);
}

void TreeView::loadData(bool quiet) {
    if (!quiet) {
        loading.store(true);
    }
    std::weak_ptr<void> token = lifetime();
    auto handoff = std::make_shared<ListHandoff>();
    uint8_t result = ZELKC_LOGIX_ERR_UNKNOWN;
    uint32_t skipped = 0;
    try {
        result = appState->exchangeLanes(
            [&](zelkc_logix_lanes* lanes) {
                zelkc_logix_tag_info_list_free(&handoff->list);
                const uint8_t rc = zelkc_logix_lanes_browse_global_tags(lanes, &handoff->list);
                skipped = zelkc_logix_client_last_browse_skipped_templates(lanes->clients[0]);
                return rc;
            },
            appState->connectionRevision());
    } catch (const std::exception&) {
        result = ZELKC_LOGIX_ERR_UNKNOWN;
    }
    zelk::ui::Application::dispatchToMainThread([this, token, result, skipped, handoff, quiet] {
        if (token.expired()) {
            return; // the view is gone; the handoff frees the list
        }
        if (quiet && result != 0) {
            refreshing.store(false);
            return; // the rows stay; the connection's state tells what happened
        }
        if (result == 0) {
            notice.clear();
            if (skipped > 0) {
                notice =
                    fmt::format("{} data type{} could not be read from the controller; {} tags are shown "
                                "without members",
                                skipped, skipped == 1 ? "" : "s", skipped == 1 ? "its" : "their");
            }
            if (!quiet || !sameDatabase(tagList, handoff->list)) {
                takeBrowse(handoff->take());
            }
        } else {
            // Rows of an earlier browse stay; the line says why nothing new came.
            notice =
                fmt::format("Browse failed: {}. Reconnect to try again", zelkc_logix_result_text(result));
        }
        (quiet ? refreshing : loading).store(false);
    });
}

void TreeView::takeBrowse(zelkc_logix_tag_info_list list) {
    lastRows.clear(); // they point into the rows about to go
    selected = nullptr;
    selectedAlive.reset();
    menuRow = nullptr;
    while (!rootItems.empty()) {
        rootItems.pop_back();
    }
    zelkc_logix_tag_info_list_free(&tagList);
    tagList = list;
    std::vector<std::unique_ptr<TreeItem>> programs;
    std::vector<DatablockItem*> browsed;
    for (uint32_t i = 0; i < tagList.count; ++i) {
        zelkc_logix_tag_info* entry = &tagList.items[i];
        if (zelkc_logix_tag_is_program(entry->symbol_type)) {
            auto program = std::make_unique<DatablockItem>(entry);
            browsed.push_back(program.get());
            programs.push_back(std::move(program));
        } else {
            rootItems.push_back(std::make_unique<TagItem>(std::string(), entry));
        }
    }
    // Controller tags first, then the programs in their group, each by name.
    sortRowsByName(rootItems);
    DatablockItem::loadAll(browsed);
    if (!programs.empty()) {
        sortRowsByName(programs);
        rootItems.push_back(std::make_unique<GroupItem>("Programs", std::move(programs)));
    }
    if (!filterText.empty()) {
        applyFilter(true);
    }
}

void TreeView::restoreWatchList(std::vector<std::string> paths) {
    pendingRestore = std::move(paths);
    restorePendingFlag = true;
}

void TreeView::applyWatchList(std::vector<std::string> paths) {
    if (rootItems.empty()) {
        hint = "Connect to a controller to open a watch list";
        return;
    }
    pendingRestore = std::move(paths);
    const size_t before = inspector->getTags().size();
    const size_t missing = restorePending();
    const size_t added = inspector->getTags().size() - before;
    hint = fmt::format("Added {} tag{} from the list", added, added == 1 ? "" : "s");
    if (missing > 0) {
        hint += fmt::format("; {} {} not in this controller", missing, missing == 1 ? "is" : "are");
    }
}

size_t TreeView::restorePending() {
    size_t missing = 0;
    for (const std::string& path : pendingRestore) {
        auto* tag = dynamic_cast<TagItem*>(findRow(path));
        if (tag != nullptr && tag->isWatchable()) {
            inspector->addTag(tag->getInfo(), tag->getPath());
        } else {
            ++missing;
        }
    }
    pendingRestore.clear();
    restorePendingFlag = false;
    return missing;
}

TreeItem* TreeView::findRow(const std::string& path) {
    const std::vector<std::unique_ptr<TreeItem>>* level = &rootItems;
    std::string_view rest = path;
    auto child = [](const std::vector<std::unique_ptr<TreeItem>>& rows, std::string_view label) -> TreeItem* {
        for (const auto& row : rows) {
            if (row->label() == label) {
                return row.get();
            }
        }
        return nullptr;
    };
    constexpr std::string_view program = "Program:";
    if (rest.substr(0, program.size()) == program) {
        rest.remove_prefix(program.size());
        const size_t dot = rest.find('.');
        if (dot == std::string_view::npos || rootItems.empty()) {
            return nullptr;
        }
        TreeItem* found = child(rootItems.back()->children(), rest.substr(0, dot)); // the Programs group
        if (found == nullptr) {
            return nullptr;
        }
        level = &found->children();
        rest.remove_prefix(dot + 1);
    }
    TreeItem* row = nullptr;
    while (!rest.empty()) {
        size_t end = 0;
        if (rest[0] == '[') {
            end = rest.find(']');
            end = end == std::string_view::npos ? rest.size() : end + 1;
        } else {
            if (rest[0] == '.') {
                if (row == nullptr) {
                    return nullptr;
                }
                rest.remove_prefix(1);
            }
            end = std::min(rest.find('.'), rest.find('['));
            end = end == std::string_view::npos ? rest.size() : end;
        }
        if (row != nullptr) {
            auto* tag = dynamic_cast<TagItem*>(row);
            if (tag == nullptr) {
                return nullptr;
            }
            tag->loadChildren();
            level = &tag->children();
        }
        row = child(*level, rest.substr(0, end));
        if (row == nullptr) {
            return nullptr;
        }
        rest.remove_prefix(end);
    }
    return row;
}

void TreeView::select(TreeItem* row) {
    selected = row;
    selectedAlive = row != nullptr ? row->lifetime() : std::weak_ptr<void>();
    revealSelection = row != nullptr;
}

void TreeView::revealRow(const TreeItem* row) {
    if (row == nullptr) {
        return;
    }
    const ImVec4 hit = row->hitRect();
    scrollView->revealBand(std::max(0.0f, hit.y - 6.0f), hit.w + 6.0f);
}

void TreeView::activate(TreeItem* row) {
    if (auto* more = dynamic_cast<MoreItem*>(row); more != nullptr) {
        more->activate(); // Enter on "Show more": the next page, made at the array's next drawing
        return;
    }
    auto* tag = dynamic_cast<TagItem*>(row);
    if (tag == nullptr) {
        return; // a program or the group: its arrow opens it
    }
    if (tag->isWatchable()) {
        inspector->addTag(tag->getInfo(), tag->getPath());
        hint.clear();
        return;
    }
    const bool array = zelkc_logix_tag_array_rank(tag->getInfo()->symbol_type) != 0;
    hint = fmt::format("{} is {} ({}): open it to pick {}, or right-click it and choose Watch all members",
                       tag->getPath(), array ? "an array" : "a structure", tag->typeText(),
                       array ? "an element" : "a member");
    // The hint goes with the row: a new browse or a search that hides the row takes it away.
    hintItem = tag;
    hintAlive = tag->lifetime();
    rowHint = hint;
}

void TreeView::watchAll(TagItem* row) {
    constexpr size_t leftOutCounted = 1000001;
    if (row == nullptr) {
        return;
    }
    size_t added = 0;
    size_t left = 0;
    std::string path = row->getPath();
    forEachWatchable(*row->getInfo(), path, [&](const zelkc_logix_tag_info& info, const std::string& at) {
        if (added >= watchAllLimit) {
            // Counted up to a bound: a device's dimensions can claim billions of elements.
            return ++left < leftOutCounted;
        }
        const uint64_t before = inspector->getRevision();
        inspector->addTag(&info, at);
        added += inspector->getRevision() != before ? 1 : 0;
        return true;
    });
    hint = fmt::format("Added {} tag{} to the watch list", added, added == 1 ? "" : "s");
    if (left > 0) {
        hint += fmt::format("; {}{} left out (at most {} at a time)", left >= leftOutCounted ? "over " : "",
                            left >= leftOutCounted ? left - 1 : left, watchAllLimit);
    }
}

void TreeView::handleKeys() {
    const ImGuiIO& io = ImGui::GetIO();
    auto pressed = [](ImGuiKey key) { return ImGui::IsKeyPressed(ImGui::GetKeyIndex(key), true); };
    TreeItem* current = getSelected();
    if (current != nullptr && io.KeyCtrl && pressed(ImGuiKey_C)) {
        ImGui::SetClipboardText(current->copyPath().c_str());
        return;
    }
    if (lastRows.empty()) {
        return;
    }
    const auto at = std::find_if(lastRows.begin(), lastRows.end(),
                                 [&](const TreeDraw::Row& r) { return r.item == current; });
    const long last = static_cast<long>(lastRows.size()) - 1;
    const long index = at == lastRows.end() ? -1 : static_cast<long>(at - lastRows.begin());
    const long page = std::max(1L, static_cast<long>(scrollView->getActualSize().y / rowPitch) - 1);
    long next = index;
    if (pressed(ImGuiKey_DownArrow)) {
        next = std::min(last, index + 1);
    } else if (pressed(ImGuiKey_UpArrow)) {
        next = std::max(0L, index - 1);
    } else if (pressed(ImGuiKey_PageDown)) {
        next = std::min(last, std::max(0L, index) + page);
    } else if (pressed(ImGuiKey_PageUp)) {
        next = std::max(0L, index - page);
    } else if (pressed(ImGuiKey_Home)) {
        next = 0;
    } else if (pressed(ImGuiKey_End)) {
        next = last;
    } else if (index >= 0 && pressed(ImGuiKey_RightArrow)) {
        if (current->canOpen() && !current->isOpen()) {
            current->requestOpen(true);
        } else if (index < last && lastRows[index + 1].depth > lastRows[index].depth) {
            next = index + 1; // already open: on to its first row
        }
    } else if (index >= 0 && pressed(ImGuiKey_LeftArrow)) {
        if (current->isOpen()) {
            current->requestOpen(false);
        } else {
            for (long i = index - 1; i >= 0; --i) { // closed: up to the row it is in
                if (lastRows[i].depth < lastRows[index].depth) {
                    next = i;
                    break;
                }
            }
        }
    } else if (index >= 0 && (pressed(ImGuiKey_Enter) || pressed(ImGuiKey_KeyPadEnter))) {
        auto* tag = dynamic_cast<TagItem*>(current);
        if (tag != nullptr && tag->isWatchable()) {
            activate(current);
        } else if (current->canOpen()) {
            current->requestOpen(!current->isOpen());
        }
    }
    if (next != index && next >= 0) {
        select(lastRows[static_cast<size_t>(next)].item);
    }
}

void TreeView::drawMenu() {
    menuItems.clear();
    if (menuAlive.expired()) {
        menuRow = nullptr;
    }
    if (!beginPopup("##rowmenu")) {
        return;
    }
    auto item = [&](const char* text, bool enabled = true) {
        const bool chosen = ImGui::MenuItem(text, nullptr, false, enabled);
        menuItems.emplace_back(text, ImVec4(ImGui::GetItemRectMin().x, ImGui::GetItemRectMin().y,
                                            ImGui::GetItemRectMax().x, ImGui::GetItemRectMax().y));
        return chosen;
    };
    if (menuRow != nullptr) {
        auto* tag = dynamic_cast<TagItem*>(menuRow);
        if (tag != nullptr) {
            if (item("Watch", tag->isWatchable())) {
                activate(tag);
            }
            if (item("Watch all members", tag->hasChildren())) {
                watchAll(tag);
            }
        }
        if (item("Copy path")) {
            ImGui::SetClipboardText(menuRow->copyPath().c_str());
        }
        if (item("Copy name")) {
            ImGui::SetClipboardText(menuRow->label().c_str());
        }
    }
    ImGui::EndPopup();
}

std::vector<std::pair<std::string, bool>> TreeView::noticeLines() const {
    // {text, whether it is an error}, the most important first: what failed (with where the rows came
    // from), a notice, the answer to the user's last click, the search's hidden matches.
    std::vector<std::pair<std::string, bool>> lines;
    if (!failure.empty()) {
        lines.emplace_back(lastConnected.empty() ? failure : failure + " \u00b7 " + lastConnected, true);
    }
    for (const auto& [text, error] : {std::pair{&notice, true}, {&hint, false}, {&filterNotice, false}}) {
        if (!text->empty()) {
            lines.emplace_back(*text, error);
        }
    }
    if (failure.empty() && !lastConnected.empty()) {
        lines.emplace_back(lastConnected, false);
    }
    return lines;
}

void TreeView::drawNoticeLine() {
    // One line of its own under the search field: the most important of the lines (a failure, where
    // the rows came from, a notice, the search's hidden matches, a hint), cut with an ellipsis; every
    // line in the tooltip.
    const auto lines = noticeLines();
    shownNotice.clear();
    if (lines.empty()) {
        return;
    }
    const AppStyle* style = AppStyle::getInstance();
    ImGui::SetCursorPosY(ImGui::GetWindowHeight() - ImGui::GetTextLineHeight() - 4.0f); // the panel's last line
    shownNotice = ellipsized(lines.front().first, ImGui::GetWindowWidth() - ImGui::GetCursorPosX() - 8.0f);
    ImGui::PushStyleColor(ImGuiCol_Text, ImGui::ColorConvertU32ToFloat4(
                                             lines.front().second ? style->getErrorColor() : style->getTextColorSecondary()));
    ImGui::TextUnformatted(shownNotice.c_str());
    ImGui::PopStyleColor();
    if (ImGui::IsItemHovered() && (lines.size() > 1 || shownNotice != lines.front().first)) {
        std::string all;
        for (const auto& [text, error] : lines) {
            all += (all.empty() ? "" : "\n") + text;
        }
        showTooltip(all.c_str());
    }
}

void TreeView::generateGui() {
    if (rootItems.empty() && !loading.load() && !live) {
        ImGui::TextDisabled("%s", emptyHint);
    }
    // With rows these lines are the search panel's one line (drawNoticeLine): the rows never move.
    if (rootItems.empty()) {
        for (const auto& [text, error] : noticeLines()) {
            const AppStyle* style = AppStyle::getInstance();
            ImGui::PushStyleColor(ImGuiCol_Text, ImGui::ColorConvertU32ToFloat4(
                                                     error ? style->getErrorColor() : style->getTextColorSecondary()));
            ImGui::TextWrapped("%s", text.c_str());
            ImGui::PopStyleColor();
        }
    }
    handleKeys();
    ImGui::PushStyleVar(ImGuiStyleVar_ItemSpacing, ImVec2(ImGui::GetStyle().ItemSpacing.x, 8));
    // Rows of a controller that is not connected now are dimmed: they may no longer be true.
    ImGui::PushStyleVar(ImGuiStyleVar_Alpha, live ? 1.0f : 0.5f);
    TreeDraw frame;
    frame.selected = getSelected();
    frame.rightEdge = ImGui::GetWindowPos().x + treePanel->getActualSize().x -
                      zelk::ui::ScrollView::kScrollbarWidth - ImGui::GetStyle().WindowPadding.x;
    frame.rows.reserve(lastRows.size());
    for (auto& item : rootItems) {
        item->draw(frame);
    }
    ImGui::PopStyleVar(2);
    if (frame.clicked != nullptr) {
        select(frame.clicked);
        revealSelection = false; // it was in view to be clicked
        activate(frame.clicked);
    }
    if (frame.menuRow != nullptr) {
        select(frame.menuRow);
        revealSelection = false;
        menuRow = frame.menuRow;
        menuAlive = menuRow->lifetime();
        // Opened above the pointer when the view's bottom edge is near, so that it shows whole.
        const float bottom = scrollView->getScrollOffset().y + scrollView->getActualSize().y;
        const ImVec2 mouse = ImGui::GetMousePos();
        ImGui::SetNextWindowPos(mouse, ImGuiCond_Always, ImVec2(0, mouse.y + 140 > bottom ? 1.0f : 0.0f));
        ImGui::OpenPopup("##rowmenu");
    }
    drawMenu();
    if (frame.rows.size() >= 2) {
        rowPitch = std::max(1.0f, frame.rows[1].item->hitRect().y - frame.rows[0].item->hitRect().y);
        scrollView->setScrollStep(3 * rowPitch); // three rows a wheel notch
    }
    lastRows = std::move(frame.rows);
    if (revealSelection && getSelected() != nullptr) {
        revealRow(getSelected());
        revealSelection = false;
    }
    // At least the view's height: a menu opened on a short (filtered) tree has the whole view.
    treePanel->setPreferredSize(
        zelk::ui::Vec2{getActualSize().x, std::max(ImGui::GetCursorPosY(), scrollView->getActualSize().y)});
}
