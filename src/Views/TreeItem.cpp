#include "Views/TreeItem.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <utility>

#include <fmt/format.h>
#include <zelk/ui/Application.h>
#include <zelk/ui/imgui_compat.h>

#include "AppState.h"
#include "AppStyle.h"
#include "AppTextures.h"
#include "TagFilter.h"
#include "ThreadPool.h"
#include "ValueText.h"
#include "Views/ListHandoff.h"

namespace {

constexpr float iconSize = 20.0f;
constexpr float typeGap = 16.0f; // at least this between a label and its type text
constexpr ImGuiTreeNodeFlags rowFlags = ImGuiTreeNodeFlags_OpenOnArrow | ImGuiTreeNodeFlags_SpanLabelWidth;

bool anyBusy(const std::vector<std::unique_ptr<TreeItem>>& items) {
    return std::any_of(items.begin(), items.end(), [](const auto& item) { return item->isBusy(); });
}

// One lookup for the many tag rows: the texture cache keeps its textures until the process ends.
const zelk::ui::Texture* tagIcon() {
    static const zelk::ui::Texture* icon = AppTextures::getSvg("icons/tag.svg", 256, 256);
    return icon;
}

const zelk::ui::Texture* folderIcon() {
    static const zelk::ui::Texture* icon = AppTextures::getSvg("icons/folder.svg", 256, 256);
    return icon;
}

// An element's record: the array's without the array bits and dimensions, with the same members.
zelkc_logix_tag_info elementOf(const zelkc_logix_tag_info& array) {
    zelkc_logix_tag_info element = array;
    element.symbol_type = static_cast<uint16_t>(element.symbol_type & 0x9FFF);
    element.dims[0] = element.dims[1] = element.dims[2] = 0;
    return element;
}

uint64_t saturatingMul(uint64_t a, uint64_t b) {
    uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

uint64_t elementCount(const zelkc_logix_tag_info& info) {
    uint64_t count = 1;
    for (uint32_t d = 0; d < zelkc_logix_tag_array_rank(info.symbol_type) && d < 3; ++d) {
        count = saturatingMul(count, info.dims[d]);
    }
    return count;
}

// The index text of element `ordinal` of `info` ("7", "1,2"), row-major (the last index counts
// fastest), into `out`.
void indexText(const zelkc_logix_tag_info& info, uint64_t ordinal, std::string& out) {
    const uint32_t rank = std::min<uint32_t>(zelkc_logix_tag_array_rank(info.symbol_type), 3);
    uint64_t index[3] = {0, 0, 0};
    for (uint32_t d = rank; d-- > 0;) {
        const uint64_t size = info.dims[d] == 0 ? 1 : info.dims[d];
        index[d] = ordinal % size;
        ordinal /= size;
    }
    out.clear();
    for (uint32_t d = 0; d < rank; ++d) {
        if (d > 0) {
            out += ',';
        }
        out += std::to_string(index[d]);
    }
}

// Calls `each(indexText)` for the elements of `info` from ordinal `first` up to (not including)
// `end`, in tree order, while it returns true.
template <typename Each>
bool forEachIndex(const zelkc_logix_tag_info& info, uint64_t first, uint64_t end, Each&& each) {
    std::string index;
    for (uint64_t n = first; n < end; ++n) {
        indexText(info, n, index);
        if (!each(std::string_view(index))) {
            return false;
        }
    }
    return true;
}

// Whether `text` has a character an element's index text is made of: without one it can match
// neither an index nor a path across one.
bool hasIndexCharacter(std::string_view text) {
    return text.find_first_of("[],0123456789") != std::string_view::npos;
}

// How long a start of `text` the path ends with (ASCII case ignored), short of the whole text: only
// that much of a path can take part in a match that runs on into a member's or an element's name.
size_t overlap(std::string_view path, std::string_view text) {
    for (size_t k = std::min(path.size(), text.empty() ? 0 : text.size() - 1); k > 0; --k) {
        if (containsIgnoringCase(path.substr(path.size() - k), text.substr(0, k))) {
            return k;
        }
    }
    return 0;
}

// The key of a structure's count in the run: its type, and how much of the text its path ends with.
const std::string& countKey(TreeFilter& run, const zelkc_logix_tag_info& info, std::string_view path) {
    run.key.assign(info.type_name);
    run.key += '\0';
    run.key += std::to_string(overlap(path, run.text));
    return run.key;
}

// The matches below `info` (which does not match itself, nor does anything above it): rows whose
// path holds `text` (a name is the end of its path), not counting rows below a match. Works from the
// browse records, without making rows; `path` is the tag's path, used as scratch and given back
// unchanged. A structure's count is kept in the run by its type and its path's overlap with the
// text, so that ten thousand tags of two hundred types cost two hundred walks.
size_t countBelow(const zelkc_logix_tag_info& info, std::string& path, TreeFilter& run) {
    const std::string_view text = run.text;
    const size_t keep = path.size();
    size_t count = 0;
    if (zelkc_logix_tag_array_rank(info.symbol_type) == 0) {
        if (tag_holds_text(&info) || info.child_count == 0 || info.children == nullptr) {
            return 0; // a STRING is one row: its LEN and DATA are not rows
        }
        const bool keyed = info.type_name != nullptr;
        if (keyed) {
            if (const auto hit = run.counted.find(countKey(run, info, path)); hit != run.counted.end()) {
                return hit->second;
            }
        }
        for (uint32_t i = 0; i < info.child_count; ++i) {
            const zelkc_logix_tag_info& member = info.children[i];
            path += '.';
            path += member.name != nullptr ? member.name : "";
            count += containsIgnoringCase(path, text) ? 1 : countBelow(member, path, run);
            path.resize(keep);
        }
        if (keyed) {
            run.counted.emplace(countKey(run, info, path), count);
        }
        return count;
    }
    const zelkc_logix_tag_info element = elementOf(info);
    if (!hasIndexCharacter(text)) {
        // No element matches by its index, and what is below one matches below every other alike.
        path += "[0]";
        count = countBelow(element, path, run);
        path.resize(keep);
        return static_cast<size_t>(
            std::min<uint64_t>(saturatingMul(count, elementCount(info)), SIZE_MAX / 4));
    }
    forEachIndex(info, 0, std::min(elementCount(info), TagItem::searchedElements),
                 [&](std::string_view index) {
                     path += '[';
                     path += index;
                     path += ']';
                     count += containsIgnoringCase(path, text) ? 1 : countBelow(element, path, run);
                     path.resize(keep);
                     return true;
                 });
    return count;
}

// Counts one match: shown in opened rows while the run's budget lasts.
void countMatch(TreeFilter& run, size_t n = 1) {
    n = std::min<size_t>(n, SIZE_MAX / 4 - run.matches); // a device's dimensions can claim any count
    run.matches += n;
    const size_t opened = std::min(n, run.openBudget);
    run.openBudget -= opened;
    run.hiddenMatches += n - opened;
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

void sortRowsByName(std::vector<std::unique_ptr<TreeItem>>& rows) {
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        const std::string& x = a->label();
        const std::string& y = b->label();
        return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(),
                                            [](char p, char q) { return lower(p) < lower(q); });
    });
}

