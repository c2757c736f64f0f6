// The views end to end: the main window driven with synthetic mouse and keyboard events against the
// simulator on loopback, and the rules the end-to-end run cannot reach (filter on a built tree,
// element naming, the watch list's revision and drop rules on a held-back pool).
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <logixsim/server.h>
#include <nlohmann/json.hpp>

#include "AppState.h"
#include "MainWindow.h"
#include "ThreadPool.h"
#include "Views/InspectorView.h"
#include "Views/TagInspector.h"
#include "Views/TopBarView.h"
#include "Views/TreeView.h"
#include "app_fixture.h"

namespace {

// The test pak, or the application's own when ORVANE_REAL_PAK names it (the README's screenshot).
struct ViewsEnvironment : apptest::PakEnvironment {
    void SetUp() override {
        if (const char* pak = std::getenv("ORVANE_REAL_PAK")) {
            AssetManager::init(pak);
        } else {
            PakEnvironment::SetUp();
        }
        ThreadPool::instance().init(1);
    }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new ViewsEnvironment);

using Items = std::vector<std::unique_ptr<TreeItem>>;
const nlohmann::json demo = nlohmann::json::parse(logixsim::demo_controller_json());

std::vector<std::string> labels(const Items& items, bool visibleOnly = false) {
    std::vector<std::string> out;
    for (const auto& item : items) {
        if (!visibleOnly || item->isVisible()) {
            out.push_back(item->label());
        }
    }
    return out;
}

TreeItem* find(const Items& items, const std::string& label) {
    for (const auto& item : items) {
        if (item->label() == label) {
            return item.get();
        }
    }
    return nullptr;
}

class ViewsTest : public apptest::AppFixture {
protected:
    void SetUp() override {
        AppFixture::SetUp();
        sim = startSim();
        main = std::make_unique<MainWindow>();
        window = main->getWindow();
        bar = main->getTopBar();
        tree = main->getTreeView();
        frames(2);
    }
    void TearDown() override {
        AppState::getInstance()->disconnect();
        idle();
        main.reset();
        AppFixture::TearDown();
    }
    static std::unique_ptr<logixsim::Server> startSim(int liveIntervalMs = 0) {
        logixsim::Options options;
        options.port = 0;
        options.live_interval_ms = liveIntervalMs;
        auto server = std::make_unique<logixsim::Server>(logixsim::demo_controller(), options);
        server->start();
        return server;
    }
    // Frames until `done` holds; false after 20 s of real time (a hang, not a slow machine).
    bool until(const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            frames(1);
        }
        return true;
    }
    // Waits until every queued pool task has run and its completion has reached the main thread.
    void idle() {
        std::promise<void> marker;
        auto ran = marker.get_future();
        ThreadPool::instance().execute([&marker] { marker.set_value(); });
        ASSERT_TRUE(
            until([&] { return ran.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        frames(2);
    }
    void clickIn(const zelk::ui::Widget* panel, ImVec4 rect, float dx = -1) {
        const auto at = panel->getWorldPosition();
        const float x = dx < 0 ? (rect.x + rect.z) / 2 : rect.x + dx;
        tk::pushClick(window, static_cast<int>(at.x + x), static_cast<int>(at.y + (rect.y + rect.w) / 2));
        frames(2); // an ImGui button reports the click in the frame of the release
    }
    void type(const char* text) {
        tk::pushText(window, text);
        frames(1);
    }
    void keys(SDL_Keycode sym, SDL_Scancode code, int times) {
        for (int i = 0; i < times; ++i) {
            tk::pushKey(window, sym, code, true);
            frames(1);
            tk::pushKey(window, sym, code, false);
            frames(1);
        }
    }
    std::string status() const { return bar->getStatusText()->getText(); }
    std::string plcType() const { return bar->getPlcTypeText()->getText(); }
    void connectTo(uint16_t port) {
        bar->setPort(port);
        clickIn(bar->getFieldsPanel(), bar->getAddressFieldRect());
        keys(SDLK_END, SDL_SCANCODE_END, 1);
        keys(SDLK_BACKSPACE, SDL_SCANCODE_BACKSPACE, static_cast<int>(bar->getAddress().size()));
        type("127.0.0.1");
        frames(1); // the button unlocks in the frame after the typing
        clickButton();
    }
    void clickButton() {
        const auto* button = bar->getConnectButton();
        const auto at = button->getWorldPosition() + button->getActualSize() * 0.5f;
        tk::pushClick(window, static_cast<int>(at.x), static_cast<int>(at.y));
        frames(1);
    }
    // Waits for the rows and the program rows' own browses; then the rows have been drawn once.
    bool browsed() {
        const bool done =
            until([&] { return !tree->isLoading() && !tree->getRootItems().empty(); }) && until([&] {
                for (const auto& item : tree->getRootItems()) {
                    if (item->isBusy()) {
                        return false;
                    }
                }
                return true;
            });
        frames(2);
        return done;
    }
    // Scrolls `item` into view, then clicks its label (or its arrow, which opens and closes it).
    void clickRow(TreeItem* item, bool arrow = false) {
        ASSERT_NE(item, nullptr);
        auto* scroll = tree->getScrollView();
        const float top = item->hitRect().y;
        if (top < scroll->getScrollOffset().y ||
            top + 40 > scroll->getScrollOffset().y + scroll->getActualSize().y) {
            scroll->setScrollOffset(zelk::ui::Vec2{0, top - 100});
            frames(1);
        }
        clickIn(tree->getTreePanel(), arrow ? item->nodeRect() : item->hitRect(), arrow ? 6 : -1);
    }
    std::vector<std::string> watched(bool values = false) const {
        std::vector<std::string> out;
        for (const auto& tag : TagInspector::getInstance()->getTags()) {
            out.push_back(values ? tag.name + "=" + tag.value : tag.name + ":" + tag.typeName);
        }
        return out;
    }

    std::unique_ptr<logixsim::Server> sim;
    std::unique_ptr<MainWindow> main;
    zelk::ui::Window* window = nullptr;
    TopBarView* bar = nullptr;
    TreeView* tree = nullptr;
};

TEST_F(ViewsTest, ConnectBrowseFilterWatchAndDelete) {
    // The button is locked until an address is typed; the port field starts at 44818.
    EXPECT_TRUE(bar->getConnectButton()->isLocked());
    EXPECT_EQ(bar->getPort(), 44818);
    logixsim::Faults slow;
    slow.reply_delay_ms = 100; // the attempt outlasts the frame of the click
    sim->set_faults(slow);
    connectTo(sim->port());
    EXPECT_EQ(status(), "PLC-Status: CONNECTING");
    EXPECT_EQ(bar->getConnectButton()->getText()->getText(), "Connect");
    ASSERT_TRUE(until([&] { return status() == "PLC-Status: CONNECTED"; }));
    EXPECT_EQ(plcType(), "PLC-Type: " + demo["identity"]["product_name"].get<std::string>());
    EXPECT_EQ(bar->getConnectButton()->getText()->getText(), "Disconnect");
    sim->set_faults(logixsim::Faults{});
    ASSERT_TRUE(browsed());

    // Top rows: every controller tag and program of the demo, in the controller's instance order.
    const Items& rows = tree->getRootItems();
    std::set<std::string> expected;
    for (const auto& tag : demo["tags"])
        expected.insert(tag["name"].get<std::string>());
    for (const auto& program : demo["programs"])
        expected.insert(program["name"].get<std::string>());
    const auto top = labels(rows);
    EXPECT_EQ(std::set<std::string>(top.begin(), top.end()), expected);
    ASSERT_EQ(top.size(), expected.size());
    TreeItem* mainProgram = find(rows, "MainProgram");
    EXPECT_EQ(labels(mainProgram->children()),
              (std::vector<std::string>{"Counter", "Step", "Running", "State", "Pump"}));

    // Filter: "speed" keeps the Speed members and their ancestors; a program name matches through the
    // paths of its tags; clearing shows everything again, inside program rows too.
    clickIn(tree->getFilterPanel(), ImVec4(10, 5, 200, 25));
    type("speed");
    EXPECT_EQ(labels(rows, true),
              (std::vector<std::string>{"MainProgram", "Conveyor", "Motor1", "Motors", "PumpStatus"}));
    TreeItem* motor1 = find(rows, "Motor1");
    clickRow(motor1, true); // rows below are made when opened, under the filter in force
    clickRow(find(motor1->children(), "Status"), true);
    EXPECT_EQ(labels(motor1->children(), true), std::vector<std::string>{"Status"});
    EXPECT_EQ(labels(find(motor1->children(), "Status")->children(), true),
              std::vector<std::string>{"Speed"});
    EXPECT_EQ(labels(find(rows, "Conveyor")->children(), true), (std::vector<std::string>{"Speed", "Belt"}));
    clickIn(tree->getFilterPanel(), ImVec4(10, 5, 200, 25)); // the keys back to the search field
    keys(SDLK_END, SDL_SCANCODE_END, 1);
    keys(SDLK_BACKSPACE, SDL_SCANCODE_BACKSPACE, 5);
    type("PROGRAM:MIXER");
    EXPECT_EQ(labels(rows, true), std::vector<std::string>{"Mixer"});
    EXPECT_EQ(labels(find(rows, "Mixer")->children(), true).size(), demo["programs"][2]["tags"].size());
    keys(SDLK_BACKSPACE, SDL_SCANCODE_BACKSPACE, 13);
    EXPECT_EQ(labels(rows, true).size(), rows.size());
    EXPECT_EQ(labels(mainProgram->children(), true).size(), 5u);

    // Watch: a DINT, a REAL, a BOOL, a STRING, a member and the live counter; a structure row and a
    // second click on a watched row add nothing.
    for (const char* name : {"DintTag", "RealTag", "BoolTag", "Greeting", "Counter", "Counter", "Motor1"}) {
        clickRow(find(rows, name));
    }
    clickRow(find(find(motor1->children(), "Status")->children(), "Speed"));
    EXPECT_EQ(watched(),
              (std::vector<std::string>{"DintTag:DINT", "RealTag:REAL", "BoolTag:BOOL", "Greeting:STRING",
                                        "Counter:DINT", "Motor1.Status.Speed:REAL"}));
    const std::vector<std::string> values{"DintTag=123456", "RealTag=3.25",
                                          "BoolTag=true",   "Greeting=Hello, Orvane",
                                          "Counter=0",      "Motor1.Status.Speed=1450"};
    ASSERT_TRUE(until([&] { return watched(true) == values; }));
    sim->tick();
    ASSERT_TRUE(until([&] { return TagInspector::getInstance()->getTags()[4].value == "1"; }));

    // The delete button of the second row removes exactly that row from the next frame on.
    auto* table = main->getInspectorView();
    ASSERT_EQ(table->getDeleteButtonRects().size(), 6u);
    clickIn(table->getPanel(), table->getDeleteButtonRects()[1]);
    EXPECT_EQ(watched().size(), 5u);
    EXPECT_EQ(watched()[1], "BoolTag:BOOL");
    frames(1);
    EXPECT_EQ(table->getDeleteButtonRects().size(), 5u) << "the next frame draws the table without the row";

    // Disconnect keeps rows, values and the last type; a reconnect empties the watch list and browses again.
    clickButton();
    EXPECT_EQ(status(), "PLC-Status: DISCONNECTED");
    frames(3);
    EXPECT_EQ(plcType(), "PLC-Type: " + demo["identity"]["product_name"].get<std::string>());
    EXPECT_EQ(tree->getRootItems().size(), expected.size());
    EXPECT_EQ(watched().size(), 5u);
    clickButton();
    ASSERT_TRUE(until([&] { return status() == "PLC-Status: CONNECTED"; }));
    ASSERT_TRUE(browsed());
    EXPECT_TRUE(watched().empty());
    EXPECT_EQ(tree->getRootItems().size(), expected.size());
}

TEST_F(ViewsTest, FailuresLeaveTheEarlierStateAndTheUiResponsive) {
    // Nothing listening: DISCONNECTED with "Connection failed".
    const uint16_t port = sim->port();
    sim->stop();
    connectTo(port);
    ASSERT_TRUE(until([&] { return !bar->isConnecting(); }));
    frames(1);
    EXPECT_EQ(status(), "PLC-Status: DISCONNECTED");
    EXPECT_EQ(plcType(), "Connection failed");
    EXPECT_TRUE(tree->getRootItems().empty());

    // A good browse, then a controller that closes during the next browse: the spinner goes, the rows stay.
    sim = startSim();
    connectTo(sim->port());
    ASSERT_TRUE(until([&] { return status() == "PLC-Status: CONNECTED"; }));
    ASSERT_TRUE(browsed());
    const auto before = labels(tree->getRootItems());
    clickRow(find(tree->getRootItems(), "DintTag"));
    ASSERT_TRUE(until([&] { return watched(true) == std::vector<std::string>{"DintTag=123456"}; }));
    clickButton();
    logixsim::Faults faults;
    faults.close_after_requests = 4; // session, identity, Forward Open, then the first symbol page is cut off
    sim->set_faults(faults);
    clickButton();
    ASSERT_TRUE(until([&] { return status() == "PLC-Status: CONNECTED"; }));
    frames(1);
    ASSERT_TRUE(until([&] { return !tree->isLoading(); }));
    frames(1);
    EXPECT_FALSE(tree->getSpinnerStack()->isVisible());
    EXPECT_EQ(labels(tree->getRootItems()), before);
    EXPECT_EQ(tree->getNotice(), std::string("Browse failed: ") +
                                     zelkc_logix_result_text(ZELKC_LOGIX_ERR_IO) +
                                     ". Reconnect to try again");

    // A controller that goes away while tags are watched: frames go on, the old values stay; then a
    // fresh controller is reached again.
    sim->set_faults(logixsim::Faults{});
    clickButton();
    clickButton();
    ASSERT_TRUE(until([&] { return status() == "PLC-Status: CONNECTED"; }));
    ASSERT_TRUE(browsed());
    EXPECT_EQ(tree->getNotice(), "") << "a good browse clears the line";
    clickRow(find(tree->getRootItems(), "RealTag"));
    ASSERT_TRUE(until([&] { return watched(true) == std::vector<std::string>{"RealTag=3.25"}; }));
    sim->stop();
    const auto stoppedAt = std::chrono::steady_clock::now();
    until([&] { return std::chrono::steady_clock::now() - stoppedAt > std::chrono::milliseconds(2500); });
    EXPECT_EQ(watched(true), std::vector<std::string>{"RealTag=3.25"});
    clickButton(); // disconnect
    sim = startSim();
    logixsim::Faults refusing; // two types the controller will not give: the rows come, with a line
    refusing.refused_templates = {"MotorStatus", "Ingredient"};
    sim->set_faults(refusing);
    connectTo(sim->port());
    ASSERT_TRUE(until([&] { return status() == "PLC-Status: CONNECTED"; }));
    ASSERT_TRUE(browsed());
    EXPECT_EQ(tree->getNotice(),
              "2 data types could not be read from the controller; their tags are shown without members");
    EXPECT_EQ(labels(tree->getRootItems()), before);
    EXPECT_EQ(static_cast<TagItem*>(find(tree->getRootItems(), "PumpStatus"))->getInfo()->child_count, 0u);
}

TEST_F(ViewsTest, PortFieldStaysInRangeAndStepsFastWithCtrl) {
    clickIn(bar->getFieldsPanel(), bar->getPortFieldRect(), 20);
    keys(SDLK_END, SDL_SCANCODE_END, 1);
    keys(SDLK_BACKSPACE, SDL_SCANCODE_BACKSPACE, 5);
    type("110000");
    EXPECT_EQ(bar->getPort(), 65535) << "typed past the largest port";
    keys(SDLK_BACKSPACE, SDL_SCANCODE_BACKSPACE, 6);
    type("0");
    EXPECT_EQ(bar->getPort(), 1);
    tk::pushClick(window, 1000, 400); // away from the field, which stops editing it
    frames(1);
    bar->setPort(44818);
    clickIn(bar->getFieldsPanel(), ImVec4(230, 5, 240, 20)); // the "Port:" label gives the panel the keys
    frames(1);
    const ImVec4 field = bar->getPortFieldRect();
    const float plus = field.z - (field.w - field.y) / 2 - field.x; // the last button of the field
    SDL_Event ctrl{};
    ctrl.type = SDL_KEYDOWN;
    ctrl.key.windowID = window->getId();
    ctrl.key.keysym.sym = SDLK_LCTRL;
    ctrl.key.keysym.scancode = SDL_SCANCODE_LCTRL;
    ctrl.key.keysym.mod = KMOD_LCTRL;
    SDL_PushEvent(&ctrl);
    frames(1);
    clickIn(bar->getFieldsPanel(), field, plus);
    EXPECT_EQ(bar->getPort(), 44918);
}

// The README's picture, from the real views against the demo controller: run with ORVANE_SCREENSHOT
// set to the PNG to write (scripts/screenshot does, with the application's pak).
TEST_F(ViewsTest, ReadmeScreenshot) {
    const char* png = std::getenv("ORVANE_SCREENSHOT");
    if (png == nullptr) {
        GTEST_SKIP() << "ORVANE_SCREENSHOT not set";
    }
    sim = startSim(250);
    connectTo(sim->port());
    ASSERT_TRUE(until([&] { return status() == "PLC-Status: CONNECTED"; }) && browsed());
    const Items& rows = tree->getRootItems();
    for (const char* name : {"Counter", "Sine", "Blink", "Message", "RealTag", "LintTag"}) {
        clickRow(find(rows, name));
    }
    TreeItem* motor = find(rows, "Motor1");
    TreeItem* conveyor = find(rows, "Conveyor");
    clickRow(motor, true);
    clickRow(find(motor->children(), "Status"), true);
    clickRow(find(find(motor->children(), "Status")->children(), "Speed"));
    clickRow(conveyor, true);
    clickRow(find(conveyor->children(), "Speed"));
    tree->getScrollView()->setScrollOffset(zelk::ui::Vec2{0, 0});
    clickIn(tree->getFilterPanel(), ImVec4(10, 5, 200, 25));
    type("speed");
    const auto shown = std::chrono::steady_clock::now();
    until([&] { return std::chrono::steady_clock::now() - shown > std::chrono::milliseconds(2200); });
    tk::pushMotion(window, 900, 600);
    frames(2);
    ASSERT_TRUE(window->saveScreenshot(png));
}

// ---------------------------------------------------------------------------------------------------
// Rules on hand-built rows and a held-back pool.

zelkc_logix_tag_info tagInfo(const char* name, uint16_t type,
                             std::vector<zelkc_logix_tag_info>* members = nullptr, uint32_t d0 = 0,
                             uint32_t d1 = 0) {
    zelkc_logix_tag_info info{};
    info.name = const_cast<char*>(name);
    info.symbol_type = type;
    info.dims[0] = d0;
    info.dims[1] = d1;
    if (members != nullptr) {
        info.child_count = static_cast<uint32_t>(members->size());
        info.children = members->data();
    }
    return info;
}

TEST_F(ViewsTest, ElementsAreNamedDepthFirstAndTheFilterKeepsAncestors) {
    // A 2 x 3 DINT array and a structure Motor { Speed, Mode } of which Speed is REAL.
    const auto matrix = tagInfo("Grid", 0x40C4, nullptr, 2, 3);
    std::vector<zelkc_logix_tag_info> members{tagInfo("Speed", 0xCA), tagInfo("Mode", 0xC3)};
    const auto motor = tagInfo("Motor", 0x8123, &members);
    TagItem grid("Program:Main", &matrix);
    grid.loadChildren();
    EXPECT_EQ(labels(grid.children()),
              (std::vector<std::string>{"[0,0]", "[0,1]", "[0,2]", "[1,0]", "[1,1]", "[1,2]"}));
    const auto* element = static_cast<const TagItem*>(grid.children()[5].get());
    EXPECT_EQ(element->getPath(), "Program:Main.Grid[1,2]");
    EXPECT_EQ(element->getInfo()->symbol_type, 0x00C4);
    EXPECT_EQ(element->getTypeName(), "DINT");

    TagItem root("", &motor);
    root.loadChildren();
    const struct {
        const char* text;
        bool motor, speed, mode;
    } cases[] = {{"SPEED", true, true, false},
                 {"motor.mo", true, false, true},
                 {"", true, true, true},
                 {"nothing", false, false, false},
                 {"Motor", true, true, true}};
    for (const auto& c : cases) {
        root.filter(c.text);
        EXPECT_EQ((std::vector<bool>{root.isVisible(), root.children()[0]->isVisible(),
                                     root.children()[1]->isVisible()}),
                  (std::vector<bool>{c.motor, c.speed, c.mode}))
            << '"' << c.text << '"';
    }
}

TEST_F(ViewsTest, WatchListRevisionsAndCyclesDroppedWhenTheListOrConnectionChanged) {
    static int64_t now = 0;
    AppState state;
    ThreadPool pool;
    pool.init(1);
    TagInspector list(&state, &pool, [] { return now; });
    const auto dint = tagInfo("DintTag", 0xC4);
    const auto counter = tagInfo("Counter", 0xC4);
    std::vector<zelkc_logix_tag_info> members{tagInfo("Speed", 0xCA)};
    const auto structure = tagInfo("Motor1", 0x8123, &members);

    list.addTag(&dint, "");
    list.addTag(&dint, "DintTag"); // the same path
    list.addTag(&structure, "");   // not a value
    EXPECT_EQ(list.getRevision(), 1u);
    list.removeTag("Nothing");
    EXPECT_EQ(list.getRevision(), 1u);
    list.update();
    EXPECT_FALSE(list.cycleInFlight()) << "no cycle without a connection";
    ASSERT_EQ(state.connect("127.0.0.1", sim->port()), 0);

    // Runs one cycle with the worker held until `change` has been made, then collects it.
    auto cycle = [&](const std::function<void()>& change) {
        std::promise<void> gate;
        pool.execute([f = gate.get_future().share()] { f.wait(); });
        now += TagInspector::cycleIntervalNs;
        list.update();
        ASSERT_TRUE(list.cycleInFlight());
        change();
        gate.set_value();
        ASSERT_TRUE(until([&] {
            list.update();
            return !list.cycleInFlight();
        }));
    };
    cycle([] {});
    EXPECT_EQ(list.getTags()[0].value, "123456");
    cycle([&] { list.addTag(&counter, ""); });
    EXPECT_EQ(list.getTags()[1].value, "") << "the list changed during the cycle";
    cycle([&] { ASSERT_EQ(state.connect("127.0.0.1", sim->port()), 0); });
    EXPECT_EQ(list.getTags()[1].value, "") << "a reconnection during the cycle";
    now += TagInspector::cycleIntervalNs / 2;
    list.update();
    EXPECT_FALSE(list.cycleInFlight()) << "less than a second after the last start";
    cycle([] {});
    EXPECT_EQ(list.getTags()[1].value, "0");
    list.clear();
    list.clear();
    EXPECT_EQ(list.getRevision(), 4u);
    pool.stop();
}

} // namespace
