// Frame pacing: what makes the loop run the next frame at once (nextWaitMs() == 0) or rest for
// Application::kRestFrameMs, which frames are presented, and that another thread's dispatch wakes a
// loop waiting for events. Nothing here is timed: the loop's decisions are read back frame by frame.
#include "toolkit_support.h"

#include <string>
#include <utility>

TEST(Pacing, WaitAndPresentAfterEachKindOfChange) {
    constexpr std::uint32_t R = Application::kRestFrameMs;
    TestApp t(200, 100);
    auto* rect = t.root()->addHiddenChild<Rectangle>(10.0f, 10.0f, 20.0f, 20.0f);
    auto* panel = t.root()->addHiddenChild<ImGuiPanel>(100.0f, 0.0f, 100.0f, 100.0f);
    std::string label = "one";
    panel->setBuildImGuiFunction([&] { ImGui::TextUnformatted(label.c_str()); });
    Texture texture = solidTexture(4, 4, 255, 0, 0);
    EXPECT_EQ(t.app->nextWaitMs(), 0u) << "before the first frame";
    t.frames(2);

    // {change before a frame, wait after it, whether it is presented, wait after one more frame}
    const std::tuple<const char*, std::function<void()>, std::uint32_t, bool, std::uint32_t> cases[] = {
        {"nothing", [] {}, R, false, R},
        {"motion away from the panel", [&] { push(t.window, "m", 50, 90); }, 0, false, R},
        {"window exposed", [&] { push(t.window, "e"); }, 0, true, R},
        {"an event no window takes", [&] { push(t.window, "x"); }, R, false, R},
        {"work queued, run in the frame", [] { Application::dispatchToMainThread([] {}); }, R, false, R},
        {"tick asking for frames", [&] { Application::registerTickCallback(&t, Widget::requestFrame); }, 0,
         false, 0},
        {"tick gone", [&] { Application::unregisterTickCallback(&t); }, R, false, R},
        {"rectangle colour", [&] { rect->setColor(Color(0, 255, 0, 255)); }, R, true, R},
        {"rectangle moved", [&] { rect->setPosition(12, 10); }, R, true, R},
        {"ImGui text", [&] { label = "two"; }, R, true, R},
        {"textured", [&] { rect->setTexture(&texture); }, R, true, R},
        {"new pixels in the same texture", [&] { texture = solidTexture(4, 4, 0, 0, 255); }, R, true, R},
        {"pixels changed in place", [] { Renderer::texturesChanged(); }, R, true, R},
        {"clear colour", [&] { t.window->setClearColor(Color(9, 9, 9, 255)); }, R, true, R},
        {"a longer rest", [] { Application::setRestFrameMs(250); }, 250, false, 250},
        {"the usual rest again", [] { Application::setRestFrameMs(R); }, R, false, R},
    };
    for (const auto& [name, change, wait, presented, waitNext] : cases) {
        const std::uint64_t expected = t.window->getPresentedFrames() + presented;
        change();
        t.frames(1);
        EXPECT_EQ(t.app->nextWaitMs(), wait) << name;
        EXPECT_EQ(t.window->getPresentedFrames(), expected) << name;
        t.frames(1);
        EXPECT_EQ(t.app->nextWaitMs(), waitNext) << name << ", next frame";
        EXPECT_EQ(t.window->getPresentedFrames(), expected) << name << ", next frame";
    }

    // Demands made between frames (work queued from another thread, say) are met by the next frame.
    Application::dispatchToMainThread([] {});
    EXPECT_EQ(t.app->nextWaitMs(), 0u);
    t.frames(1);
    // Input to an ImGui panel keeps the full rate for kFramesAfterInput frames.
    push(t.window, "m", 150, 50);
    int fullRate = 0;
    while (fullRate <= ImGuiPanel::kFramesAfterInput && (t.frames(1), t.app->nextWaitMs() == 0)) {
        ++fullRate;
    }
    EXPECT_EQ(fullRate, ImGuiPanel::kFramesAfterInput);

    // Another thread's dispatch wakes a loop waiting for events.
    constexpr std::uint32_t kHangGuardMs = 60000; // bounds a broken wake-up only; never the assertion
    std::atomic<bool> ran{false};
    std::thread worker([&] { Application::dispatchToMainThread([&] { ran = true; }); });
    EXPECT_TRUE(t.app->waitForEvents(kHangGuardMs));
    worker.join();
    t.frames(1);
    EXPECT_TRUE(ran.load());
}

// run() between frames: with nothing happening it rests for the rest bound less the time the frame
// took, and not at all after a frame that took the whole bound, so tick callbacks (the watch cycle, a
// quit request) run at least once per bound. The clock and the wait are the test's: nothing waits.
TEST(Pacing, RunRestsWithinTheBoundBetweenTicks) {
    constexpr std::uint32_t R = Application::kRestFrameMs;
    TestApp t(200, 100);
    t.frames(2);
    const std::uint32_t frameMs[] = {0, 30, R - 1, R, R + 50, 0}; // what each frame's tick takes
    std::uint64_t clockUs = 5000000;
    std::size_t ticks = 0;
    std::vector<std::uint32_t> rests;
    t.app->setClock([&] { return clockUs; });
    t.app->setRestWait([&](std::uint32_t ms) { return rests.push_back(ms), clockUs += ms * 1000ull, false; });
    Application::registerTickCallback(&t, [&] {
        clockUs += frameMs[ticks] * 1000ull;
        if (++ticks == std::size(frameMs))
            Application::quit();
    });
    t.app->run();
    EXPECT_EQ(ticks, std::size(frameMs));
    EXPECT_EQ(rests, (std::vector<std::uint32_t>{R, R - 30, 1}));
}

// A focused text field blinks its cursor (a new picture to present twice every 1.2 s) until the panel
// has had no input for kCursorBlinkSeconds; then the cursor stays shown and resting frames present
// nothing, until the next input starts the blinking again. Frames of 250 ms, like a resting loop.
TEST(Pacing, AFocusedFieldStopsBlinkingWhenLeftAlone) {
    TestApp t(200, 100);
    auto* panel = t.root()->addHiddenChild<ImGuiPanel>(0.0f, 0.0f, 200.0f, 100.0f);
    std::string text = "127.0.0.1";
    bool focus = true;
    panel->setBuildImGuiFunction([&] {
        if (std::exchange(focus, false))
            ImGui::SetKeyboardFocusHere();
        ImGui::InputText("##field", text.data(), text.size() + 1);
    });
    // Presents over `seconds` of resting frames.
    const auto presentsOver = [&](float seconds) {
        const std::uint64_t before = t.window->getPresentedFrames();
        for (float s = 0; s < seconds; s += 0.25f)
            t.app->runFrame(250000);
        return t.window->getPresentedFrames() - before;
    };
    t.frames(3);
    EXPECT_GE(presentsOver(4.0f), 4u) << "the cursor blinks while the field is fresh";
    presentsOver(ImGuiPanel::kCursorBlinkSeconds);
    EXPECT_EQ(presentsOver(6.0f), 0u) << "left alone, nothing changes on screen";
    push(t.window, "m", 50, 50); // the pointer comes back over the panel
    EXPECT_GE(presentsOver(4.0f), 4u) << "input starts the blinking again";
}