bool forEachWatchable(const zelkc_logix_tag_info& info, std::string& path,
                      const std::function<bool(const zelkc_logix_tag_info&, const std::string&)>& visit) {
    const size_t keep = path.size();
    const uint32_t rank = zelkc_logix_tag_array_rank(info.symbol_type);
    if (rank == 0) {
        if (tag_holds_text(&info) || zelkc_logix_tag_is_atomic(info.symbol_type)) {
            return visit(info, path);
        }
        for (uint32_t i = 0; i < info.child_count && info.children != nullptr; ++i) {
            path += '.';
            path += info.children[i].name != nullptr ? info.children[i].name : "";
            const bool go = forEachWatchable(info.children[i], path, visit);
            path.resize(keep);
            if (!go) {
                return false;
            }
        }
        return true;
    }
    const zelkc_logix_tag_info element = elementOf(info);
    return forEachIndex(info, 0, elementCount(info), [&](std::string_view index) {
        path += '[';
        path += index;
        path += ']';
        const bool go = forEachWatchable(element, path, visit);
        path.resize(keep);
        return go;
    });
}

float TreeItem::rowHeight = 0.0f;

bool TreeItem::isBusy() const {
    return busy || anyBusy(children());
}

size_t TreeItem::shownBelow(TreeFilter& run, size_t before, size_t budget) {
    setVisible(run.matches > before);
    if (run.openBudget < budget && !isOpen()) {
        requestOpen(true);
        autoOpened = true;
    }
    return run.matches - before;
}

