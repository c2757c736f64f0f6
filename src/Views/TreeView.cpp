#include "Views/TreeView.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <iterator>
#include <utility>

#include <fmt/format.h>
#include <imgui.h>
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
    filterPanel->setDefaultFont(style->getDefaultFont(), fontSize, nullptr);
    style->applyImGuiStyle(filterPanel->getImGuiContext());
    filterPanel->setBuildImGuiFunction([this] {
        ImGui::SetNextItemWidth(ImGui::GetContentRegionAvail().x);
        ImGui::InputTextWithHint("##TagFilter", "Search tags...", &filterText, 0, nullptr, nullptr);
    });

    scrollView = addHiddenChild<zelk::ui::ScrollView>(zelk::ui::Vec2{0, filterHeight},
                                                      zelk::ui::Vec2{size.x, size.y - filterHeight});
    scrollView->setVisible(false);

    treePanel = scrollView->addChild<zelk::ui::ImGuiPanel>(zelk::ui::Vec2{0, 0}, size);
    treePanel->setDefaultFont(style->getDefaultFont(), fontSize, nullptr);
    style->applyImGuiStyle(treePanel->getImGuiContext());
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

    const bool busy = loading.load();
    treePanel->setVisible(!busy);
    scrollView->setVisible(!busy);
    spinnerStack->setVisible(busy);
    filterPanel->setVisible(!busy && !rootItems.empty());

    const LinkSnapshot link = appState->snapshot();
    live = link.state == LinkState::Connected;
    if (live && !busy && !refreshing.load()) {
        if (link.controllerEpoch != loadedEpoch) {
            // A connect by the user, or another controller behind the address: a fresh start.
            loadedEpoch = link.controllerEpoch;
            loadedRevision = link.revision;
            inspector->clear();
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
        lastConnected = fmt::format("last connected: {}:{}", link.lastHost, link.lastPort);
    } else {
        lastConnected.clear();
    }
    // The whole reason of a failure or a loss: the bar has room for a few words only.
    failure = live || link.reason.empty() ? std::string() : link.reason;

    inspector->update();

    if (filterText != appliedFilter) {
        appliedFilter = filterText;
        for (auto& item : rootItems) {
            item->filter(filterText);
        }
    }
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
        result = appState->exchange(
            [&](zelkc_logix_client* client) {
                zelkc_logix_tag_info_list_free(&handoff->list);
                const uint8_t rc = zelkc_logix_client_browse_global_tags(client, &handoff->list);
                skipped = zelkc_logix_client_last_browse_skipped_templates(client);
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
    while (!rootItems.empty()) {
        rootItems.pop_back();
    }
    zelkc_logix_tag_info_list_free(&tagList);
    tagList = list;
    for (uint32_t i = 0; i < tagList.count; ++i) {
        zelkc_logix_tag_info* entry = &tagList.items[i];
        if (zelkc_logix_tag_is_program(entry->symbol_type)) {
            auto program = std::make_unique<DatablockItem>(entry);
            program->loadChildren();
            rootItems.push_back(std::move(program));
        } else {
            rootItems.push_back(std::make_unique<TagItem>(std::string(), entry));
        }
    }
}

void TreeView::generateGui() {
    if (!failure.empty()) {
        ImGui::PushStyleColor(ImGuiCol_Text,
                              ImGui::ColorConvertU32ToFloat4(AppStyle::getInstance()->getErrorColor()));
        ImGui::TextWrapped("%s", failure.c_str());
        ImGui::PopStyleColor();
    }
    if (!lastConnected.empty()) {
        ImGui::TextDisabled("%s", lastConnected.c_str());
    }
    if (!notice.empty()) {
        ImGui::PushStyleColor(ImGuiCol_Text,
                              ImGui::ColorConvertU32ToFloat4(AppStyle::getInstance()->getErrorColor()));
        ImGui::TextWrapped("%s", notice.c_str());
        ImGui::PopStyleColor();
    }
    ImGui::PushStyleVar(ImGuiStyleVar_ItemSpacing, ImVec2(ImGui::GetStyle().ItemSpacing.x, 8));
    // Rows of a controller that is not connected now are dimmed: they may no longer be true.
    ImGui::PushStyleVar(ImGuiStyleVar_Alpha, live ? 1.0f : 0.5f);
    for (auto& item : rootItems) {
        item->draw();
    }
    ImGui::PopStyleVar(2);
    treePanel->setPreferredSize(zelk::ui::Vec2{getActualSize().x, ImGui::GetCursorPosY()});
}
