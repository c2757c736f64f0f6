#include "SessionKeeper.h"

#include <chrono>

#include <zelk/ui/Application.h>

#include "AppState.h"
#include "Logger.h"
#include "MainWindow.h"
#include "Views/InspectorView.h"
#include "Views/TagInspector.h"
#include "Views/TopBarView.h"
#include "Views/TreeView.h"

namespace {
int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

SessionKeeper::SessionKeeper(MainWindow* mainWindow, std::filesystem::path folder)
    : window(mainWindow), store(std::move(folder)) {
    zelk::ui::Application::registerTickCallback(this, [this] { update(); });
}

SessionKeeper::~SessionKeeper() {
    zelk::ui::Application::unregisterTickCallback(this);
    saveNow();
}

void SessionKeeper::restore(bool addressGiven) {
    saved = store.load();
    kept = saved;
    if (!store.problem().empty()) {
        LogWriter(LogLevel::Warn)("{}", store.problem());
        window->getTreeView()->setHint(store.problem());
    }
    if (!addressGiven) {
        window->getTopBar()->setAddress(saved.address);
        window->getTopBar()->setPort(saved.port);
    }
    window->getWindow()->setSize(std::max(MainWindow::minimumWidth, saved.windowWidth),
                                 std::max(MainWindow::minimumHeight, saved.windowHeight));
    if (saved.treeWidth > 0) {
        window->chooseTreeWidth(saved.treeWidth);
    }
    window->getInspectorView()->setTrendShown(saved.trendShown);
    if (saved.trendHeight > 0) {
        window->setTrendHeight(saved.trendHeight);
    }
    TagInspector::getInstance()->setIntervalMs(saved.watchRateMs);
    AppState::getInstance()->setLanes(static_cast<uint32_t>(saved.lanes));
    window->getInspectorView()->setRecordFolder(saved.recordFolder);
    saved = current(); // what the window holds now is what the file says
}

Settings SessionKeeper::current() const {
    Settings now = kept;
    now.address = window->getTopBar()->getAddress();
    now.port = window->getTopBar()->getPort();
    now.windowWidth = window->getWindow()->getWidth();
    now.windowHeight = window->getWindow()->getHeight();
    now.treeWidth = window->isSplitChosen() ? window->getTreeWidth() : 0.0f;
    now.trendShown = window->getInspectorView()->isTrendShown();
    now.trendHeight = window->getTrendHeight();
    now.watchRateMs = TagInspector::getInstance()->getIntervalMs();
    now.recordFolder = window->getInspectorView()->getRecordFolder();
    if (!controller.empty()) {
        std::vector<std::string>& list = now.watchLists[controller];
        list.clear();
        std::map<std::string, std::string>& bases = now.valueBases[controller];
        bases.clear();
        std::vector<std::string>& trended = now.trendedTags[controller];
        trended.clear();
        for (const auto& tag : TagInspector::getInstance()->getTags()) {
            list.push_back(tag.name);
            if (tag.trended) {
                trended.push_back(tag.name);
            }
            const IntegerBase base = TagInspector::getInstance()->baseOf(tag.name);
            if (base != IntegerBase::Decimal) {
                bases[tag.name] = base == IntegerBase::Hex ? "hex" : "binary";
            }
        }
        if (bases.empty()) {
            now.valueBases.erase(controller); // as the file keeps it: no entry
        }
        if (trended.empty()) {
            now.trendedTags.erase(controller);
        }
    }
    return now;
}

bool SessionKeeper::saveNow() {
    const Settings now = current();
    if (now == saved) {
        return true;
    }
    if (!store.save(now)) {
        LogWriter(LogLevel::Warn)("{}", store.problem());
        return false;
    }
    saved = now;
    kept.watchLists = now.watchLists;
    kept.valueBases = now.valueBases;
    kept.trendedTags = now.trendedTags;
    return true;
}

void SessionKeeper::update() {
    const LinkSnapshot link = AppState::getInstance()->snapshot();
    TreeView* tree = window->getTreeView();
    if (link.state == LinkState::Connected && link.controllerEpoch != restoredEpoch) {
        // A connect the user asked for (or another controller behind the address): its remembered
        // list comes back once its browse is in. Until then the emptied table is not written as its list.
        restoredEpoch = link.controllerEpoch;
        const Settings before = current();
        kept.watchLists = before.watchLists;
        kept.valueBases = before.valueBases;
        kept.trendedTags = before.trendedTags;
        controller.clear();
        const std::string key = controllerKey(link.vendorId, link.productCode, link.serialNumber);
        // This controller's integers come back in the bases they were shown in.
        std::map<std::string, IntegerBase> bases;
        if (const auto it = kept.valueBases.find(key); it != kept.valueBases.end()) {
            for (const auto& [tag, base] : it->second) {
                bases[tag] = base == "hex" ? IntegerBase::Hex : IntegerBase::Binary;
            }
        }
        TagInspector::getInstance()->setBases(std::move(bases));
        // and the rows ticked for the trend are ticked again as they come back.
        const auto trended = kept.trendedTags.find(key);
        TagInspector::getInstance()->trendWhenAdded(
            trended != kept.trendedTags.end()
                ? std::set<std::string>(trended->second.begin(), trended->second.end())
                : std::set<std::string>{});
        const auto remembered = kept.watchLists.find(key);
        tree->restoreWatchList(remembered != kept.watchLists.end() ? remembered->second
                                                                   : std::vector<std::string>{});
        pendingController = key;
    }
    if (!pendingController.empty() && !tree->isRestorePending() && !tree->isLoading()) {
        controller = pendingController; // the table is that controller's list from here on
        pendingController.clear();
    }
    const int64_t now = steadyNs();
    if (now - lastCheckNs >= 1'000'000'000) {
        lastCheckNs = now;
        saveNow();
    }
}