void TreeItem::drawBelow(TreeDraw& frame) {
    ++frame.depth;
    for (const auto& child : children()) {
        child->draw(frame);
    }
    --frame.depth;
    ImGui::TreePop();
}

const std::string& TreeItem::typeText() const {
    static const std::string none;
    return none;
}

void TreeItem::closeAutoOpened() {
    if (autoOpened) {
        requestOpen(false);
    }
    for (const auto& child : children()) {
        child->closeAutoOpened();
    }
}

void TreeItem::showAllBelow() {
    for (const auto& child : children()) {
        child->setVisible(true);
        child->showAllBelow();
    }
}

TreeItem::RowState TreeItem::drawRow(TreeDraw& frame, const std::string& id, const std::string& text,
                                     const zelk::ui::Texture* icon, bool leaf, const AppStyle* style) {
    RowState state{};
    if (nodeId.empty()) { // ids and label width are fixed for the row's life: made once, not every frame
        nodeId = fmt::format("##{}", id);
        hitId = fmt::format("##hit_{}", id);
        textWidth = ImGui::CalcTextSize(text.c_str()).x;
    }
    if (rowHeight > 0 &&
        !ImGui::IsRectVisible(ImVec2(std::max(8.0f, ImGui::GetContentRegionAvail().x), rowHeight))) {
        // Out of the view: the row's place is kept (and its open state, under the same id, so that
        // the rows below keep theirs), but nothing is laid out, which is what a big tree costs.
        ImGuiStorage* storage = ImGui::GetStateStorage();
        const ImGuiID id = ImGui::GetID(nodeId.c_str());
        if (pendingOpen >= 0) {
            storage->SetInt(id, pendingOpen);
            pendingOpen = -1;
        }
        state.open = storage->GetInt(id, 0) != 0;
        autoOpened = autoOpened && state.open;
        lastOpen = state.open;
        const float y = ImGui::GetCursorScreenPos().y;
        lastHit.y = lastNode.y = y;
        lastHit.w = lastNode.w = y + rowHeight;
        frame.rows.push_back({this, frame.depth});
        ImGui::Dummy(ImVec2(0, rowHeight));
        if (state.open) {
            ImGui::TreePush(nodeId.c_str());
        }
        return state;
    }
    if (frame.selected == this) {
        const ImVec2 at = ImGui::GetCursorScreenPos();
        const float height = std::max(iconSize, ImGui::GetFrameHeight());
        ImGui::GetWindowDrawList()->AddRectFilled(ImVec2(ImGui::GetWindowPos().x, at.y - 2),
                                                  ImVec2(frame.rightEdge + 4, at.y + height + 2),
                                                  ImGui::GetColorU32(ImGuiCol_Header));
    }
    if (pendingOpen >= 0) {
        ImGui::SetNextItemOpen(pendingOpen == 1);
        pendingOpen = -1;
    }
    state.open = ImGui::TreeNodeEx(nodeId.c_str(), rowFlags | (leaf ? ImGuiTreeNodeFlags_Leaf : 0));
    autoOpened = autoOpened && state.open;
    lastOpen = state.open;
    lastNode = ImVec4(ImGui::GetItemRectMin().x, ImGui::GetItemRectMin().y, ImGui::GetItemRectMax().x,
                      ImGui::GetItemRectMax().y);
    ImGui::SameLine(0, -1);
    const float lineHeight = ImGui::GetTextLineHeight();
    const float spacing = ImGui::GetStyle().ItemInnerSpacing.x;
    const ImVec2 p = ImGui::GetCursorScreenPos();
    ImGui::InvisibleButton(hitId.c_str(), ImVec2(spacing + iconSize + textWidth, iconSize),
                           ImGuiButtonFlags_MouseButtonLeft | ImGuiButtonFlags_MouseButtonRight);
    state.hovered = ImGui::IsItemHovered(0);
    state.clicked = ImGui::IsItemClicked(0);
    if (ImGui::IsItemClicked(1)) {
        frame.menuRow = this;
    }
    const ImVec2 min = ImGui::GetItemRectMin();
    const ImVec2 max = ImGui::GetItemRectMax();
    lastHit = ImVec4(min.x, min.y, max.x, max.y);
    // Every row is as high as the tallest of its parts; rows out of view take this height.
    rowHeight = std::max(max.y, lastNode.w) - std::min(min.y, lastNode.y);
    frame.rows.push_back({this, frame.depth});
    if (ImGui::IsItemVisible()) { // rows scrolled out of the panel's visible part draw nothing
        ImDrawList* drawList = ImGui::GetWindowDrawList();
        if (icon != nullptr) {
            drawList->AddImage(ImTextureRef(icon), p, ImVec2(p.x + iconSize, p.y + iconSize), ImVec2(0, 0),
                               ImVec2(1, 1), ImGui::GetColorU32(IM_COL32_WHITE)); // dims with the style
        }
        const uint32_t color = state.hovered ? style->getTextColorSecondary() : style->getTextColor();
        const float textY = p.y + (iconSize - lineHeight) * 0.5f;
        drawList->AddText(ImVec2(p.x + iconSize + spacing, textY), ImGui::GetColorU32(color), text.c_str());
        const std::string& type = typeText();
        if (!type.empty()) {
            if (typeWidth < 0) {
                typeWidth = ImGui::CalcTextSize(type.c_str()).x;
            }
            // Right-aligned in the panel; after the label when the label reaches that far.
            const float x = std::max(frame.rightEdge - typeWidth, max.x + typeGap);
            drawList->AddText(ImVec2(x, textY), ImGui::GetColorU32(style->getTextColorDisabled()),
                              type.c_str());
        }
    }
    return state;
}

