// ImGui panels: input in panel-local coordinates, only inside the panel, and texture references.
#include "toolkit_support.h"

#include <gtest/gtest.h>
#include <imgui_stdlib.h>

#include <fstream>
#include <iterator>
#include <string>

using namespace tk;

// A 60 x 30 ImGui button at (20, 30) inside a 200 x 100 panel at (100, 60).
TEST(ImGuiPanel, ClickAtAnOffsetArrivesInPanelCoordinatesAndOnlyInsideIt) {
    TestApp t;
    int clicks = 0;
    ImVec2 clickPos{-1, -1};
    bool hovered = false;
    auto* panel = t.root()->addHiddenChild<ImGuiPanel>(100.0f, 60.0f, 200.0f, 100.0f);
    panel->setBuildImGuiFunction([&] {
        ImGui::SetCursorPos(ImVec2(20, 30));
        if (ImGui::Button("Hit", ImVec2(60, 30))) {
            ++clicks;
            clickPos = ImGui::GetIO().MouseClickedPos[0];
        }
        hovered = ImGui::IsItemHovered();
    });
    t.frames(1);

    // Window (130, 100) is panel (30, 40): on the button. Press and release in separate frames, then
    // within one frame: each makes one click.
    pushMotion(t.window, 130, 100);
    pushButton(t.window, 130, 100, true);
    t.frames(1);
    pushButton(t.window, 130, 100, false);
    t.frames(2);
    pushClick(t.window, 150, 110);
    t.frames(3);
    EXPECT_EQ(clicks, 2);
    EXPECT_EQ(clickPos.x, 50);
    EXPECT_EQ(clickPos.y, 50);

    // Window (30, 40) would be on the button if input were not moved into panel coordinates; (250,
    // 150) is inside the panel but off the button.
    pushClick(t.window, 30, 40);
    t.frames(3);
    pushClick(t.window, 250, 150);
    t.frames(3);
    EXPECT_EQ(clicks, 2);

    // A button laid over the panel's ImGui button takes the pointer and the click itself.
    int overlayClicks = 0;
    auto* overlay = t.root()->addHiddenChild<Button>(120.0f, 90.0f, 30.0f, 20.0f);
    overlay->setOnClick([&] { ++overlayClicks; });
    pushMotion(t.window, 170, 115); // on the ImGui button, beside the overlay
    t.frames(1);
    EXPECT_TRUE(hovered);
    pushMotion(t.window, 130, 100);
    t.frames(1);
    EXPECT_FALSE(hovered);
    pushClick(t.window, 130, 100);
    t.frames(3);
    EXPECT_EQ(overlayClicks, 1);
    EXPECT_EQ(clicks, 2);

    // Pressed on the panel, released far outside: ImGui sees the release (no stuck button), no click.
    t.root()->removeChild(overlay);
    pushMotion(t.window, 130, 100);
    pushButton(t.window, 130, 100, true);
    t.frames(1);
    pushMotion(t.window, 390, 290);
    pushButton(t.window, 390, 290, false);
    t.frames(2);
    EXPECT_EQ(clicks, 2);
    pushClick(t.window, 130, 100);
    t.frames(3);
    EXPECT_EQ(clicks, 3);
}

TEST(ImGuiPanel, TextureReferencesAndIdFirstImageButtonInsideAScrolledView) {
    TestApp t;
    t.window->setClearColor(0xFF000000);
    const Texture texture = solidTexture(8, 8, 0, 255, 0);
    auto* view = t.root()->addHiddenChild<ScrollView>(Vec2{50, 50}, Vec2{200, 100});
    auto* panel = view->addChild<ImGuiPanel>(0.0f, 0.0f, 200.0f, 400.0f);
    int imageClicks = 0;
    panel->setBuildImGuiFunction([&] {
        ImGui::SetCursorPos(ImVec2(10, 10));
        ImGui::Image(&texture, ImVec2(40, 40));
        const ImVec2 origin = ImGui::GetWindowPos();
        ImGui::GetWindowDrawList()->AddImage(ImTextureRef(&texture), ImVec2(origin.x + 100, origin.y + 10),
                                             ImVec2(origin.x + 110, origin.y + 20));
        ImGui::SetCursorPos(ImVec2(10, 140));
        ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(0, 0));
        if (ImGui::ImageButton("##img", &texture, ImVec2(20, 20), ImVec2(0, 0), ImVec2(1, 1),
                               ImVec4(0, 0, 0, 0), ImVec4(1, 1, 1, 1))) {
            ++imageClicks;
        }
        ImGui::PopStyleVar();
    });
    t.frames(1);
    Image frame = t.window->capture();
    EXPECT_EQ(frame.at(50 + 30, 50 + 30), Color(0, 255, 0));  // the image, drawn at the panel's offset
    EXPECT_EQ(frame.at(50 + 105, 50 + 15), Color(0, 255, 0)); // the draw-list image

    // Scroll the panel up by 100: the image button (panel y 140..160) shows at window y 90..110.
    pushMotion(t.window, 100, 100);
    pushWheel(t.window, -2.5f);
    t.frames(1);
    ASSERT_FLOAT_EQ(view->getScrollOffset().y, 100);
    frame = t.window->capture();
    EXPECT_EQ(frame.at(50 + 20, 50 + 50), Color(0, 255, 0));
    EXPECT_NE(frame.at(50 + 30, 50 + 30), Color(0, 255, 0)); // the first image is now clipped away
    pushClick(t.window, 50 + 20, 50 + 50);
    t.frames(3);
    EXPECT_EQ(imageClicks, 1);
}

TEST(ImGuiPanel, EachPanelHasItsOwnContextAndFont) {
    std::ifstream in("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (bytes.empty()) {
        GTEST_SKIP() << "no DejaVu font on this machine";
    }
    const Font font(bytes.data(), bytes.size(), 0);
    TestApp t;
    auto* a = t.root()->addHiddenChild<ImGuiPanel>(0.0f, 0.0f, 100.0f, 50.0f);
    auto* b = t.root()->addHiddenChild<ImGuiPanel>(0.0f, 60.0f, 100.0f, 50.0f);
    float sizeA = 0;
    float sizeB = 0;
    a->setDefaultFont(&font, 21.6f);
    a->setBuildImGuiFunction([&] { sizeA = ImGui::GetFontSize(); });
    b->setBuildImGuiFunction([&] { sizeB = ImGui::GetFontSize(); });
    t.frames(1);
    EXPECT_NE(a->getImGuiContext(), b->getImGuiContext());
    EXPECT_FLOAT_EQ(sizeA, 21.6f);
    EXPECT_FLOAT_EQ(sizeB, 13.0f);
    a->setDefaultFont(&font, 16.8f); // the font can change between frames
    t.frames(1);
    EXPECT_FLOAT_EQ(sizeA, 16.8f);
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
    t.frames(1);
    pushText(t.window, "x"); // nothing focused yet
    t.frames(1);
    EXPECT_EQ(text, "");

    pushClick(t.window, 100, 60); // into the field
    t.frames(2);
    EXPECT_TRUE(editing);
    pushText(t.window, "ab");
    t.frames(1);
    EXPECT_EQ(text, "ab");

    pushClick(t.window, 320, 220); // the button takes the focus; the field stops editing
    t.frames(2);
    pushText(t.window, "d");
    t.frames(2);
    EXPECT_EQ(text, "ab");
    EXPECT_FALSE(editing);
}
