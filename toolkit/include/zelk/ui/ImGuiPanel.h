// A rectangle of Dear ImGui content. Each panel owns its ImGuiContext; every frame (in update(),
// on the main thread) it starts an ImGui frame the size of the panel, opens one borderless,
// unmovable, non-scrolling window covering the whole panel, calls the build function inside it and
// renders the result into the panel's rectangle (clipped to any enclosing ScrollView).
//
// Input reaches ImGui in panel-local coordinates: the mouse while it is over the panel (or while a
// button pressed on the panel is held), keys and text while the panel has the keyboard focus (the
// last panel/widget clicked). A press and release within one frame still count as a click.
//
// Texture references (ImTextureID) given to ImGui::Image, ImageButton or ImDrawList::AddImage are
// the address of a zelk::ui::Texture (see imgui_compat.h); other pointers are not drawn.
//
// Frame pacing: after any input reaches the panel it asks for full-rate frames
// (Widget::requestFrame) for kFramesAfterInput frames, so hover effects and ImGui's follow-up
// frames show at once; then the loop may rest (a text cursor then blinks at the rest rate). After
// kCursorBlinkSeconds without input the cursor stops blinking and stays shown, so a window left with a
// focused field draws nothing new and presents nothing (each blink would redraw the whole window);
// the next input starts the blinking again.
#pragma once

#include <zelk/ui/Widget.h>

#include <imgui.h>

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <memory>

struct SDL_Texture;
struct SDL_Renderer;

namespace zelk::ui {

class Font;

class ImGuiPanel : public Widget {
public:
    explicit ImGuiPanel(Widget* parent);
    ImGuiPanel(Widget* parent, const Vec2& position, const Vec2& size);
    ImGuiPanel(Widget* parent, float x, float y, float width, float height);
    ~ImGuiPanel() override;

    // Full-rate frames the panel asks for after each input event it receives.
    static constexpr int kFramesAfterInput = 30;
    // Seconds of no input to the panel after which a text cursor stops blinking.
    static constexpr float kCursorBlinkSeconds = 10.0f;

    ImGuiContext* getImGuiContext() const { return context_; }
    // Called every frame between ImGui::Begin and ImGui::End of the panel's window, with the
    // panel's context current.
    void setBuildImGuiFunction(std::function<void()> build) { build_ = std::move(build); }
    // Makes `font` (not owned; must outlive the panel) the panel's ImGui font at `size` pixels,
    // with optional glyph ranges (null: Latin). Takes effect at the next frame. Null font: ImGui's
    // built-in font.
    void setDefaultFont(const Font* font, float size, const ImWchar* glyphRanges = nullptr);

    // Called by the window when another widget takes the keyboard focus: the active ImGui item
    // (e.g. a text field being edited) is deactivated at the next frame and held keys are released.
    void focusLost();

    // Whether ImGui wanted the mouse / keyboard in the last frame.
    bool wantsMouse() const { return wantMouse_; }
    bool wantsKeyboard() const { return wantKeyboard_; }

    bool onMouseEnter(const MouseEvent& event) override;
    bool onMouseMove(const MouseEvent& event) override;
    bool onMouseButtonDown(const MouseEvent& event) override;
    bool onMouseButtonUp(const MouseEvent& event) override;
    bool onMouseScroll(const MouseEvent& event) override;
    bool onMouseLeave(const MouseEvent& event) override;
    bool onKeyUp(const KeyEvent& event) override;
    bool onKeyDown(const KeyEvent& event) override;
    void draw(Renderer* renderer, float alpha, float deltaSeconds) override;
    void update() override;

private:
    void init();
    void applyFont();
    void ensureFontTexture(SDL_Renderer* renderer);
    void releaseFontTexture();
    void feedInput();
    void noteInput() {
        framesAfterInput_ = kFramesAfterInput;
        quietSeconds_ = 0.0f;
    }

    ImGuiContext* context_ = nullptr;
    std::function<void()> build_;
    const Font* font_ = nullptr;
    float fontSize_ = 13.0f;
    const ImWchar* glyphRanges_ = nullptr;
    bool fontDirty_ = false;
    SDL_Texture* fontTexture_ = nullptr;
    SDL_Renderer* fontTextureOwner_ = nullptr;
    bool frameBuilt_ = false;
    bool wantMouse_ = false;
    bool wantKeyboard_ = false;

    // Input gathered since the last frame.
    bool hovered_ = false;
    Vec2 mouse_;
    std::array<bool, 5> held_{};    // buttons currently down
    std::array<bool, 5> pressed_{}; // pressed since the last frame (kept down for one frame)
    float wheelX_ = 0.0f;
    float wheelY_ = 0.0f;
    std::bitset<512> keysHeld_; // by SDL scancode
    // Presses not yet shown to ImGui, by scancode: each is shown as its own frame with the key down,
    // after a frame with it up when it was down, so quick presses within one frame are all seen.
    std::array<std::uint8_t, 512> keyPresses_{};
    std::bitset<512> keysShownDown_; // what the last frame showed
    std::uint16_t modifiers_ = 0;
    bool focusLost_ = false;
    int framesAfterInput_ = 0;  // full-rate frames still to ask for
    float quietSeconds_ = 0.0f; // frame time since the last input to the panel
};

} // namespace zelk::ui