// ---------------------------------------------------------------------------------------------------

TagItem::TagItem(const std::string& parentPath, const zelkc_logix_tag_info* tagInfo,
                 const std::string& nameOverride)
    : style(AppStyle::getInstance()), icon(tagIcon()), info(tagInfo) {
    name = !nameOverride.empty() ? nameOverride : std::string(info->name != nullptr ? info->name : "");
    if (parentPath.empty()) {
        path = name;
    } else {
        path = nameOverride.empty() ? parentPath + "." + name : parentPath + name;
    }
    if (!nameOverride.empty()) {
        // An element keeps the array's member list, so an element of a structure array has the
        // structure's members.
        ownInfo = elementOf(*info);
        ownInfo.name = name.data();
        info = &ownInfo;
    }
    typeName = datatype_get_name(info);
    typeLabel = datatype_text(info);
}

bool TagItem::hasChildren() const {
    if (zelkc_logix_tag_array_rank(info->symbol_type) == 0) {
        return info->child_count > 0 && info->children != nullptr && !tag_holds_text(info);
    }
    return info->dims[0] > 0;
}

bool TagItem::isWatchable() const {
    return zelkc_logix_tag_array_rank(info->symbol_type) == 0 &&
           (zelkc_logix_tag_is_atomic(info->symbol_type) || tag_holds_text(info));
}

