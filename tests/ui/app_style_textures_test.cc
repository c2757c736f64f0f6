// The style's ImGui theme and the texture caches: one texture per name and per (name, size); a size the
// rasteriser refuses is not stored.
#include <imgui.h>

#include "AppStyle.h"
#include "AppTextures.h"
#include "app_test_support.h"

namespace {

const auto* const pakEnvironment = ::testing::AddGlobalTestEnvironment(new apptest::PakEnvironment);

TEST(AppStyleTheme, PaletteChannelsInOrder) {
    ImGuiContext* context = ImGui::CreateContext();
    AppStyle::getInstance()->applyImGuiStyle(context);
    // {colour, r, g, b}: the red channel is the lowest byte of the style's colours.
    for (const auto& c : {std::array<int, 4>{ImGuiCol_Text, 240, 240, 240},
                          {ImGuiCol_Button, 37, 88, 220},
                          {ImGuiCol_ButtonHovered, 80, 121, 226},
                          {ImGuiCol_ButtonActive, 29, 70, 175}}) {
        const ImVec4& v = ImGui::GetStyle().Colors[c[0]];
        EXPECT_EQ(std::vector<float>({v.x, v.y, v.z, v.w}),
                  std::vector<float>({c[1] / 255.0f, c[2] / 255.0f, c[3] / 255.0f, 1.0f}))
            << c[0];
    }
    ImGui::DestroyContext(context);
}

TEST_F(AppFixture, TexturesAreCachedPerNameAndPerNameAndSize) {
    const zelk::ui::Texture* tag = AppTextures::getSvg("icons/tag.svg", 256, 256);
    const zelk::ui::Texture* wide = AppTextures::getSvg("icons/tag.svg", 256, 128);
    const zelk::ui::Texture* tall = AppTextures::getSvg("icons/tag.svg", 128, 256);
    EXPECT_EQ(std::vector<int>({tag->getHeight(), wide->getHeight(), tall->getWidth(), tall->getHeight()}),
              std::vector<int>({256, 128, 128, 256}));
    EXPECT_EQ(AppTextures::getSvg("icons/tag.svg", 256, 256), tag);
    EXPECT_NE(AppTextures::getSvg("icons/folder.svg", 256, 256), tag);
    EXPECT_EQ(AppTextures::getTexture("icons/loading.png"), AppTextures::getTexture("icons/loading.png"));
    EXPECT_EQ(AppTextures::getTexture("icons/missing.png"), nullptr);
    EXPECT_EQ(AppTextures::getSvg("icons/zelk.svg", 0, 0), nullptr);
    EXPECT_NE(AppTextures::getSvg("icons/zelk.svg", 64, 64), nullptr) << "the refused size was not stored";
}

} // namespace
