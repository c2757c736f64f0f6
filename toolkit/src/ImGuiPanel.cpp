#include <zelk/ui/Application.h>
#include <zelk/ui/Font.h>
#include <zelk/ui/ImGuiPanel.h>
#include <zelk/ui/Renderer.h>
#include <zelk/ui/ScrollView.h>
#include <zelk/ui/Texture.h>
#include <zelk/ui/Window.h>

#include <SDL.h>
#include <imgui_internal.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

namespace zelk::ui {

namespace {

// Makes a context current for a scope and puts the previous one back.
class ContextScope {
public:
    explicit ContextScope(ImGuiContext* context) : previous_(ImGui::GetCurrentContext()) {
        ImGui::SetCurrentContext(context);
    }
    ~ContextScope() { ImGui::SetCurrentContext(previous_); }
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;

private:
    ImGuiContext* previous_;
};

const char* getClipboard(void*) {
    // ImGui copies the text before the next call; keep it until then.
    static char* last = nullptr;
    SDL_free(last);
    last = SDL_GetClipboardText();
    return last;
}

void setClipboard(void*, const char* text) {
    SDL_SetClipboardText(text);
}

int imguiButton(int sdlButton) {
    switch (sdlButton) {
    case SDL_BUTTON_LEFT:
        return 0;
    case SDL_BUTTON_RIGHT:
        return 1;
    case SDL_BUTTON_MIDDLE:
        return 2;
    case SDL_BUTTON_X1:
        return 3;
    case SDL_BUTTON_X2:
        return 4;
    default:
        return -1;
    }
}

// The part of `panel` that can be seen, in its own coordinates: the panel cut by the window and by
// every enclosing ScrollView. Empty (min >= max) when nothing of it shows.
ImVec4 visiblePart(const Widget* panel) {
    const Vec2 origin = panel->getWorldPosition();
    const Vec2 size = panel->getActualSize();
    float x0 = origin.x, y0 = origin.y, x1 = origin.x + size.x, y1 = origin.y + size.y;
    auto cut = [&](Vec2 at, Vec2 extent) {
        x0 = std::max(x0, at.x);
        y0 = std::max(y0, at.y);
        x1 = std::min(x1, at.x + extent.x);
        y1 = std::min(y1, at.y + extent.y);
    };
    for (const Widget* w = panel->getParent(); w != nullptr; w = w->getParent()) {
        if (dynamic_cast<const ScrollView*>(w) != nullptr) {
            cut(w->getWorldPosition(), w->getActualSize());
        }
    }
    if (const Window* window = panel->getWindow()) {
        cut(Vec2{0, 0},
            Vec2{static_cast<float>(window->getWidth()), static_cast<float>(window->getHeight())});
    }
    return ImVec4(x0 - origin.x, y0 - origin.y, x1 - origin.x, y1 - origin.y);
}

} // namespace

ImGuiPanel::ImGuiPanel(Widget* parent) : Widget(parent) {
    init();
}

ImGuiPanel::ImGuiPanel(Widget* parent, const Vec2& position, const Vec2& size)
    : Widget(parent, position, size) {
    init();
}

ImGuiPanel::ImGuiPanel(Widget* parent, float x, float y, float width, float height)
    : Widget(parent, x, y, width, height) {
    init();
}

void ImGuiPanel::init() {
    ImGuiContext* previous = ImGui::GetCurrentContext();
    context_ = ImGui::CreateContext();
    ImGui::SetCurrentContext(context_);
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    io.LogFilename = nullptr;
    io.BackendPlatformName = "zelk_ui";
    io.BackendRendererName = "zelk_ui_sdlrenderer";
    io.BackendFlags |= ImGuiBackendFlags_RendererHasVtxOffset;
    io.GetClipboardTextFn = getClipboard;
    io.SetClipboardTextFn = setClipboard;
    // Keys are indexed by SDL scancode.
    io.KeyMap[ImGuiKey_Tab] = SDL_SCANCODE_TAB;
    io.KeyMap[ImGuiKey_LeftArrow] = SDL_SCANCODE_LEFT;
    io.KeyMap[ImGuiKey_RightArrow] = SDL_SCANCODE_RIGHT;
    io.KeyMap[ImGuiKey_UpArrow] = SDL_SCANCODE_UP;
    io.KeyMap[ImGuiKey_DownArrow] = SDL_SCANCODE_DOWN;
    io.KeyMap[ImGuiKey_PageUp] = SDL_SCANCODE_PAGEUP;
    io.KeyMap[ImGuiKey_PageDown] = SDL_SCANCODE_PAGEDOWN;
    io.KeyMap[ImGuiKey_Home] = SDL_SCANCODE_HOME;
    io.KeyMap[ImGuiKey_End] = SDL_SCANCODE_END;
    io.KeyMap[ImGuiKey_Insert] = SDL_SCANCODE_INSERT;
    io.KeyMap[ImGuiKey_Delete] = SDL_SCANCODE_DELETE;
    io.KeyMap[ImGuiKey_Backspace] = SDL_SCANCODE_BACKSPACE;
    io.KeyMap[ImGuiKey_Space] = SDL_SCANCODE_SPACE;
    io.KeyMap[ImGuiKey_Enter] = SDL_SCANCODE_RETURN;
    io.KeyMap[ImGuiKey_Escape] = SDL_SCANCODE_ESCAPE;
    io.KeyMap[ImGuiKey_KeyPadEnter] = SDL_SCANCODE_KP_ENTER;
    io.KeyMap[ImGuiKey_A] = SDL_SCANCODE_A;
    io.KeyMap[ImGuiKey_C] = SDL_SCANCODE_C;
    io.KeyMap[ImGuiKey_V] = SDL_SCANCODE_V;
    io.KeyMap[ImGuiKey_X] = SDL_SCANCODE_X;
    io.KeyMap[ImGuiKey_Y] = SDL_SCANCODE_Y;
    io.KeyMap[ImGuiKey_Z] = SDL_SCANCODE_Z;
    ImGui::SetCurrentContext(previous != nullptr ? previous : context_);
    fontDirty_ = true;
}

ImGuiPanel::~ImGuiPanel() {
    releaseFontTexture();
    ImGuiContext* previous = ImGui::GetCurrentContext();
    ImGui::DestroyContext(context_);
    if (previous != context_) {
        ImGui::SetCurrentContext(previous);
    }
}

void ImGuiPanel::setDefaultFont(const Font* font, float size, const ImWchar* glyphRanges) {
    font_ = font;
    fontSize_ = size > 0.0f ? size : 13.0f;
    glyphRanges_ = glyphRanges;
    fontDirty_ = true; // rebuilt before the next frame, never in the middle of one
}

void ImGuiPanel::releaseFontTexture() {
    if (fontTexture_ != nullptr) {
        SDL_DestroyTexture(fontTexture_);
        fontTexture_ = nullptr;
        fontTextureOwner_ = nullptr;
    }
}

void ImGuiPanel::applyFont() {
    ImGuiIO& io = ImGui::GetIO();
    io.Fonts->Clear();
    ImFont* added = nullptr;
    if (font_ != nullptr) {
        ImFontConfig config;
        config.FontDataOwnedByAtlas = false; // the Font keeps the bytes
        config.FontNo = font_->getFaceIndex();
        added = io.Fonts->AddFontFromMemoryTTF(const_cast<std::uint8_t*>(font_->getData()),
                                               static_cast<int>(font_->getDataSize()), fontSize_, &config,
                                               glyphRanges_);
    }
    if (added == nullptr) {
        ImFontConfig config;
        config.SizePixels = fontSize_;
        io.Fonts->AddFontDefault(&config);
    }
}

void ImGuiPanel::ensureFontTexture(SDL_Renderer* renderer) {
    if (fontDirty_) {
        applyFont();
        releaseFontTexture();
        fontDirty_ = false;
    }
    if (fontTexture_ != nullptr && fontTextureOwner_ == renderer) {
        return;
    }
    releaseFontTexture();
    ImGuiIO& io = ImGui::GetIO();
    unsigned char* pixels = nullptr;
    int width = 0;
    int height = 0;
    io.Fonts->GetTexDataAsRGBA32(&pixels, &width, &height);
    fontTexture_ =
        SDL_CreateTexture(renderer, SDL_PIXELFORMAT_RGBA32, SDL_TEXTUREACCESS_STATIC, width, height);
    Renderer::texturesChanged();
    if (fontTexture_ != nullptr) {
        SDL_UpdateTexture(fontTexture_, nullptr, pixels, 4 * width);
        SDL_SetTextureBlendMode(fontTexture_, SDL_BLENDMODE_BLEND);
        fontTextureOwner_ = renderer;
    }
    io.Fonts->SetTexID(reinterpret_cast<ImTextureID>(fontTexture_));
}

void ImGuiPanel::feedInput() {
    ImGuiIO& io = ImGui::GetIO();
    const bool anyHeld = std::any_of(held_.begin(), held_.end(), [](bool b) { return b; });
    io.MousePos = (hovered_ || anyHeld) ? ImVec2(mouse_.x, mouse_.y) : ImVec2(-FLT_MAX, -FLT_MAX);
    for (std::size_t i = 0; i < held_.size(); ++i) {
        // A press shorter than a frame is still seen as down for one frame.
        io.MouseDown[i] = held_[i] || pressed_[i];
        pressed_[i] = false;
    }
    io.MouseWheel = wheelY_;
    io.MouseWheelH = wheelX_;
    wheelX_ = 0.0f;
    wheelY_ = 0.0f;
    bool morePresses = false;
    for (std::size_t i = 0; i < 512; ++i) {
        bool down = keysHeld_[i];
        if (keyPresses_[i] > 0) {
            // A press shorter than a frame is still seen as down for one frame; the next press of the
            // same key first shows the key up, so that ImGui counts it as a press of its own.
            down = !keysShownDown_[i];
            if (down) {
                --keyPresses_[i];
            }
            morePresses = morePresses || keyPresses_[i] > 0;
        }
        io.KeysDown[i] = down;
        keysShownDown_[i] = down;
    }
    if (morePresses) {
        requestFrame();
    }
    io.KeyCtrl = (modifiers_ & KMOD_CTRL) != 0;
    io.KeyShift = (modifiers_ & KMOD_SHIFT) != 0;
    io.KeyAlt = (modifiers_ & KMOD_ALT) != 0;
    io.KeySuper = (modifiers_ & KMOD_GUI) != 0;
}

void ImGuiPanel::update() {
    Window* window = getWindow();
    if (window == nullptr) {
        Widget::update();
        return;
    }
    {
        ContextScope scope(context_);
        ensureFontTexture(window->getSDLRenderer());
        ImGuiIO& io = ImGui::GetIO();
        const Vec2 size = getActualSize();
        io.DisplaySize = ImVec2(std::max(0.0f, size.x), std::max(0.0f, size.y));
        const std::uint64_t us = getWindowContext().lastFrameDurationUs;
        io.DeltaTime = us > 0 ? static_cast<float>(us) / 1.0e6f : 1.0f / 60.0f;
        quietSeconds_ = std::min(quietSeconds_ + io.DeltaTime, kCursorBlinkSeconds);
        io.ConfigInputTextCursorBlink = quietSeconds_ < kCursorBlinkSeconds;
        feedInput();
        if (framesAfterInput_ > 0) {
            --framesAfterInput_;
            requestFrame();
        }

        ImGui::NewFrame();
        if (focusLost_) {
            ImGui::ClearActiveID();
            focusLost_ = false;
        }
        ImGui::SetNextWindowPos(ImVec2(0, 0));
        ImGui::SetNextWindowSize(io.DisplaySize);
        constexpr ImGuiWindowFlags flags =
            ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoSavedSettings |
            ImGuiWindowFlags_NoBringToFrontOnFocus | ImGuiWindowFlags_NoScrollWithMouse;
        ImGui::Begin("##zelk_panel", nullptr, flags);
        // Items outside the part that shows are laid out but not drawn: ImGui skips them when they fall
        // outside the window's clip rectangle, so a tall panel in a ScrollView costs only its visible rows.
        ImVec4 visible = visiblePart(this);
        visible.z = std::max(visible.z, visible.x);
        visible.w = std::max(visible.w, visible.y);
        ImGui::PushClipRect(ImVec2(visible.x, visible.y), ImVec2(visible.z, visible.w), true);
        try {
            if (build_) {
                build_();
            }
            ImGui::PopClipRect();
        } catch (...) {
            // Close whatever the build function left open so the next frame starts cleanly.
            ImGui::ErrorCheckEndFrameRecover(nullptr);
            ImGui::EndFrame();
            frameBuilt_ = false;
            throw;
        }
        ImGui::End();
        ImGui::Render();
        wantMouse_ = io.WantCaptureMouse;
        wantKeyboard_ = io.WantCaptureKeyboard;
        frameBuilt_ = true;
    }
    Widget::update();
}

void ImGuiPanel::draw(Renderer* renderer, float alpha, float deltaSeconds) {
    if (frameBuilt_ && !renderer->clipIsEmpty()) {
        renderer->flush();
        SDL_Renderer* sdl = renderer->getSDLRenderer();
        const Vec2 origin = getWorldPosition(alpha);
        const Vec2 size = getActualSize();
        // Everything is clipped to the panel and to the enclosing clip (e.g. a ScrollView).
        float cx0 = origin.x;
        float cy0 = origin.y;
        float cx1 = origin.x + size.x;
        float cy1 = origin.y + size.y;
        float x = 0;
        float y = 0;
        float w = 0;
        float h = 0;
        if (renderer->getClip(x, y, w, h)) {
            cx0 = std::max(cx0, x);
            cy0 = std::max(cy0, y);
            cx1 = std::min(cx1, x + w);
            cy1 = std::min(cy1, y + h);
        }
        ContextScope scope(context_);
        ImDrawData* data = ImGui::GetDrawData();
        std::vector<draw::Vertex> moved;
        std::vector<int> indices;
        for (int n = 0; data != nullptr && n < data->CmdListsCount; ++n) {
            const ImDrawList* list = data->CmdLists[n];
            // Vertices moved from panel to window coordinates.
            moved.resize(static_cast<std::size_t>(list->VtxBuffer.Size));
            for (int i = 0; i < list->VtxBuffer.Size; ++i) {
                const ImDrawVert& v = list->VtxBuffer.Data[i];
                draw::Vertex& out = moved[static_cast<std::size_t>(i)];
                out.x = v.pos.x + origin.x;
                out.y = v.pos.y + origin.y;
                std::memcpy(&out.r, &v.col, 4); // ImGui's colour bytes are R, G, B, A in memory order
                out.u = v.uv.x;
                out.v = v.uv.y;
            }
            for (int c = 0; c < list->CmdBuffer.Size; ++c) {
                const ImDrawCmd& cmd = list->CmdBuffer[c];
                if (cmd.UserCallback != nullptr) {
                    if (cmd.UserCallback != ImDrawCallback_ResetRenderState) {
                        cmd.UserCallback(list, &cmd);
                    }
                    continue;
                }
                const float x0 = std::max(cmd.ClipRect.x + origin.x, cx0);
                const float y0 = std::max(cmd.ClipRect.y + origin.y, cy0);
                const float x1 = std::min(cmd.ClipRect.z + origin.x, cx1);
                const float y1 = std::min(cmd.ClipRect.w + origin.y, cy1);
                if (x1 <= x0 || y1 <= y0) {
                    continue;
                }
                SDL_Texture* texture = nullptr;
                const ImTextureID id = cmd.GetTexID();
                if (id == reinterpret_cast<ImTextureID>(fontTexture_)) {
                    texture = fontTexture_;
                } else if (const auto* t = static_cast<const Texture*>(id); Texture::isLive(t)) {
                    texture = t->getSDLTexture(sdl);
                }
                if (texture == nullptr) {
                    continue; // unknown texture reference: draw nothing rather than garbage
                }
                const int clip[4] = {static_cast<int>(std::floor(x0)), static_cast<int>(std::floor(y0)),
                                     static_cast<int>(std::ceil(x1) - std::floor(x0)),
                                     static_cast<int>(std::ceil(y1) - std::floor(y0))};
                // Only the vertices this command uses are handed on, so the record stays small.
                const ImDrawIdx* first = list->IdxBuffer.Data + cmd.IdxOffset;
                const auto [lo, hi] = std::minmax_element(first, first + cmd.ElemCount);
                indices.resize(cmd.ElemCount);
                for (unsigned i = 0; i < cmd.ElemCount; ++i) {
                    indices[i] = static_cast<int>(first[i]) - *lo;
                }
                renderer->drawTriangles(texture, clip, moved.data() + cmd.VtxOffset + *lo, *hi - *lo + 1,
                                        indices.data(), static_cast<int>(indices.size()));
            }
        }
    }
    Widget::draw(renderer, alpha, deltaSeconds);
}

bool ImGuiPanel::onMouseEnter(const MouseEvent& event) {
    hovered_ = true;
    mouse_ = event.position;
    noteInput();
    return Widget::onMouseEnter(event);
}

bool ImGuiPanel::onMouseLeave(const MouseEvent& event) {
    hovered_ = false;
    noteInput();
    return Widget::onMouseLeave(event);
}

bool ImGuiPanel::onMouseMove(const MouseEvent& event) {
    mouse_ = event.position; // hovering is decided by enter/leave: a widget above may cover the panel
    noteInput();
    return true;
}

bool ImGuiPanel::onMouseButtonDown(const MouseEvent& event) {
    mouse_ = event.position; // hovering is decided by enter/leave: a widget above may cover the panel
    noteInput();
    const int b = imguiButton(event.button);
    if (b >= 0) {
        held_[static_cast<std::size_t>(b)] = true;
        pressed_[static_cast<std::size_t>(b)] = true;
    }
    return true;
}

bool ImGuiPanel::onMouseButtonUp(const MouseEvent& event) {
    mouse_ = event.position; // hovering is decided by enter/leave: a widget above may cover the panel
    noteInput();
    const int b = imguiButton(event.button);
    if (b >= 0) {
        held_[static_cast<std::size_t>(b)] = false;
    }
    return true;
}

bool ImGuiPanel::onMouseScroll(const MouseEvent& event) {
    noteInput();
    wheelX_ += event.scroll.x;
    wheelY_ += event.scroll.y;
    return true;
}

bool ImGuiPanel::onKeyDown(const KeyEvent& event) {
    noteInput();
    if (!event.text.empty()) {
        ContextScope scope(context_);
        ImGui::GetIO().AddInputCharactersUTF8(event.text.c_str());
        return true;
    }
    modifiers_ = event.modifiers;
    if (event.scancode > 0 && event.scancode < 512) {
        keysHeld_.set(static_cast<std::size_t>(event.scancode));
        std::uint8_t& presses = keyPresses_[static_cast<std::size_t>(event.scancode)];
        if (!event.repeat && presses < 255) {
            ++presses; // a held key's repeats are ImGui's own
        }
    }
    return true;
}

void ImGuiPanel::focusLost() {
    focusLost_ = true;
    keysHeld_.reset();
    keyPresses_.fill(0);
    modifiers_ = 0;
}

bool ImGuiPanel::onKeyUp(const KeyEvent& event) {
    noteInput();
    modifiers_ = event.modifiers;
    if (event.scancode > 0 && event.scancode < 512) {
        keysHeld_.reset(static_cast<std::size_t>(event.scancode));
    }
    return true;
}

} // namespace zelk::ui