std::string TagItem::tooltip() const {
    if (zelkc_logix_tag_array_rank(info->symbol_type) == 0) {
        return fmt::format("Datatype: {}", typeLabel);
    }
    const uint64_t count = elementCount(*info);
    return fmt::format("Datatype: {}\n{} element{}", typeLabel, count, count == 1 ? "" : "s");
}

void TagItem::loadChildren() {
    if (childrenLoaded || !hasChildren()) {
        return;
    }
    childrenLoaded = true;
    if (zelkc_logix_tag_array_rank(info->symbol_type) == 0) {
        for (uint32_t i = 0; i < info->child_count && info->children != nullptr; ++i) {
            childItems.push_back(std::make_unique<TagItem>(path, &info->children[i]));
        }
        return;
    }
    loadMore();
}

uint64_t TagItem::elementTotal() const {
    return zelkc_logix_tag_array_rank(info->symbol_type) == 0 ? 0 : elementCount(*info);
}

void TagItem::loadMore() {
    const uint64_t total = elementTotal();
    if (madeElements >= total) {
        return;
    }
    if (!childItems.empty() && dynamic_cast<MoreItem*>(childItems.back().get()) != nullptr) {
        childItems.pop_back();
    }
    // Row-major: [0,0], [0,1], ... one flat row per combination, a page at a time.
    const uint64_t end = total - madeElements > elementPage ? madeElements + elementPage : total;
    forEachIndex(*info, madeElements, end, [&](std::string_view index) {
        childItems.push_back(std::make_unique<TagItem>(path, info, fmt::format("[{}]", index)));
        return true;
    });
    madeElements = end;
    if (madeElements < total) {
        childItems.push_back(std::make_unique<MoreItem>(this));
    }
}

size_t TagItem::countUnmade(TreeFilter& run) const {
    const uint64_t total = elementTotal();
    if (madeElements >= total || run.text.empty()) {
        return 0;
    }
    const zelkc_logix_tag_info element = elementOf(*info);
    std::string scratch = path;
    if (!hasIndexCharacter(run.text)) {
        scratch += "[0]";
        const uint64_t each = countBelow(element, scratch, run);
        return static_cast<size_t>(
            std::min<uint64_t>(saturatingMul(each, total - madeElements), SIZE_MAX / 4));
    }
    size_t count = 0;
    const size_t keep = scratch.size();
    forEachIndex(*info, madeElements, std::max(madeElements, std::min(total, searchedElements)),
                 [&](std::string_view index) {
                     scratch += '[';
                     scratch += index;
                     scratch += ']';
                     count += containsIgnoringCase(scratch, run.text) ? 1 : countBelow(element, scratch, run);
                     scratch.resize(keep);
                     return true;
                 });
    return count;
}

bool TagItem::matchesFilter(std::string_view text) const {
    if (tagTextMatches(text, name, path)) {
        return true;
    }
    std::string scratch = path;
    TreeFilter run;
    run.text = std::string(text);
    return countBelow(*info, scratch, run) > 0;
}

size_t TagItem::filter(TreeFilter& run, bool parentMatched) {
    if (run.text.empty()) {
        setVisible(true);
        for (auto& child : childItems) {
            child->filter(run, false);
        }
        return 0;
    }
    if (parentMatched) {
        setVisible(true);
        showAllBelow();
        return 0;
    }
    if (run.refine && !isVisible()) {
        return 0; // hidden by a shorter text: a longer one cannot show it
    }
    if (tagTextMatches(run.text, name, path)) {
        countMatch(run);
        setVisible(true);
        showAllBelow();
        return 1;
    }
    const size_t before = run.matches;
    const size_t budget = run.openBudget;
    if (!childrenLoaded) {
        std::string scratch = path;
        const size_t below = hasChildren() ? countBelow(*info, scratch, run) : 0;
        if (below > 0 && run.openBudget > 0) {
            loadChildren(); // the rows above a shown match are made and opened
        } else {
            countMatch(run, below);
        }
    }
    if (childrenLoaded) {
        for (auto& child : childItems) {
            child->filter(run, false);
        }
    }
    return shownBelow(run, before, budget);
}

