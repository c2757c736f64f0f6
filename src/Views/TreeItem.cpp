#include "Views/TreeItem.h"

#include <algorithm>
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
#include "Views/TagInspector.h"

namespace {

constexpr float iconSize = 20.0f;
constexpr ImGuiTreeNodeFlags rowFlags = ImGuiTreeNodeFlags_OpenOnArrow | ImGuiTreeNodeFlags_SpanLabelWidth;

bool anyVisible(const std::vector<std::unique_ptr<TreeItem>>& items) {
    return std::any_of(items.begin(), items.end(), [](const auto& item) { return item->isVisible(); });
}

bool anyBusy(const std::vector<std::unique_ptr<TreeItem>>& items) {
    return std::any_of(items.begin(), items.end(), [](const auto& item) { return item->isBusy(); });
}

// One lookup for the many tag rows: the texture cache keeps its textures until the process ends.
const zelk::ui::Texture* tagIcon() {
    static const zelk::ui::Texture* icon = AppTextures::getSvg("icons/tag.svg", 256, 256);
    return icon;
}

// Whether a row below `info` (members, elements and theirs) would match `text`, without making the
// rows: `path` is the tag's path, used as a scratch buffer and given back unchanged.
bool anyBelowMatches(const zelkc_logix_tag_info& info, std::string& path, std::string_view text) {
    const size_t keep = path.size();
    const uint32_t rank = zelkc_logix_tag_array_rank(info.symbol_type);
    if (rank == 0) {
        for (uint32_t i = 0; i < info.child_count && info.children != nullptr; ++i) {
            const zelkc_logix_tag_info& member = info.children[i];
            const std::string_view name = member.name != nullptr ? member.name : "";
            path += '.';
            path += name;
            const bool hit = tagTextMatches(text, name, path) || anyBelowMatches(member, path, text);
            path.resize(keep);
            if (hit) {
                return true;
            }
        }
        return false;
    }
    zelkc_logix_tag_info element = info; // what an element row shows: no array bits, the same members
    element.symbol_type = static_cast<uint16_t>(element.symbol_type & 0x9FFF);
    element.dims[0] = element.dims[1] = element.dims[2] = 0;
    auto walk = [&](auto& self, uint32_t d) -> bool {
        if (d > 2 || info.dims[d] == 0) {
            return false;
        }
        const size_t here = path.size();
        for (uint32_t i = 0; i < info.dims[d]; ++i) {
            path += d > 0 ? "," : "[";
            path += std::to_string(i);
            bool hit = false;
            if (rank > d + 1) {
                hit = self(self, d + 1);
            } else {
                path += ']';
                const std::string_view name = std::string_view(path).substr(keep);
                hit = tagTextMatches(text, name, path) || anyBelowMatches(element, path, text);
            }
            path.resize(here);
            if (hit) {
                return true;
            }
        }
        return false;
    };
    return walk(walk, 0);
}

} // namespace

TreeItem::RowState TreeItem::drawRow(const std::string& id, const std::string& text,
                                     const zelk::ui::Texture* icon, bool leaf, const AppStyle* style) {
    RowState state{};
    if (nodeId.empty()) { // ids and label width are fixed for the row's life: made once, not every frame
        nodeId = fmt::format("##{}", id);
        hitId = fmt::format("##hit_{}", id);
        textWidth = ImGui::CalcTextSize(text.c_str()).x;
    }
    state.open = ImGui::TreeNodeEx(nodeId.c_str(), rowFlags | (leaf ? ImGuiTreeNodeFlags_Leaf : 0));
    lastOpen = state.open;
    lastNode = ImVec4(ImGui::GetItemRectMin().x, ImGui::GetItemRectMin().y, ImGui::GetItemRectMax().x,
                      ImGui::GetItemRectMax().y);
    ImGui::SameLine(0, -1);
    const float lineHeight = ImGui::GetTextLineHeight();
    const float spacing = ImGui::GetStyle().ItemInnerSpacing.x;
    const ImVec2 p = ImGui::GetCursorScreenPos();
    ImGui::InvisibleButton(hitId.c_str(), ImVec2(spacing + iconSize + textWidth, iconSize));
    state.hovered = ImGui::IsItemHovered(0);
    state.clicked = ImGui::IsItemClicked(0);
    const ImVec2 min = ImGui::GetItemRectMin();
    const ImVec2 max = ImGui::GetItemRectMax();
    lastHit = ImVec4(min.x, min.y, max.x, max.y);
    if (ImGui::IsItemVisible()) { // rows scrolled out of the panel's visible part draw nothing
        ImDrawList* drawList = ImGui::GetWindowDrawList();
        if (icon != nullptr) {
            drawList->AddImage(ImTextureRef(icon), p, ImVec2(p.x + iconSize, p.y + iconSize), ImVec2(0, 0),
                               ImVec2(1, 1), ImGui::GetColorU32(IM_COL32_WHITE)); // dims with the style
        }
        const uint32_t color = state.hovered ? style->getTextColorSecondary() : style->getTextColor();
        drawList->AddText(ImVec2(p.x + iconSize + spacing, p.y + (iconSize - lineHeight) * 0.5f),
                          ImGui::GetColorU32(color),
                          text.c_str());
    }
    return state;
}

// ---------------------------------------------------------------------------------------------------

