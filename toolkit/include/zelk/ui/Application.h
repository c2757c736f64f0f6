// The application: owns the render context and the windows and runs the frame loop on the thread
// that created it (the main thread). One Application exists at a time; the static calls act on it.
//
// A frame: handle pending SDL events, run the queued main-thread functions, run the tick callbacks,
// then for each window lay out, update, lay out again, draw and present.
#pragma once

#include <zelk/ui/RenderContext.h>
#include <zelk/ui/Window.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zelk::ui {

class Application {
public:
    // Sets the context up if it is not yet. Throws RenderException (ApplicationExists, InitFailed).
    Application(std::unique_ptr<RenderContext>&& context, const std::string& name);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Runs frames until a window is closed, an SDL_QUIT arrives or quit() is called.
    void run();
    // Runs one frame. `frameDurationUs`, when given, is reported as the previous frame's duration
    // (WindowContext::lastFrameDurationUs) instead of the measured time (deterministic tests).
    // Returns false once the application has been asked to quit.
    bool runFrame(std::optional<std::uint64_t> frameDurationUs = std::nullopt);
    // Asks run() to return after the current frame. Main thread only.
    static void quit();
    bool quitRequested() const { return quit_; }

    // The current application or null.
    static Application* get();
    RenderContext* getRenderContext() const { return context_.get(); }
    const std::string& getName() const { return name_; }

    // Vertical sync for every window (existing and later ones). Default on.
    static void setVSync(bool enabled);
    static bool getVSync();

    // Creates a window owned by the application. Throws RenderException (NoApplication,
    // WindowCreateFailed, RendererCreateFailed).
    static Window* createWindow(const std::string& title, int width, int height, WindowFlags flags);
    static const std::vector<std::unique_ptr<Window>>& getWindows();

    // Runs fn once a frame on the main thread, in registration order, until unregistered. The key
    // identifies the callback (registering an existing key replaces its function). A callback may
    // (un)register callbacks; one unregistered during a frame does not run later in that frame.
    // Throws RenderException(NoApplication) without an application.
    static void registerTickCallback(const void* key, std::function<void()> fn);
    // Does nothing for an unknown key or without an application.
    static void unregisterTickCallback(const void* key);

    // From any thread: runs fn once on the main thread at the start of a later frame. The queue is
    // taken under its lock and run outside it, so fn may dispatch again (that runs next frame).
    // Functions still queued when the application is destroyed are discarded without running;
    // without an application fn is discarded.
    static void dispatchToMainThread(std::function<void()> fn);
    // Whether the calling thread is the one that created the application.
    static bool isMainThread();

private:
    struct Tick {
        const void* key;
        std::function<void()> fn;
        bool alive;
    };
    void runDispatched();
    void runTicks();

    std::unique_ptr<RenderContext> context_;
    std::string name_;
    std::vector<std::unique_ptr<Window>> windows_;
    std::vector<std::shared_ptr<Tick>> ticks_;
    std::thread::id mainThread_;
    std::uint64_t lastFrameStart_ = 0;
    bool quit_ = false;
    bool vsync_ = true;
};

} // namespace zelk::ui
