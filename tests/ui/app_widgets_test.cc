// The application's widgets, driven frame by frame with synthetic input: the spinner's turning, the
// styled buttons and the locked state, and the std::string text-input adaptor.
#include <algorithm>
#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "AppStyle.h"
#include "AppTextures.h"
#include "Views/DefaultButton.h"
#include "Views/IconButton.h"
#include "Views/InputText.h"
#include "Views/Spinner.h"
#include "app_fixture.h"

using zelk::ui::Color;
using zelk::ui::Vec2;

namespace {

const auto* const pakEnvironment = ::testing::AddGlobalTestEnvironment(new apptest::PakEnvironment);

const Color background(16, 16, 16, 255);

// The colour `c` drawn over the window background (plain alpha blending).
Color over(Color c) {
    auto mix = [&](uint8_t top, uint8_t bottom) {
        return static_cast<uint8_t>(std::lround((top * c.a + bottom * (255 - c.a)) / 255.0));
    };
    return {mix(c.r, background.r), mix(c.g, background.g), mix(c.b, background.b), 255};
}

void expectNear(Color actual, Color expected) {
    EXPECT_NEAR(actual.r, expected.r, 2);
    EXPECT_NEAR(actual.g, expected.g, 2);
    EXPECT_NEAR(actual.b, expected.b, 2);
}

TEST(SpinnerAngle, TurnsHalfATurnPerSecondAndResetsPast359) {
    const struct {
        float angle;
        std::uint64_t us;
        float next;
    } cases[] = {
        {0, 1000000, 180}, {10, 500000, 100}, {123, 0, 123}, // a frame of 0 us changes nothing
        {359, 0, 359},                                       // exactly 359 stays
        {359, 2778, 0},                                      // 359.5 is reset to 0
        {350, 100000, 0},                                    // reset, not wrapped to 8
    };
    for (const auto& c : cases) {
        EXPECT_FLOAT_EQ(Spinner::nextAngle(c.angle, c.us), c.next) << c.angle << " + " << c.us << " us";
    }
}

class WidgetsTest : public apptest::AppFixture {
protected:
    void SetUp() override {
        AppFixture::SetUp();
        window = zelk::ui::Application::createWindow("widgets", 400, 300, 0x71F);
        window->setClearColor(background);
        root = window->getRootWidget();
    }
    zelk::ui::Window* window = nullptr;
    zelk::ui::Widget* root = nullptr;
};

TEST_F(WidgetsTest, SpinnerTurnsWithTheFrameDurationAboutItsCentre) {
    auto* spinner = root->addHiddenChild<Spinner>(Vec2{100, 100}, Vec2{64, 64});
    EXPECT_EQ(spinner->getOrigin(), (Vec2{32, 32}));
    // {frames of 0.5 s (the first of 0 s), angle}: 450 degrees is reset to 0.
    const float steps[][2] = {{0, 0}, {1, 90}, {2, 270}, {1, 0}, {1, 90}};
    for (const auto& s : steps) {
        frames(std::max(1, static_cast<int>(s[0])), s[0] == 0 ? 0 : 500000);
        EXPECT_FLOAT_EQ(spinner->getRotation(), s[1]);
    }
    // Turned a quarter, the white square still covers its centre and stays near its place.
    const zelk::ui::Image image = window->capture();
    EXPECT_EQ(image.at(132, 132), Color(255, 255, 255, 255));
    EXPECT_EQ(image.at(104, 104), Color(255, 255, 255, 255));
    EXPECT_EQ(image.at(90, 132), background);
    EXPECT_EQ(image.at(132, 170), background);

    // Turning keeps the loop at full rate; hidden it turns no more and the loop may rest.
    EXPECT_EQ(t->app->nextWaitMs(), 0u);
    spinner->setVisible(false);
    frames(1);
    EXPECT_EQ(t->app->nextWaitMs(), zelk::ui::Application::kRestFrameMs);
    EXPECT_FLOAT_EQ(spinner->getRotation(), 90);
}

TEST_F(WidgetsTest, DefaultButtonStatesAndALockedOneIgnoresClicks) {
    const AppStyle* style = AppStyle::getInstance();
    auto* button = root->addHiddenChild<DefaultButton>(20.0f, 20.0f, 140.0f, 28.0f);
    int clicks = 0;
    button->setOnClick([&] { ++clicks; });
    frames(1);
    expectNear(window->capture().at(22, 22), Color(37, 88, 220, 255)); // away from the pointer
    click(window, 60, 30);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(button->getStateColor(), Color(style->getButtonHoverColor()));

    // Pressed inside, released outside (and the reverse): no click.
    tk::pushButton(window, 60, 30, true);
    frames(1);
    EXPECT_EQ(button->getStateColor(), Color(style->getButtonPressedColor()));
    tk::pushMotion(window, 300, 250);
    tk::pushButton(window, 300, 250, false);
    tk::pushButton(window, 300, 250, true);
    tk::pushMotion(window, 60, 30);
    tk::pushButton(window, 60, 30, false);
    frames(1);
    EXPECT_EQ(clicks, 1);

    button->setLocked(true);
    tk::pushMotion(window, 300, 250);
    frames(1);
    EXPECT_EQ(button->getStateColor(), Color(style->getButtonLockedColor()));
    expectNear(window->capture().at(22, 22), over(Color(37, 88, 220, 80)));
    click(window, 60, 30);
    click(window, 25, 45);
    EXPECT_EQ(clicks, 1) << "a locked button must not react";

    button->setLocked(false);
    click(window, 60, 30);
    click(window, 200, 30); // outside
    EXPECT_EQ(clicks, 2);
}

TEST_F(WidgetsTest, IconButtonShowsItsTextureAsDrawnFadedByTheStateColour) {
    auto* texture = AppTextures::getTexture("icons/loading.png");
    ASSERT_NE(texture, nullptr);
    auto* button = root->addHiddenChild<IconButton>(Vec2{200, 100}, Vec2{32, 32}, texture);
    frames(1);
    expectNear(window->capture().at(216, 116), Color(255, 255, 255, 255)); // at rest: the icon itself
    tk::pushMotion(window, 216, 116);
    tk::pushButton(window, 216, 116, true);
    frames(1);
    expectNear(window->capture().at(216, 116), over(Color(255, 255, 255, 100))); // pressed
    tk::pushButton(window, 216, 116, false);
    button->setLocked(true);
    frames(1);
    expectNear(window->capture().at(216, 116), over(Color(255, 255, 255, 50))); // locked
}

TEST_F(WidgetsTest, StdStringInputGrowsAndHoldsExactlyTheShownText) {
    std::string text = "ab";
    auto* panel = root->addHiddenChild<zelk::ui::ImGuiPanel>(0.0f, 0.0f, 400.0f, 60.0f);
    AppStyle::getInstance()->applyImGuiStyle(panel->getImGuiContext());
    panel->setDefaultFont(AppStyle::getInstance()->getDefaultFont(), 16.8f);
    bool changed = false;
    panel->setBuildImGuiFunction([&] {
        ImGui::SetNextItemWidth(380);
        changed |= ImGui::InputText("##field", &text);
    });
    frames(2);
    click(window, 100, 10);
    // Text arrives in SDL-sized pieces; together far beyond the string's first capacity.
    const std::string typed = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-0123456789";
    for (size_t at = 0; at < typed.size(); at += 20) {
        tk::pushText(window, typed.substr(at, 20).c_str());
        frames(1);
    }
    frames(1);
    EXPECT_TRUE(changed);
    EXPECT_EQ(text, "ab" + typed);

    tk::pushKey(window, SDLK_BACKSPACE, SDL_SCANCODE_BACKSPACE, true);
    frames(1);
    tk::pushKey(window, SDLK_BACKSPACE, SDL_SCANCODE_BACKSPACE, false);
    frames(2);
    EXPECT_EQ(text, "ab" + typed.substr(0, typed.size() - 1)) << "the string shrinks with the shown text";
}

} // namespace
