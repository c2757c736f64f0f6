// The application's look: palette, font sizes, button height, the fonts from the asset pak, and the
// theme written into the ImGui context of every immediate-mode panel.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <zelk/ui/Font.h>

struct ImGuiContext;
namespace zelk::ui {
class ImGuiPanel;
}

// Colours are packed as ImGui packs them: red in bits 0-7, green 8-15, blue 16-23, alpha 24-31.
class AppStyle {
public:
    // The one instance, built on first call (fonts loaded from the pak). If building throws (a font
    // asset is missing), the exception reaches the caller and the next call tries again.
    static AppStyle* getInstance();

    AppStyle(const AppStyle&) = delete;
    AppStyle& operator=(const AppStyle&) = delete;
    ~AppStyle();

    uint32_t getButtonColor() const { return buttonColor; }
    uint32_t getButtonHoverColor() const { return buttonHoverColor; }
    uint32_t getButtonPressedColor() const { return buttonPressedColor; }
    uint32_t getButtonLockedColor() const { return buttonLockedColor; }
    float getButtonHeight() const { return buttonHeight; }
    uint32_t getBackgroundColor() const { return backgroundColor; }
    uint32_t getBackgroundColorLight() const { return backgroundColorLight; }
    uint32_t getTextColor() const { return textColor; }
    uint32_t getTextColorSecondary() const { return textColorSecondary; }
    uint32_t getTextColorDisabled() const { return textColorDisabled; }
    uint32_t getWarningColor() const { return warningColor; }
    uint32_t getErrorColor() const { return errorColor; }
    uint32_t getFatalColor() const { return fatalColor; }
    uint32_t getSuccessColor() const { return successColor; }
    float getFontSizeSmall() const { return fontSizeSmall; }
    float getFontSizeNormal() const { return fontSizeNormal; }
    float getFontSizeLarge() const { return fontSizeLarge; }
    float getImGuiFontScale() const { return imGuiFontScale; }
    uint32_t getEditorKeywordColor() const { return editorKeywordColor; }
    uint32_t getEditorStringColor() const { return editorStringColor; }
    uint32_t getEditorNumberColor() const { return editorNumberColor; }
    uint32_t getEditorCommentColor() const { return editorCommentColor; }
    uint32_t getEditorTextColor() const { return editorTextColor; }
    uint32_t getEditorFunctionColor() const { return editorFunctionColor; }
    const zelk::ui::Font* getDefaultFont() const { return defaultFont.get(); }
    const zelk::ui::Font* getEditorFont() const { return editorFont.get(); }

    // Makes `context` the current ImGui context and writes the flat, square-cornered theme into its
    // style: text and button colours from the palette, no rounding, one-pixel borders.
    void applyImGuiStyle(ImGuiContext* context) const;
    // Gives `panel` the theme and the default font at `fontSize` with the characters the views draw:
    // Latin, Latin Extended-A and general punctuation (the ellipsis of a shortened name, dashes,
    // quotes); without the last, an ellipsis would be drawn as '?'.
    void applyToPanel(zelk::ui::ImGuiPanel* panel, float fontSize) const;

private:
    AppStyle();
    // Loads the default and the editor font; throws std::runtime_error when the font asset is absent.
    void loadResources();

    uint32_t buttonColor = 0xFFDC5825;
    uint32_t buttonHoverColor = 0xFFE27950;
    uint32_t buttonPressedColor = 0xFFAF461D;
    uint32_t buttonLockedColor = 0x50DC5825;
    float buttonHeight = 28.0f;
    uint32_t backgroundColor = 0xFF101010;
    uint32_t backgroundColorLight = 0xFF181818;
    uint32_t textColor = 0xFFF0F0F0;
    uint32_t textColorSecondary = 0xFFFFE999;
    uint32_t textColorDisabled = 0xFFC8C8C8;
    uint32_t warningColor = 0xFF00C8FF;
    uint32_t errorColor = 0xFF3232FF;
    uint32_t fatalColor = 0xFF4100C4;
    uint32_t successColor = 0xFF32C832;
    float fontSizeSmall = 14.0f;
    float fontSizeNormal = 18.0f;
    float fontSizeLarge = 24.0f;
    float imGuiFontScale = 1.2f;
    uint32_t editorKeywordColor = 0;
    uint32_t editorStringColor = 0;
    uint32_t editorNumberColor = 0;
    uint32_t editorCommentColor = 0;
    uint32_t editorTextColor = 0;
    uint32_t editorFunctionColor = 0;
    std::unique_ptr<zelk::ui::Font> defaultFont;
    std::unique_ptr<zelk::ui::Font> editorFont;
};

// Menus, pop-ups and tooltips stand out whole: opaque, with room round what they hold (the panels'
// own windows have no padding). beginPopup is ImGui::BeginPopup with that look; Esc closes it.
bool beginPopup(const char* id, float padX = 10, float padY = 8);
// `text` cut at the end with an ellipsis to fit `width` pixels at the current ImGui font; the text
// itself when it fits. Never cuts a UTF-8 character.
std::string ellipsized(const std::string& text, float width);
// A tooltip with `text` for the item under the mouse, in the same look.
void showTooltip(const char* text);
