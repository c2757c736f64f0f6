// Frame pacing: what makes the loop run the next frame at once (nextWaitMs() == 0) or rest for
// Application::kRestFrameMs, which frames are presented, and that another thread's dispatch wakes a
// loop waiting for events. Nothing here is timed: the loop's decisions are read back frame by frame.
#include "toolkit_support.h"

#include <gtest/gtest.h>
#include <imgui.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

using namespace tk;

namespace {

void pushEvent(Uint32 type, Uint8 windowEvent = 0) {
    SDL_Event e{};
    e.type = type;
    e.window.event = windowEvent;
    SDL_PushEvent(&e);
}

constexpr std::uint32_t R = Application::kRestFrameMs;

} // namespace

TEST(Pacing, WaitAndPresentAfterEachKindOfChange) {
    TestApp t(200, 100);
    auto* rect = t.root()->addHiddenChild<Rectangle>(10.0f, 10.0f, 20.0f, 20.0f);
    auto* panel = t.root()->addHiddenChild<ImGuiPanel>(100.0f, 0.0f, 100.0f, 100.0f);
    std::string label = "one";
    panel->setBuildImGuiFunction([&] { ImGui::TextUnformatted(label.c_str()); });
    std::vector<Texture> textures;
    textures.reserve(2);
    EXPECT_EQ(t.app->nextWaitMs(), 0u) << "before the first frame";
    t.frames(2);

    // {change before a frame, wait after it, whether it is presented, wait after one more frame}
    struct Case {
        const char* name;
        std::function<void()> change;
        std::uint32_t wait;
        bool presented;
        std::uint32_t waitNext;
    };
    const Case cases[] = {
        {"nothing", [] {}, R, false, R},
        {"motion away from the panel", [&] { pushMotion(t.window, 50, 90); }, 0, false, R},
        {"window exposed", [] { pushEvent(SDL_WINDOWEVENT, SDL_WINDOWEVENT_EXPOSED); }, 0, true, R},
        {"an event no window takes", [] { pushEvent(SDL_USEREVENT); }, R, false, R},
        {"work queued, run in the frame", [] { Application::dispatchToMainThread([] {}); }, R, false, R},
        {"tick asking for frames", [&] { Application::registerTickCallback(&t, Widget::requestFrame); }, 0,
         false, 0},
        {"tick gone", [&] { Application::unregisterTickCallback(&t); }, R, false, R},
        {"rectangle colour", [&] { rect->setColor(Color(0, 255, 0, 255)); }, R, true, R},
        {"rectangle moved", [&] { rect->setPosition(12, 10); }, R, true, R},
        {"ImGui text", [&] { label = "two"; }, R, true, R},
        {"textured", [&] { rect->setTexture(&textures.emplace_back(solidTexture(4, 4, 255, 0, 0))); }, R,
         true, R},
        {"another texture, same size",
         [&] { rect->setTexture(&textures.emplace_back(solidTexture(4, 4, 0, 0, 255))); }, R, true, R},
        {"clear colour", [&] { t.window->setClearColor(Color(9, 9, 9, 255)); }, R, true, R},
    };
    for (const Case& c : cases) {
        const std::uint64_t presented = t.window->getPresentedFrames() + (c.presented ? 1 : 0);
        c.change();
        t.frames(1);
        EXPECT_EQ(t.app->nextWaitMs(), c.wait) << c.name;
        EXPECT_EQ(t.window->getPresentedFrames(), presented) << c.name;
        t.frames(1);
        EXPECT_EQ(t.app->nextWaitMs(), c.waitNext) << c.name << ", next frame";
        EXPECT_EQ(t.window->getPresentedFrames(), presented) << c.name << ", next frame";
    }
    EXPECT_EQ(t.window->capture().at(15, 15), Color(0, 0, 255, 255)) << "capture() draws unpresented frames";

    // Demands made between frames (work queued from another thread, say) are met by the next frame.
    Application::dispatchToMainThread([] {});
    EXPECT_EQ(t.app->nextWaitMs(), 0u);
    t.frames(1);
    Application::requestFrame();
    EXPECT_EQ(t.app->nextWaitMs(), 0u);
    // Input to an ImGui panel keeps the full rate for kFramesAfterInput frames.
    pushMotion(t.window, 150, 50);
    int fullRate = 0;
    while (fullRate <= ImGuiPanel::kFramesAfterInput && (t.frames(1), t.app->nextWaitMs() == 0)) {
        ++fullRate;
    }
    EXPECT_EQ(fullRate, ImGuiPanel::kFramesAfterInput);
}

TEST(Pacing, WaitForEventsReturnsForAnotherThreadsDispatchAndAQueuedEvent) {
    TestApp t(200, 100);
    t.frames(1);
    constexpr std::uint32_t kHangGuardMs = 60000; // bounds a broken wake-up only; never the assertion
    std::atomic<bool> ran{false};
    std::thread worker([&] { Application::dispatchToMainThread([&] { ran = true; }); });
    EXPECT_TRUE(t.app->waitForEvents(kHangGuardMs));
    worker.join();
    t.frames(1);
    EXPECT_TRUE(ran.load());
    pushMotion(t.window, 10, 10);
    EXPECT_TRUE(t.app->waitForEvents(kHangGuardMs)) << "an event queued already";
}
