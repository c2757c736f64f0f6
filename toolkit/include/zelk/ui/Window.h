// One SDL window with one SDL_Renderer (accelerated where available, software otherwise) and a
// root widget that always has the window's size. Windows are made by Application::createWindow
// and belong to the application.
#pragma once

#include <zelk/ui/Types.h>
#include <zelk/ui/Widget.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct SDL_Window;
struct SDL_Renderer;
union SDL_Event;

namespace zelk::ui {

class Renderer;

// Window flag bits. Any combination may be passed (e.g. 0x71F: visible, resizable, decorated,
// centred, high-DPI, input focus, mouse focus, maximisable).
using WindowFlags = std::uint32_t;
namespace WindowFlag {
constexpr WindowFlags Visible = 1u << 0;
constexpr WindowFlags Resizable = 1u << 1;
constexpr WindowFlags Decorated = 1u << 2; // without it: borderless
constexpr WindowFlags Centered = 1u << 3;
constexpr WindowFlags HighDPI = 1u << 4;
constexpr WindowFlags Fullscreen = 1u << 5;
constexpr WindowFlags Maximized = 1u << 6;
constexpr WindowFlags AlwaysOnTop = 1u << 7;
constexpr WindowFlags InputFocus = 1u << 8;
constexpr WindowFlags MouseFocus = 1u << 9;
constexpr WindowFlags Maximizable = 1u << 10;
} // namespace WindowFlag

// A frame read back from a window: RGBA pixels, row by row from the top.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<Color> pixels;
    Color at(int x, int y) const { return pixels.at(static_cast<std::size_t>(y) * width + x); }
    // Writes a PNG file; false (with SDL_GetError set) on failure.
    bool savePng(const std::string& path) const;
};

class Window {
public:
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    int getWidth() const;
    int getHeight() const;
    void setSize(int width, int height); // clamped by SDL to the minimum size
    void setMinSize(int width, int height);
    void setClearColor(Color color) { clearColor_ = color; }
    Color getClearColor() const { return clearColor_; }
    void setTitle(const std::string& title);

    // The widget tree's root; it always has the window's size.
    Widget* getRootWidget() const { return root_.get(); }
    const WindowContext& getContext() const { return context_; }
    // Frames presented so far. A frame that would draw exactly what is on screen is not presented
    // (nor drawn): the same primitives, clips, clear colour and size, no texture made since, and no
    // window event (exposed, resized, shown, ...) since the last present.
    std::uint64_t getPresentedFrames() const { return presentedFrames_; }

    // Lays out and draws the current widget tree (no update, no event) and reads the pixels back.
    // Throws RenderException(ReadbackFailed).
    Image capture();
    // capture() written as a PNG file; false on failure.
    bool saveScreenshot(const std::string& path);

    // Gives `widget` (null: none) the keyboard focus, as a click on it would; a panel losing it is told.
    void setFocus(Widget* widget);
    Widget* getFocus() const { return focused_.get(); }

    SDL_Window* getSDLWindow() const { return window_; }
    SDL_Renderer* getSDLRenderer() const { return renderer_; }
    std::uint32_t getId() const;
    // Whether the renderer is SDL's software renderer.
    bool isSoftware() const { return software_; }

    // --- used by Application ---
    void handleEvent(const SDL_Event& event);
    void frame(std::uint64_t frameDurationUs); // layout, update, layout, draw, present
    bool closeRequested() const { return closeRequested_; }

private:
    friend class Application;
    Window(const std::string& title, int width, int height, WindowFlags flags, int driverIndex, bool vsync);
    void render();
    void syncRootSize();
    void dispatchMouse(const SDL_Event& event);
    void updateHover(Vec2 point, const MouseEvent& event);

    SDL_Window* window_ = nullptr;
    SDL_Renderer* renderer_ = nullptr;
    std::unique_ptr<Renderer> drawer_;
    std::unique_ptr<Widget> root_;
    WindowContext context_;
    Color clearColor_{0, 0, 0, 255};
    bool software_ = false;
    bool closeRequested_ = false;
    // The signature of the frame on screen; a frame that records the same one is not presented.
    std::uint64_t presentedSignature_ = 0;
    bool mustPresent_ = true; // after a window event the screen may need the frame again
    std::uint64_t presentedFrames_ = 0;

    // Input state
    struct Tracked {
        Widget* widget;
        std::weak_ptr<void> alive;
        Widget* get() const { return alive.expired() ? nullptr : widget; }
    };
    std::vector<Tracked> hovered_; // outermost first
    Tracked captured_{nullptr, {}};
    Tracked focused_{nullptr, {}};
    int buttonsDown_ = 0;
    Vec2 mouse_{-1.0e9f, -1.0e9f};
};

} // namespace zelk::ui
