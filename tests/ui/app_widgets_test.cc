// The application's widgets driven frame by frame: the spinner's turning and the styled button's
// states, a locked one ignoring clicks.
#include "AppStyle.h"
#include "Views/DefaultButton.h"
#include "Views/Spinner.h"
#include "app_test_support.h"

namespace {

const auto* const pakEnvironment = ::testing::AddGlobalTestEnvironment(new apptest::PakEnvironment);

TEST(SpinnerAngle, TurnsHalfATurnPerSecondAndResetsPast359) {
    // {angle, frame in us, next}: a frame of 0 us changes nothing; 359 stays, past it is 0 (not wrapped).
    const float cases[][3] = {{0, 1000000, 180}, {10, 500000, 100}, {123, 0, 123},
                              {359, 0, 359},     {359, 2778, 0},    {350, 100000, 0}};
    for (const auto& c : cases)
        EXPECT_FLOAT_EQ(Spinner::nextAngle(c[0], static_cast<uint64_t>(c[1])), c[2]) << c[0] << " + " << c[1];
}

TEST_F(AppFixture, SpinnerTurnsWithTheFrameTimeAndALockedButtonIgnoresClicks) {
    zelk::ui::Window* window = zelk::ui::Application::createWindow("widgets", 400, 300, 0x71F);
    auto* spinner =
        window->getRootWidget()->addHiddenChild<Spinner>(zelk::ui::Vec2{0, 0}, zelk::ui::Vec2{64, 64});
    frames(3, 500000);
    EXPECT_EQ(spinner->getRotation(), 270.0f) << "half a turn a second, with the frames' time";
    EXPECT_EQ(spinner->getOrigin(), (zelk::ui::Vec2{32, 32})) << "about its centre";

    const AppStyle* style = AppStyle::getInstance();
    auto* button = window->getRootWidget()->addHiddenChild<DefaultButton>(20.0f, 200.0f, 140.0f, 28.0f);
    int clicks = 0;
    button->setOnClick([&] { ++clicks; });
    for (bool locked : {false, true, false}) {
        button->setLocked(locked);
        apptest::pushClick(window, 60, 210);
        frames(2);
        EXPECT_EQ(button->getStateColor(),
                  zelk::ui::Color(locked ? style->getButtonLockedColor() : style->getButtonHoverColor()));
    }
    EXPECT_EQ(clicks, 2) << "a locked button must not react";
}

} // namespace