void TagItem::draw(TreeDraw& frame) {
    if (!isVisible()) {
        return;
    }
    const RowState row = drawRow(frame, path, name, icon, !hasChildren(), style);
    if (row.hovered) {
        showTooltip(tooltip().c_str());
    }
    if (row.clicked) {
        frame.clicked = this;
    }
    if (row.open) {
        loadChildren();
        drawBelow(frame);
        if (moreWanted) { // clicked in the rows just drawn: made after them, not while they draw
            moreWanted = false;
            loadMore();
        }
    }
}

// ---------------------------------------------------------------------------------------------------

MoreItem::MoreItem(TagItem* ownerRow)
    : style(AppStyle::getInstance()), owner(ownerRow), id(ownerRow->getPath() + "##more"),
      text(fmt::format("Show more ({} of {} elements shown)", ownerRow->elementsMade(),
                       ownerRow->elementTotal())) {}

void MoreItem::draw(TreeDraw& frame) {
    if (!isVisible()) {
        return;
    }
    const RowState row = drawRow(frame, id, text, nullptr, true, style);
    if (row.clicked) {
        activate();
    }
    if (row.open) {
        drawBelow(frame);
    }
}

size_t MoreItem::filter(TreeFilter& run, bool parentMatched) {
    if (run.text.empty() || parentMatched) {
        setVisible(true);
        return 0;
    }
    if (run.refine && !isVisible()) {
        return 0;
    }
    // Matches among elements not made are counted, never opened to: they stay behind this row.
    const size_t found = owner->countUnmade(run);
    const size_t budget = run.openBudget;
    run.openBudget = 0;
    countMatch(run, found);
    run.openBudget = budget;
    setVisible(found > 0);
    return found;
}

// ---------------------------------------------------------------------------------------------------

DatablockItem::DatablockItem(const zelkc_logix_tag_info* programInfo)
    : style(AppStyle::getInstance()), icon(folderIcon()), info(programInfo),
      name(programInfo->name != nullptr ? programInfo->name : "") {}

DatablockItem::~DatablockItem() {
    childItems.clear(); // the rows point into the list
    zelkc_logix_tag_info_list_free(&programTags);
}

void DatablockItem::loadAll(const std::vector<DatablockItem*>& programs) {
    if (programs.empty()) {
        return;
    }
    // What the lanes' threads need of each row, taken on the UI thread.
    struct Job {
        std::vector<std::string> names;
        std::vector<DatablockItem*> items;
        std::vector<std::weak_ptr<void>> tokens;
        std::vector<uint8_t> told; // written by the lane that browsed the program, read after the exchange
    };
    auto job = std::make_shared<Job>();
    for (DatablockItem* item : programs) {
        item->setBusy(true);
        job->names.push_back(item->name);
        job->items.push_back(item);
        job->tokens.push_back(item->lifetime());
    }
    job->told.assign(programs.size(), 0);
    const auto deliver = [job](uint32_t i, uint8_t rc, zelkc_logix_tag_info_list list) {
        auto handoff = std::make_shared<ListHandoff>();
        handoff->list = list;
        zelk::ui::Application::dispatchToMainThread([item = job->items[i], token = job->tokens[i], rc, handoff] {
            if (!token.expired()) { // else the row was replaced meanwhile; the handoff frees the list
                item->takeChildren(rc, handoff->take());
            }
        });
    };
    try {
        ThreadPool::instance().execute([job, deliver] {
            AppState* app = AppState::getInstance();
            std::vector<const char*> names;
            for (const std::string& name : job->names) {
                names.push_back(name.c_str());
            }
            using Deliver = decltype(deliver);
            struct Context {
                Job* job;
                const Deliver* send;
            } context{job.get(), &deliver};
            uint8_t rc = ZELKC_LOGIX_ERR_UNKNOWN;
            try {
                rc = app->exchangeLanes(
                    [&](zelkc_logix_lanes* lanes) {
                        return zelkc_logix_lanes_browse_programs(
                            lanes, names.data(), static_cast<uint32_t>(names.size()),
                            [](void* c, uint32_t i, uint8_t result, zelkc_logix_tag_info_list* list) {
                                auto* ctx = static_cast<Context*>(c);
                                ctx->job->told[i] = 1;
                                (*ctx->send)(i, result, *list);
                                *list = zelkc_logix_tag_info_list{};
                            },
                            &context);
                    },
                    app->connectionRevision());
            } catch (const std::exception&) {
                rc = ZELKC_LOGIX_ERR_UNKNOWN;
            }
            for (size_t i = 0; i < job->items.size(); ++i) { // programs the exchange never reached
                if (job->told[i] == 0) {
                    deliver(static_cast<uint32_t>(i), rc != ZELKC_LOGIX_OK ? rc : uint8_t{ZELKC_LOGIX_ERR_UNKNOWN},
                            zelkc_logix_tag_info_list{});
                }
            }
        });
    } catch (const std::exception&) {
        for (DatablockItem* item : programs) {
            item->setBusy(false); // the pool is stopped: the programs stay empty
        }
    }
}