TagItem::TagItem(const std::string& parentPath, const zelkc_logix_tag_info* tagInfo,
                 const std::string& nameOverride)
    : style(AppStyle::getInstance()), inspector(TagInspector::getInstance()), icon(tagIcon()), info(tagInfo) {
    name = !nameOverride.empty() ? nameOverride : std::string(info->name != nullptr ? info->name : "");
    if (parentPath.empty()) {
        path = name;
    } else {
        path = nameOverride.empty() ? parentPath + "." + name : parentPath + name;
    }
    if (!nameOverride.empty()) {
        // An element: the array's record without the array bits and dimensions, under its own name. It
        // keeps the array's member list, so an element of a structure array has the structure's members.
        ownInfo = *info;
        ownInfo.symbol_type = static_cast<uint16_t>(ownInfo.symbol_type & 0x9FFF);
        ownInfo.dims[0] = ownInfo.dims[1] = ownInfo.dims[2] = 0;
        ownInfo.name = name.data();
        info = &ownInfo;
    }
    typeName = datatype_get_name(info);
}

bool TagItem::hasChildren() const {
    if (zelkc_logix_tag_array_rank(info->symbol_type) == 0) {
        return info->child_count > 0 && info->children != nullptr;
    }
    return info->dims[0] > 0;
}

void TagItem::loadChildren() {
    if (childrenLoaded) {
        return;
    }
    childrenLoaded = true;
    const uint32_t rank = zelkc_logix_tag_array_rank(info->symbol_type);
    if (rank == 0) {
        for (uint32_t i = 0; i < info->child_count && info->children != nullptr; ++i) {
            childItems.push_back(std::make_unique<TagItem>(path, &info->children[i]));
        }
        applyFilterToChildren();
        return;
    }
    // Depth first over the dimensions: [0,0], [0,1], ... one flat row per combination.
    auto walk = [&](auto& self, uint32_t d, const std::string& index) -> void {
        if (d > 2 || info->dims[d] == 0) {
            return;
        }
        for (uint32_t i = 0; i < info->dims[d]; ++i) {
            std::string text = index + (d > 0 ? "," : "") + std::to_string(i);
            if (rank > d + 1) {
                self(self, d + 1, text);
            } else {
                childItems.push_back(std::make_unique<TagItem>(path, info, "[" + text + "]"));
            }
        }
    };
    walk(walk, 0, "");
    applyFilterToChildren();
}

void TagItem::applyFilterToChildren() {
    if (!filterText.empty()) {
        for (auto& child : childItems) {
            child->filter(filterText);
        }
    }
}

bool TagItem::isBusy() const {
    return anyBusy(childItems) || TreeItem::isBusy();
}

bool TagItem::matchesFilter(std::string_view text) const {
    if (tagTextMatches(text, name, path)) {
        return true;
    }
    if (childrenLoaded) {
        return anyVisible(childItems);
    }
    std::string scratch = path;
    return anyBelowMatches(*info, scratch, text);
}

void TagItem::filter(const std::string& text) {
    filterText = text; // rows made later, when this one is opened, start under the same filter
    for (auto& child : childItems) {
        child->filter(text);
    }
    setVisible(matchesFilter(text));
}

void TagItem::draw() {
    if (!isVisible()) {
        return;
    }
    const RowState row = drawRow(path, name, icon, !hasChildren(), style);
    if (row.hovered) {
        ImGui::SetTooltip("Datatype: %.*s", static_cast<int>(typeName.size()), typeName.data());
    }
    if (row.clicked) {
        inspector->addTag(info, path);
    }
    if (row.open) {
        loadChildren();
        for (auto& child : childItems) {
            child->draw();
        }
        ImGui::TreePop();
    }
}

// ---------------------------------------------------------------------------------------------------

DatablockItem::DatablockItem(const zelkc_logix_tag_info* programInfo)
    : style(AppStyle::getInstance()), icon(AppTextures::getSvg("icons/folder.svg", 256, 256)),
      info(programInfo), name(programInfo->name != nullptr ? programInfo->name : "") {}

DatablockItem::~DatablockItem() {
    childItems.clear(); // the rows point into the list
    zelkc_logix_tag_info_list_free(&programTags);
}

void DatablockItem::loadChildren() {
    setBusy(true);
    std::weak_ptr<void> token = lifetime();
    try {
        ThreadPool::instance().execute(token, [this, token, program = name] {
            auto handoff = std::make_shared<ListHandoff>();
            uint8_t rc = ZELKC_LOGIX_ERR_UNKNOWN;
            try {
                AppState::getInstance()->callPlc([&](zelkc_logix_client* client) {
                    rc = zelkc_logix_client_browse_program_tags(client, &handoff->list, program.c_str());
                });
            } catch (const std::exception&) {
                rc = ZELKC_LOGIX_ERR_UNKNOWN;
            }
            zelk::ui::Application::dispatchToMainThread([this, token, rc, handoff] {
                if (token.expired()) {
                    return; // the row was replaced meanwhile; the handoff frees the list
                }
                zelkc_logix_tag_info_list_free(&programTags);
                programTags = handoff->take();
                if (rc == 0) {
                    const std::string parent = "Program:" + name;
                    for (uint32_t i = 0; i < programTags.count; ++i) {
                        childItems.push_back(std::make_unique<TagItem>(parent, &programTags.items[i]));
                    }
                }
                setBusy(false);
            });
        });
    } catch (const std::exception&) {
        setBusy(false); // the pool is stopped: the program stays empty
    }
}

bool DatablockItem::isBusy() const {
    return anyBusy(childItems) || TreeItem::isBusy();
}

void DatablockItem::filter(const std::string& text) {
    for (auto& child : childItems) {
        child->filter(text);
    }
    setVisible(text.empty() || anyVisible(childItems));
}

void DatablockItem::draw() {
    if (!isVisible()) {
        return;
    }
    const RowState row = drawRow(name, name, icon, false, style);
    if (row.open) {
        for (auto& child : childItems) {
            child->draw();
        }
        ImGui::TreePop();
    }
}
