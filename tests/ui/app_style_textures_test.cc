// The style's ImGui theme and the texture caches: one texture per name and per (name, size), with the
// log lines that loading and failing produce.
#include <iostream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <imgui.h>

#include "AppStyle.h"
#include "AppTextures.h"
#include "app_fixture.h"

namespace {

const auto* const pakEnvironment = ::testing::AddGlobalTestEnvironment(new apptest::PakEnvironment);

// Collects what the logger writes to standard output and standard error.
class LogCapture {
public:
    LogCapture() : oldOut(std::cout.rdbuf(out.rdbuf())), oldErr(std::cerr.rdbuf(err.rdbuf())) {}
    ~LogCapture() {
        std::cout.rdbuf(oldOut);
        std::cerr.rdbuf(oldErr);
    }
    std::ostringstream out, err;

private:
    std::streambuf* oldOut;
    std::streambuf* oldErr;
};

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

TEST(AppStyleTheme, PaletteChannelsInOrderOnTheGivenContext) {
    ImGuiContext* previous = ImGui::GetCurrentContext();
    ImGuiContext* context = ImGui::CreateContext();
    ImGui::SetCurrentContext(previous);

    AppStyle::getInstance()->applyImGuiStyle(context);
    ASSERT_EQ(ImGui::GetCurrentContext(), context) << "the styled context is left current";
    const ImGuiStyle& style = ImGui::GetStyle();
    const struct {
        ImGuiCol col;
        float r, g, b;
    } colours[] = {
        {ImGuiCol_Text, 240, 240, 240},
        {ImGuiCol_Button, 37, 88, 220}, // red from the lowest byte
        {ImGuiCol_ButtonHovered, 80, 121, 226},
        {ImGuiCol_ButtonActive, 29, 70, 175},
    };
    for (const auto& c : colours) {
        SCOPED_TRACE(c.col);
        const ImVec4& v = style.Colors[c.col];
        EXPECT_FLOAT_EQ(v.x, c.r / 255.0f);
        EXPECT_FLOAT_EQ(v.y, c.g / 255.0f);
        EXPECT_FLOAT_EQ(v.z, c.b / 255.0f);
        EXPECT_FLOAT_EQ(v.w, 1.0f);
    }

    ImGui::DestroyContext(context);
    ImGui::SetCurrentContext(previous);
}

class AppTexturesTest : public apptest::AppFixture {};

TEST_F(AppTexturesTest, CachedPerNameAndPerNameAndSizeAndLoggedOnce) {
    LogCapture log;
    const zelk::ui::Texture* first = AppTextures::getSvg("icons/tag.svg", 256, 256);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(AppTextures::getSvg("icons/tag.svg", 256, 256), first);
    EXPECT_EQ(first->getWidth(), 256);
    // Width and height are both part of the key, and so is the name.
    const zelk::ui::Texture* wide = AppTextures::getSvg("icons/tag.svg", 256, 128);
    const zelk::ui::Texture* tall = AppTextures::getSvg("icons/tag.svg", 128, 256);
    ASSERT_NE(wide, nullptr);
    ASSERT_NE(tall, nullptr);
    EXPECT_NE(wide, first);
    EXPECT_NE(tall, wide);
    EXPECT_EQ(tall->getWidth(), 128);
    EXPECT_NE(AppTextures::getSvg("icons/folder.svg", 256, 256), first);

    const zelk::ui::Texture* png = AppTextures::getTexture("icons/loading.png");
    ASSERT_NE(png, nullptr);
    EXPECT_EQ(AppTextures::getTexture("icons/loading.png"), png);
    EXPECT_EQ(png->getWidth(), 32);

    const std::string out = log.out.str();
    EXPECT_EQ(count(out, "Loaded SVG asset 'icons/tag.svg' (256x256)"), 1) << out;
    EXPECT_EQ(count(out, "Loaded SVG asset 'icons/tag.svg' (256x128)"), 1) << out;
    EXPECT_EQ(count(out, "Loaded texture asset 'icons/loading.png'"), 1) << out;
    EXPECT_EQ(count(out, "[TRACE]"), 5) << out;
    EXPECT_NE(out.find("AppTextures::loadSvg"), std::string::npos) << "the loader is named in the line";
    EXPECT_EQ(log.err.str(), "");
}

TEST_F(AppTexturesTest, MissingIsSilentUndecodableLogsOneErrorPerRequest) {
    LogCapture log;
    EXPECT_EQ(AppTextures::getTexture("icons/missing.png"), nullptr);
    EXPECT_EQ(AppTextures::getSvg("icons/missing.svg", 256, 256), nullptr);
    EXPECT_EQ(log.err.str(), "");

    EXPECT_EQ(AppTextures::getTexture("icons/broken.png"), nullptr);
    EXPECT_EQ(AppTextures::getTexture("icons/broken.png"), nullptr); // not remembered: tried again
    EXPECT_EQ(AppTextures::getSvg("icons/broken.svg", 64, 64), nullptr);
    // A size the rasteriser refuses fails the same way, and is not stored.
    EXPECT_EQ(AppTextures::getSvg("icons/zelk.svg", 0, 0), nullptr);

    const std::string err = log.err.str();
    EXPECT_EQ(count(err, "[ERROR]"), 4) << err;
    EXPECT_EQ(count(err, "Failed to load texture asset 'icons/broken.png': RenderException code 2"), 2) << err;
    EXPECT_EQ(count(err, "Failed to load svg asset 'icons/broken.svg': RenderException code 3"), 1) << err;
    EXPECT_EQ(count(err, "Failed to load svg asset 'icons/zelk.svg': RenderException code 6"), 1) << err;
    EXPECT_EQ(log.out.str(), "");

    // The good size of the same document still loads.
    EXPECT_NE(AppTextures::getSvg("icons/zelk.svg", 64, 64), nullptr);
}

} // namespace