void DatablockItem::takeChildren(uint8_t result, zelkc_logix_tag_info_list list) {
    childItems.clear(); // the rows point into the list
    zelkc_logix_tag_info_list_free(&programTags);
    programTags = list;
    if (result == 0) {
        const std::string parent = "Program:" + name;
        for (uint32_t i = 0; i < programTags.count; ++i) {
            childItems.push_back(std::make_unique<TagItem>(parent, &programTags.items[i]));
        }
        sortRowsByName(childItems);
        if (!appliedFilter.empty()) { // typed before the rows came
            TreeFilter run;
            run.text = appliedFilter;
            filter(run, false);
        }
    }
    setBusy(false);
}

size_t DatablockItem::filter(TreeFilter& run, bool parentMatched) {
    appliedFilter = run.text;
    if (run.text.empty() || parentMatched) {
        setVisible(true);
        for (auto& child : childItems) {
            child->filter(run, parentMatched);
        }
        return 0;
    }
    if (run.refine && !isVisible()) {
        return 0;
    }
    if (tagTextMatches(run.text, name, copyPath())) { // "Program:Mixer" finds the program itself
        countMatch(run);
        setVisible(true);
        showAllBelow();
        return 1;
    }
    const size_t before = run.matches;
    const size_t budget = run.openBudget;
    for (auto& child : childItems) {
        child->filter(run, false);
    }
    return shownBelow(run, before, budget);
}

void DatablockItem::draw(TreeDraw& frame) {
    if (!isVisible()) {
        return;
    }
    const RowState row = drawRow(frame, name, name, icon, false, style);
    if (row.clicked) {
        frame.clicked = this;
    }
    if (row.open) {
        drawBelow(frame);
    }
}

// ---------------------------------------------------------------------------------------------------

GroupItem::GroupItem(std::string groupName, std::vector<std::unique_ptr<TreeItem>> rows)
    : style(AppStyle::getInstance()), icon(folderIcon()), name(std::move(groupName)),
      childItems(std::move(rows)) {
    requestOpen(true);
}

size_t GroupItem::filter(TreeFilter& run, bool parentMatched) {
    const size_t before = run.matches;
    const size_t budget = run.openBudget;
    for (auto& child : childItems) {
        child->filter(run, parentMatched);
    }
    const size_t found = shownBelow(run, before, budget);
    setVisible(run.text.empty() || found > 0);
    return found;
}

void GroupItem::draw(TreeDraw& frame) {
    if (!isVisible()) {
        return;
    }
    const RowState row = drawRow(frame, "##group" + name, name, icon, false, style);
    if (row.clicked) {
        frame.clicked = this;
    }
    if (row.open) {
        drawBelow(frame);
    }
}
