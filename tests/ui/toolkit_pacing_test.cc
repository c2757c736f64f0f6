// Frame pacing: what makes the loop run the next frame at once (nextWaitMs() == 0) and what lets it
// rest for Application::kRestFrameMs, state by state, and that a dispatch from another thread wakes
// a loop that waits for events.
#include "toolkit_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <imgui.h>
#include <string>
#include <thread>

using namespace tk;

namespace {

// A widget that asks for frames from update() while `animating` is set.
class Animated : public Widget {
public:
    using Widget::Widget;
    bool animating = true;
    void update() override {
        if (animating) {
            requestFrame();
        }
        Widget::update();
    }
};

constexpr std::uint32_t kRest = Application::kRestFrameMs;

} // namespace

TEST(Pacing, NextWaitAfterEachKindOfDemand) {
    TestApp t(200, 100);
    auto* panel = t.root()->addHiddenChild<ImGuiPanel>(0.0f, 0.0f, 100.0f, 100.0f);
    auto* animated = t.root()->addHiddenChild<Animated>(150.0f, 0.0f, 10.0f, 10.0f);
    animated->animating = false;
    EXPECT_EQ(t.app->nextWaitMs(), 0u) << "before the first frame";
    t.frames(2);
    EXPECT_EQ(t.app->nextWaitMs(), kRest) << "at rest";

    // {what happens before one frame, wait after that frame, wait after one more frame}
    struct Case {
        const char* name;
        std::function<void()> before;
        std::uint32_t after, afterNext;
    };
    const Case cases[] = {
        {"motion outside any panel", [&] { pushMotion(t.window, 180, 90); }, 0, kRest},
        {"key with nothing focused", [&] { pushKey(t.window, SDLK_a, SDL_SCANCODE_A, true); }, 0, kRest},
        {"window resized",
         [&] {
             SDL_Event e{};
             e.type = SDL_WINDOWEVENT;
             e.window.windowID = t.window->getId();
             e.window.event = SDL_WINDOWEVENT_SIZE_CHANGED;
             SDL_PushEvent(&e);
         },
         0, kRest},
        {"event of a type no window takes",
         [] {
             SDL_Event e{};
             e.type = SDL_USEREVENT;
             SDL_PushEvent(&e);
         },
         kRest, kRest},
        {"queued main-thread work runs in the frame", [] { Application::dispatchToMainThread([] {}); }, kRest,
         kRest},
        {"visible widget animating", [&] { animated->animating = true; }, 0, 0},
        {"animating widget hidden", [&] { animated->setVisible(false); }, kRest, kRest},
        {"animating widget stops",
         [&] {
             animated->setVisible(true);
             animated->animating = false;
         },
         kRest, kRest},
    };
    for (const Case& c : cases) {
        c.before();
        t.frames(1);
        EXPECT_EQ(t.app->nextWaitMs(), c.after) << c.name;
        t.frames(1);
        EXPECT_EQ(t.app->nextWaitMs(), c.afterNext) << c.name << ", one frame later";
    }

    // Work queued (from another thread, say) or a request made between frames needs the next frame,
    // which satisfies it.
    for (const auto& demand : {std::function<void()>([] { Application::dispatchToMainThread([] {}); }),
                               std::function<void()>([] { Application::requestFrame(); })}) {
        demand();
        EXPECT_EQ(t.app->nextWaitMs(), 0u);
        t.frames(1);
        EXPECT_EQ(t.app->nextWaitMs(), kRest);
    }

    // An ImGui panel keeps full-rate frames for a while after input reaches it, then rests.
    pushMotion(t.window, 50, 50);
    int fullRate = 0;
    for (int i = 0; i < 2 * ImGuiPanel::kFramesAfterInput && (t.frames(1), t.app->nextWaitMs() == 0); ++i) {
        ++fullRate;
    }
    EXPECT_EQ(fullRate, ImGuiPanel::kFramesAfterInput);
    EXPECT_EQ(t.app->nextWaitMs(), kRest);
    (void)panel;
}

TEST(Pacing, WaitForEventsReturnsForQueuedEventsAndAnotherThreadsDispatch) {
    TestApp t(200, 100);
    t.frames(1);
    constexpr std::uint32_t kHangGuardMs = 60000; // only bounds a broken wake-up; never reached
    pushMotion(t.window, 10, 10);
    EXPECT_TRUE(t.app->waitForEvents(kHangGuardMs)) << "an event already queued";
    t.frames(1);

    for (int round = 0; round < 3; ++round) {
        std::atomic<bool> ran{false};
        std::thread worker([&] { Application::dispatchToMainThread([&] { ran = true; }); });
        EXPECT_TRUE(t.app->waitForEvents(kHangGuardMs)) << "round " << round;
        worker.join();
        t.frames(1);
        EXPECT_TRUE(ran.load()) << "round " << round;
    }
}

TEST(Pacing, OnlyFramesThatDrawSomethingNewArePresented) {
    TestApp t(200, 100);
    auto* rect = t.root()->addHiddenChild<Rectangle>(10.0f, 10.0f, 20.0f, 20.0f);
    auto* panel = t.root()->addHiddenChild<ImGuiPanel>(100.0f, 0.0f, 100.0f, 100.0f);
    std::string label = "one";
    panel->setBuildImGuiFunction([&] { ImGui::TextUnformatted(label.c_str()); });
    std::vector<Texture> textures;
    textures.push_back(solidTexture(4, 4, 255, 0, 0));
    t.frames(2);

    // {what changes before a frame, whether that frame is presented}; a frame after it never is.
    struct Case {
        const char* name;
        std::function<void()> change;
        bool presented;
    };
    const Case cases[] = {
        {"nothing", [] {}, false},
        {"rectangle colour", [&] { rect->setColor(Color(0, 255, 0, 255)); }, true},
        {"rectangle colour set to the same", [&] { rect->setColor(Color(0, 255, 0, 255)); }, false},
        {"rectangle moved", [&] { rect->setPosition(12, 10); }, true},
        {"ImGui text", [&] { label = "two"; }, true},
        {"textured", [&] { rect->setTexture(&textures.back()); }, true},
        {"another texture of the same size",
         [&] {
             textures.push_back(solidTexture(4, 4, 0, 0, 255));
             rect->setTexture(&textures.back());
         },
         true},
        {"clear colour", [&] { t.window->setClearColor(Color(9, 9, 9, 255)); }, true},
        {"window exposed",
         [&] {
             SDL_Event e{};
             e.type = SDL_WINDOWEVENT;
             e.window.windowID = t.window->getId();
             e.window.event = SDL_WINDOWEVENT_EXPOSED;
             SDL_PushEvent(&e);
         },
         true},
        {"hidden", [&] { rect->setVisible(false); }, true},
    };
    for (const Case& c : cases) {
        const std::uint64_t before = t.window->getPresentedFrames();
        c.change();
        t.frames(1);
        EXPECT_EQ(t.window->getPresentedFrames(), before + (c.presented ? 1 : 0)) << c.name;
        t.frames(1);
        EXPECT_EQ(t.window->getPresentedFrames(), before + (c.presented ? 1 : 0)) << c.name << ", next frame";
    }
    // A frame that was not presented is still what capture() reads back.
    rect->setVisible(true);
    t.frames(2);
    EXPECT_EQ(t.window->capture().at(15, 15), Color(0, 0, 255, 255));
}
