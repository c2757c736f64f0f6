// The application's widgets, driven frame by frame with synthetic input: the spinner's turning, the
// styled button and its locked state, and the std::string text-input adaptor.
#include <cmath>
#include <string>

#include <SDL.h>
#include <gtest/gtest.h>
#include <zelk/ui/ImGuiPanel.h>
#include <zelk/ui/Window.h>

#include "AppStyle.h"
#include "AppTextures.h"
#include "Views/DefaultButton.h"
#include "Views/IconButton.h"
#include "Views/InputText.h"
#include "Views/Spinner.h"
#include "app_fixture.h"

namespace {

const auto* const pakEnvironment = ::testing::AddGlobalTestEnvironment(new apptest::PakEnvironment);

const zelk::ui::Color background(16, 16, 16, 255);

// The colour `c` drawn over the window background (plain alpha blending).
zelk::ui::Color over(zelk::ui::Color c) {
    auto mix = [&](uint8_t top, uint8_t bottom) {
        return static_cast<uint8_t>(std::lround((top * c.a + bottom * (255 - c.a)) / 255.0));
    };
    return {mix(c.r, background.r), mix(c.g, background.g), mix(c.b, background.b), 255};
}

void expectNear(zelk::ui::Color actual, zelk::ui::Color expected, const char* what) {
    EXPECT_NEAR(actual.r, expected.r, 2) << what;
    EXPECT_NEAR(actual.g, expected.g, 2) << what;
    EXPECT_NEAR(actual.b, expected.b, 2) << what;
}

TEST(SpinnerAngle, TurnsHalfATurnPerSecondAndResetsPast359) {
    EXPECT_FLOAT_EQ(Spinner::nextAngle(0.0f, 1000000), 180.0f);
    EXPECT_FLOAT_EQ(Spinner::nextAngle(10.0f, 500000), 100.0f);
    EXPECT_FLOAT_EQ(Spinner::nextAngle(123.0f, 0), 123.0f) << "a frame of 0 us changes nothing";
    EXPECT_FLOAT_EQ(Spinner::nextAngle(359.0f, 0), 359.0f) << "exactly 359 stays";
    EXPECT_FLOAT_EQ(Spinner::nextAngle(359.0f, 2778), 0.0f) << "359.5 is reset to 0";
    EXPECT_FLOAT_EQ(Spinner::nextAngle(350.0f, 100000), 0.0f) << "reset, not wrapped to 8";
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
    auto* spinner = root->addHiddenChild<Spinner>(zelk::ui::Vec2{100, 100}, zelk::ui::Vec2{64, 64});
    EXPECT_EQ(spinner->getOrigin(), (zelk::ui::Vec2{32, 32}));

    frames(1, 0);
    EXPECT_FLOAT_EQ(spinner->getRotation(), 0.0f);
    frames(1, 500000);
    EXPECT_FLOAT_EQ(spinner->getRotation(), 90.0f);
    frames(2, 500000);
    EXPECT_FLOAT_EQ(spinner->getRotation(), 270.0f);
    frames(1, 500000);
    EXPECT_FLOAT_EQ(spinner->getRotation(), 0.0f) << "450 degrees is reset to 0";

    // Turned a quarter, the white square still covers its centre and stays near its place.
    frames(1, 500000);
    zelk::ui::Image image = window->capture();
    EXPECT_EQ(image.at(132, 132), zelk::ui::Color(255, 255, 255, 255));
    EXPECT_EQ(image.at(104, 104), zelk::ui::Color(255, 255, 255, 255));
    EXPECT_EQ(image.at(90, 132), background);
    EXPECT_EQ(image.at(132, 170), background);
}

TEST_F(WidgetsTest, DefaultButtonTakesTheStyleAndALockedOneIgnoresClicks) {
    const AppStyle* style = AppStyle::getInstance();
    auto* button = root->addHiddenChild<DefaultButton>(20.0f, 20.0f, 140.0f, 28.0f);
    int clicks = 0;
    button->setOnClick([&] { ++clicks; });
    frames(1);

    // Away from the pointer: the button colour.
    expectNear(window->capture().at(22, 22), zelk::ui::Color(37, 88, 220, 255), "idle");

    click(window, 60, 30);
    EXPECT_EQ(clicks, 1);

    button->setLocked(true);
    mouseMove(window, 300, 250);
    EXPECT_EQ(button->getStateColor(), zelk::ui::Color(style->getButtonLockedColor()));
    expectNear(window->capture().at(22, 22), over(zelk::ui::Color(37, 88, 220, 80)), "locked");
    click(window, 60, 30);
    click(window, 25, 45);
    EXPECT_EQ(clicks, 1) << "a locked button must not react";

    button->setLocked(false);
    click(window, 60, 30);
    EXPECT_EQ(clicks, 2);
    // A click outside the button does not reach it.
    click(window, 200, 30);
    EXPECT_EQ(clicks, 2);
}

TEST_F(WidgetsTest, IconButtonShowsItsTextureTintedByTheStateColour) {
    auto* texture = AppTextures::getTexture("icons/loading.png");
    ASSERT_NE(texture, nullptr);
    auto* button =
        root->addHiddenChild<IconButton>(zelk::ui::Vec2{200, 100}, zelk::ui::Vec2{32, 32}, texture);
    EXPECT_EQ(button->getTexture(), texture);
    button->setLocked(true);
    frames(1);
    // White texture times black at alpha 50 over the background.
    expectNear(window->capture().at(216, 116), over(zelk::ui::Color(0, 0, 0, 50)), "locked icon");
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
        SDL_Event e{};
        e.type = SDL_TEXTINPUT;
        e.text.windowID = window->getId();
        std::string piece = typed.substr(at, 20);
        std::copy(piece.begin(), piece.end(), e.text.text);
        SDL_PushEvent(&e);
        frames(1);
    }
    frames(1);
    EXPECT_TRUE(changed);
    EXPECT_EQ(text, "ab" + typed);

    SDL_Event key{};
    key.type = SDL_KEYDOWN;
    key.key.windowID = window->getId();
    key.key.state = SDL_PRESSED;
    key.key.keysym.sym = SDLK_BACKSPACE;
    key.key.keysym.scancode = SDL_SCANCODE_BACKSPACE;
    SDL_PushEvent(&key);
    frames(1);
    key.type = SDL_KEYUP;
    key.key.state = SDL_RELEASED;
    SDL_PushEvent(&key);
    frames(2);
    EXPECT_EQ(text, "ab" + typed.substr(0, typed.size() - 1)) << "the string shrinks with the shown text";
}

} // namespace
