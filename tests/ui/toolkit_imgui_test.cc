// ImGui panels: input in panel-local coordinates, only inside the panel, and texture references.
#include "toolkit_support.h"

#include <imgui_stdlib.h>

// A 60 x 30 ImGui button at (20, 30) inside a 200 x 100 panel at (100, 60).
TEST(ImGuiPanel, ClickAtAnOffsetArrivesInPanelCoordinatesAndOnlyInsideIt) {
    TestApp t;
    int clicks = 0, overlayClicks = 0;
    bool hovered = false;
    auto* panel = t.root()->addHiddenChild<ImGuiPanel>(100.0f, 60.0f, 200.0f, 100.0f);
    panel->setBuildImGuiFunction([&] {
        ImGui::SetCursorPos(ImVec2(20, 30));
        clicks += ImGui::Button("Hit", ImVec2(60, 30));
        hovered = ImGui::IsItemHovered();
    });
    auto* overlay = t.root()->addHiddenChild<Button>(120.0f, 90.0f, 30.0f, 20.0f);
    overlay->setOnClick([&] { ++overlayClicks; });
    t.frames(1);

    // {point, events (motion, button down, up), clicks so far, whether the ImGui button is hovered}.
    // Window (160, 110) is panel (60, 50): on the button. A press and release in separate frames, and
    // within one frame, each make one click. Window (30, 40) would be on the button if input were not moved
    // into panel coordinates; (250, 150) is in the panel but off the button; the overlay (120..150,
    // 90..110) takes the pointer and the click itself. Pressed on the panel and released outside the
    // window: ImGui sees the release (no stuck button), no click.
    const std::tuple<int, int, const char*, int, bool> steps[] = {
        {160, 110, "md", 0, true}, {160, 110, "u", 1, true},    {160, 110, "du", 2, true},
        {30, 40, "mdu", 2, false}, {250, 150, "mdu", 2, false}, {130, 100, "mdu", 2, false},
        {160, 110, "md", 2, true}, {500, 400, "mu", 2, false},  {160, 110, "mdu", 3, true},
    };
    for (const auto& [x, y, events, clicksNow, onButton] : steps) {
        push(t.window, events, x, y);
        t.frames(2);
        EXPECT_EQ(clicks, clicksNow) << x << "," << y << " " << events;
        EXPECT_EQ(hovered, onButton) << x << "," << y << " " << events;
    }
    EXPECT_EQ(overlayClicks, 1);
}

TEST(ImGuiPanel, TextureReferencesInsideAScrolledView) {
    TestApp t;
    t.window->setClearColor(0xFF000000);
    const Texture texture = solidTexture(8, 8, 0, 255, 0);
    auto* view = t.root()->addHiddenChild<ScrollView>(Vec2{50, 50}, Vec2{200, 100});
    auto* panel = view->addChild<ImGuiPanel>(0.0f, 0.0f, 200.0f, 400.0f);
    panel->setBuildImGuiFunction([&] {
        ImGui::SetCursorPos(ImVec2(10, 10));
        ImGui::Image(&texture, ImVec2(40, 40));
        const ImVec2 origin = ImGui::GetWindowPos();
        ImGui::GetWindowDrawList()->AddImage(ImTextureRef(&texture), ImVec2(origin.x + 100, origin.y + 10),
                                             ImVec2(origin.x + 110, origin.y + 20));
        ImGui::SetCursorPos(ImVec2(10, 140));
        ImGui::Image(&texture, ImVec2(20, 20));
    });
    t.frames(1);
    Image frame = t.window->capture();
    EXPECT_EQ(frame.at(50 + 30, 50 + 30), Color(0, 255, 0));  // the image, drawn at the panel's offset
    EXPECT_EQ(frame.at(50 + 105, 50 + 15), Color(0, 255, 0)); // the draw-list image

    // Scroll the panel up by 100: the second image (panel y 140..160) shows at window y 90..110.
    push(t.window, "mw", 100, 100, -2.5f);
    t.frames(1);
    ASSERT_FLOAT_EQ(view->getScrollOffset().y, 100);
    frame = t.window->capture();
    EXPECT_EQ(frame.at(50 + 20, 50 + 50), Color(0, 255, 0));
    EXPECT_EQ(frame.at(100, 49), Color(0xFF000000)); // nothing of the panel shows above the view
}

TEST(ImGuiPanel, KeyboardReachesOnlyTheFocusedPanel) {
    TestApp t;
    std::string text;
    bool editing = false;
    auto* panel = t.root()->addHiddenChild<ImGuiPanel>(50.0f, 50.0f, 200.0f, 40.0f);
    panel->setBuildImGuiFunction([&] {
        ImGui::SetNextItemWidth(180);
        ImGui::InputText("##field", &text);
        editing = ImGui::IsItemActive();
    });
    t.root()->addHiddenChild<Button>(300.0f, 200.0f, 50.0f, 50.0f);
    // {click before typing and where, text typed, field's text, whether it is being edited}: nothing focused
    // yet; into the field; the button takes the focus and the field stops editing.
    const std::tuple<const char*, int, int, const char*, const char*, bool> steps[] = {
        {"", 0, 0, "x", "", false}, {"mdu", 100, 60, "ab", "ab", true}, {"mdu", 320, 220, "d", "ab", false}};
    for (const auto& [click, x, y, typed, field, active] : steps) {
        push(t.window, click, x, y);
        t.frames(2);
        push(t.window, "t", 0, 0, 0, typed);
        t.frames(2);
        EXPECT_EQ(text, field);
        EXPECT_EQ(editing, active);
    }
}

// Key presses quicker than the frames each reach ImGui as a press of their own: ten in one frame, and
// one right after a frame that showed the same key down; a held key's repeated events add none.
TEST(ImGuiPanel, EveryKeyPressArrivesEvenWithinOneFrame) {
    TestApp t;
    int presses = 0;
    auto* panel = t.root()->addHiddenChild<ImGuiPanel>(50.0f, 50.0f, 200.0f, 40.0f);
    panel->setBuildImGuiFunction([&] { presses += ImGui::IsKeyPressed(SDL_SCANCODE_DOWN, false) ? 1 : 0; });
    push(t.window, "mdu", 100, 60); // the keyboard focus
    t.frames(2);
    auto key = [&](bool down, bool repeat = false) {
        SDL_Event e{};
        e.type = down ? SDL_KEYDOWN : SDL_KEYUP;
        e.key.windowID = t.window->getId();
        e.key.state = down ? SDL_PRESSED : SDL_RELEASED;
        e.key.repeat = repeat ? 1 : 0;
        e.key.keysym.sym = SDLK_DOWN;
        e.key.keysym.scancode = SDL_SCANCODE_DOWN;
        SDL_PushEvent(&e);
    };
    // {presses queued before the frames (each down and up), a held key's repeats, presses seen}
    const std::tuple<int, int, int> cases[] = {{10, 0, 10}, {1, 0, 1}, {0, 5, 1}};
    for (const auto& [taps, repeats, seen] : cases) {
        presses = 0;
        for (int i = 0; i < taps; ++i) {
            key(true);
            key(false);
        }
        if (repeats > 0) {
            key(true);
            for (int i = 0; i < repeats; ++i)
                key(true, true);
            t.frames(1);
            key(false);
        }
        t.frames(25);
        EXPECT_EQ(presses, seen) << taps << " taps, " << repeats << " repeats";
    }
    // Right after a frame that showed the key down, the next tap is a new press.
    presses = 0;
    key(true);
    t.frames(1);
    key(false);
    key(true);
    key(false);
    t.frames(5);
    EXPECT_EQ(presses, 2);
}
