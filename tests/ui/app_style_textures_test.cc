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
    std::string stdoutText() const { return out.str(); }
    std::string stderrText() const { return err.str(); }
    static int count(const std::string& text, const std::string& what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            ++n;
        }
        return n;
    }

private:
    std::ostringstream out, err;
    std::streambuf* oldOut;
    std::streambuf* oldErr;
};

TEST(AppStyleTheme, WritesPaletteChannelsInOrderAndTheFlatLook) {
    ImGuiContext* previous = ImGui::GetCurrentContext();
    ImGuiContext* context = ImGui::CreateContext();
    ImGui::SetCurrentContext(previous);

    AppStyle::getInstance()->applyImGuiStyle(context);
    EXPECT_EQ(ImGui::GetCurrentContext(), context) << "the styled context is left current";

    const ImGuiStyle& style = ImGui::GetStyle();
    auto expectColor = [&](ImGuiCol col, float r, float g, float b, float a) {
        const ImVec4& c = style.Colors[col];
        EXPECT_FLOAT_EQ(c.x, r / 255.0f) << col;
        EXPECT_FLOAT_EQ(c.y, g / 255.0f) << col;
        EXPECT_FLOAT_EQ(c.z, b / 255.0f) << col;
        EXPECT_FLOAT_EQ(c.w, a / 255.0f) << col;
    };
    expectColor(ImGuiCol_Text, 240, 240, 240, 255);
    expectColor(ImGuiCol_Button, 37, 88, 220, 255); // red from the lowest byte
    expectColor(ImGuiCol_ButtonHovered, 80, 121, 226, 255);
    expectColor(ImGuiCol_ButtonActive, 29, 70, 175, 255);
    EXPECT_FLOAT_EQ(style.Colors[ImGuiCol_TextDisabled].x, 0.50f);
    EXPECT_FLOAT_EQ(style.Colors[ImGuiCol_TextDisabled].z, 0.54f);

    for (float rounding :
         {style.WindowRounding, style.ChildRounding, style.PopupRounding, style.FrameRounding,
          style.ScrollbarRounding, style.GrabRounding, style.TabRounding}) {
        EXPECT_EQ(rounding, 0.0f);
    }
    for (float border :
         {style.WindowBorderSize, style.ChildBorderSize, style.PopupBorderSize, style.FrameBorderSize}) {
        EXPECT_EQ(border, 1.0f);
    }
    EXPECT_EQ(style.WindowPadding.x, 0.0f);
    EXPECT_EQ(style.FramePadding.x, 4.0f);
    EXPECT_EQ(style.FramePadding.y, 3.0f);
    EXPECT_EQ(style.ItemSpacing.y, 8.0f);
    EXPECT_EQ(style.CellPadding.x, 4.0f);
    EXPECT_EQ(style.CellPadding.y, 2.0f);
    EXPECT_EQ(style.IndentSpacing, 20.0f);
    EXPECT_EQ(style.ScrollbarSize, 10.0f);

    ImGui::DestroyContext(context);
    ImGui::SetCurrentContext(previous);
}

TEST(AppTexturesKey, OrdersByNameThenWidthThenHeight) {
    using Key = AppTextures::SvgKey;
    EXPECT_TRUE((Key{"a", 300, 1} < Key{"b", 1, 1}));
    EXPECT_TRUE((Key{"a", 1, 300} < Key{"a", 2, 1}));
    EXPECT_TRUE((Key{"a", 2, 1} < Key{"a", 2, 2}));
    EXPECT_FALSE((Key{"a", 2, 2} < Key{"a", 2, 2}));
    // Byte-wise: a byte above 0x7F sorts after ASCII.
    EXPECT_TRUE((Key{"z", 1, 1} < Key{"\xC3\xA9", 1, 1}));
}

class AppTexturesTest : public apptest::AppFixture {};

TEST_F(AppTexturesTest, SvgCachedPerNameAndSizeAndLoggedOnce) {
    LogCapture log;
    const zelk::ui::Texture* first = AppTextures::getSvg("icons/tag.svg", 256, 256);
    const zelk::ui::Texture* again = AppTextures::getSvg("icons/tag.svg", 256, 256);
    const zelk::ui::Texture* small = AppTextures::getSvg("icons/tag.svg", 128, 128);
    const zelk::ui::Texture* other = AppTextures::getSvg("icons/folder.svg", 256, 256);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, again);
    ASSERT_NE(small, nullptr);
    EXPECT_NE(small, first);
    EXPECT_NE(other, first);
    EXPECT_EQ(first->getWidth(), 256);
    EXPECT_EQ(small->getHeight(), 128);

    const std::string out = log.stdoutText();
    EXPECT_EQ(LogCapture::count(out, "Loaded SVG asset 'icons/tag.svg' (256x256)"), 1) << out;
    EXPECT_EQ(LogCapture::count(out, "Loaded SVG asset 'icons/tag.svg' (128x128)"), 1) << out;
    EXPECT_EQ(LogCapture::count(out, "[TRACE]"), 3) << out;
    EXPECT_NE(out.find("AppTextures::loadSvg"), std::string::npos) << "the loader is named in the line";
    EXPECT_EQ(log.stderrText(), "");
}

TEST_F(AppTexturesTest, TextureCachedByNameAndLoggedOnce) {
    LogCapture log;
    const zelk::ui::Texture* first = AppTextures::getTexture("icons/loading.png");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(AppTextures::getTexture("icons/loading.png"), first);
    EXPECT_EQ(first->getWidth(), 32);
    EXPECT_EQ(LogCapture::count(log.stdoutText(), "Loaded texture asset 'icons/loading.png'"), 1)
        << log.stdoutText();
}

TEST_F(AppTexturesTest, MissingAssetIsNullAndSilent) {
    LogCapture log;
    EXPECT_EQ(AppTextures::getTexture("icons/missing.png"), nullptr);
    EXPECT_EQ(AppTextures::getSvg("icons/missing.svg", 256, 256), nullptr);
    EXPECT_EQ(log.stdoutText(), "");
    EXPECT_EQ(log.stderrText(), "");
}

TEST_F(AppTexturesTest, UndecodableAssetIsNullWithOneErrorLinePerRequest) {
    LogCapture log;
    EXPECT_EQ(AppTextures::getTexture("icons/broken.png"), nullptr);
    EXPECT_EQ(AppTextures::getTexture("icons/broken.png"), nullptr); // not remembered: tried again
    EXPECT_EQ(AppTextures::getSvg("icons/broken.svg", 64, 64), nullptr);
    // A size the rasteriser refuses fails the same way, and is not stored.
    EXPECT_EQ(AppTextures::getSvg("icons/zelk.svg", 0, 0), nullptr);

    const std::string err = log.stderrText();
    EXPECT_EQ(LogCapture::count(err, "[ERROR]"), 4) << err;
    EXPECT_EQ(
        LogCapture::count(err, "Failed to load texture asset 'icons/broken.png': RenderException code 2"), 2)
        << err;
    EXPECT_EQ(LogCapture::count(err, "Failed to load svg asset 'icons/broken.svg': RenderException code 3"),
              1)
        << err;
    EXPECT_EQ(LogCapture::count(err, "Failed to load svg asset 'icons/zelk.svg': RenderException code 6"), 1)
        << err;
    EXPECT_EQ(LogCapture::count(log.stdoutText(), "Loaded"), 0);

    // The good size of the same document still loads.
    EXPECT_NE(AppTextures::getSvg("icons/zelk.svg", 64, 64), nullptr);
}

} // namespace
