#include "AppStyle.h"

#include <stdexcept>

#include <imgui.h>
#include <zelk/ui/ImGuiPanel.h>

#include "AssetManager.h"

namespace {

constexpr const char* fontAsset = "fonts/montserrat-font/MontserratMedium.ttf";

ImVec4 unpack(uint32_t color) {
    return ImVec4(static_cast<float>(color & 0xFF) / 255.0f, static_cast<float>((color >> 8) & 0xFF) / 255.0f,
                  static_cast<float>((color >> 16) & 0xFF) / 255.0f,
                  static_cast<float>((color >> 24) & 0xFF) / 255.0f);
}

std::unique_ptr<zelk::ui::Font> loadFont(const char* failure) {
    auto asset = AssetManager::getAsset(fontAsset);
    if (!asset) {
        throw std::runtime_error(failure);
    }
    return std::make_unique<zelk::ui::Font>(asset->data.data(), static_cast<uint32_t>(asset->data.size()), 0);
}

} // namespace

AppStyle* AppStyle::getInstance() {
    static AppStyle instance;
    return &instance;
}

AppStyle::AppStyle() {
    loadResources();
}

AppStyle::~AppStyle() = default;

void AppStyle::loadResources() {
    defaultFont = loadFont("Failed to load default font asset");
    editorFont = loadFont("Failed to load editor font asset");
}

void AppStyle::applyImGuiStyle(ImGuiContext* context) const {
    ImGui::SetCurrentContext(context);
    ImGuiStyle& style = ImGui::GetStyle();

    style.Colors[ImGuiCol_Text] = unpack(textColor);
    style.Colors[ImGuiCol_TextDisabled] = ImVec4(0.50f, 0.52f, 0.54f, 1.00f);
    style.Colors[ImGuiCol_Button] = unpack(buttonColor);
    style.Colors[ImGuiCol_ButtonHovered] = unpack(buttonHoverColor);
    style.Colors[ImGuiCol_ButtonActive] = unpack(buttonPressedColor);

    style.WindowPadding = ImVec2(0, 0);
    style.WindowRounding = 0;
    style.WindowBorderSize = 1;
    style.ChildRounding = 0;
    style.ChildBorderSize = 1;
    style.PopupRounding = 0;
    style.PopupBorderSize = 1;
    style.FramePadding = ImVec2(4, 3);
    style.FrameRounding = 0;
    style.FrameBorderSize = 1;
    style.ItemSpacing = ImVec2(8, 8);
    style.ItemInnerSpacing = ImVec2(4, 4);
    style.CellPadding = ImVec2(4, 2);
    style.TouchExtraPadding = ImVec2(0, 0);
    style.IndentSpacing = 20;
    style.ScrollbarSize = 10;
    style.ScrollbarRounding = 0;

    // The remaining rounding/border pairs follow the same flat look.
    style.GrabRounding = 0;
    style.TabRounding = 0;
    style.TabBorderSize = 1;
    style.LogSliderDeadzone = 4;
}

namespace {

const ImVec4 kFloatingBackground(0.13f, 0.14f, 0.16f, 1.0f);

} // namespace

void AppStyle::applyToPanel(zelk::ui::ImGuiPanel* panel, float fontSize) const {
    // Latin, general punctuation, and the arrows (the confirmation of a write shows "42 \u2192 43").
    static const ImWchar kRanges[] = {0x0020, 0x017F, 0x2000, 0x206F, 0x2190, 0x2199, 0};
    panel->setDefaultFont(defaultFont.get(), fontSize, kRanges);
    applyImGuiStyle(panel->getImGuiContext());
}

bool beginPopup(const char* id, float padX, float padY) {
    ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(padX, padY));
    ImGui::PushStyleColor(ImGuiCol_PopupBg, kFloatingBackground);
    const bool open = ImGui::BeginPopup(id);
    ImGui::PopStyleColor();
    ImGui::PopStyleVar();
    if (open && ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_Escape), false)) {
        ImGui::CloseCurrentPopup(); // Esc closes a menu; it is gone from the next frame
    }
    return open;
}

std::string ellipsized(const std::string& text, float width) {
    if (ImGui::CalcTextSize(text.c_str()).x <= width) {
        return text;
    }
    const char* ellipsis = "\u2026";
    const float room = width - ImGui::CalcTextSize(ellipsis).x;
    size_t keep = text.size();
    while (keep > 0 && ImGui::CalcTextSize(text.c_str(), text.c_str() + keep).x > room) {
        --keep;
        while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) {
            --keep; // never end inside a UTF-8 character
        }
    }
    return text.substr(0, keep) + ellipsis;
}

void showTooltip(const char* text) {
    ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(8, 6));
    ImGui::PushStyleColor(ImGuiCol_PopupBg, kFloatingBackground);
    ImGui::SetTooltip("%s", text);
    ImGui::PopStyleColor();
    ImGui::PopStyleVar();
}
