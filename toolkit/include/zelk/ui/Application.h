// The application: owns the render context and the windows and runs the frame loop on the thread
// that created it (the main thread). One Application exists at a time; the static calls act on it.
//
// A frame: handle pending SDL events, run the queued main-thread functions, run the tick callbacks,
// then for each window lay out, update, lay out again, draw and present.
//
// Pacing: run() runs frames back to back (at the display's rate, or about 60 a second without
// vertical sync) only while something needs them; otherwise it waits for an SDL event between
// frames, at most kRestFrameMs, so that polling in update() and tick callbacks still runs. See
// nextWaitMs() for what needs a frame.
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

    // Runs frames until a window is closed, an SDL_QUIT arrives or quit() is called. Between two
    // frames it waits for an event for up to nextWaitMs() (less the time the frame took).
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

    // The longest run() waits between two frames when nothing needs a frame.
    static constexpr std::uint32_t kRestFrameMs = 100;
    // Main thread: the next frame runs at full rate (run() does not wait for an event before it).
    // A request covers one frame, so a widget that animates asks again in every update() while it
    // moves (Widget::requestFrame). Does nothing without an application.
    static void requestFrame();
    // Main thread: the rest from now on (kRestFrameMs until set). A longer rest costs less while
    // nothing happens, and update() polls less often. Does nothing without an application.
    static void setRestFrameMs(std::uint32_t ms);
    // How long run() waits for an event before the next frame: 0 when a frame is needed now (no frame
    // has run yet; the last frame handled an input or window event; requestFrame() was called since
    // the last frame began; functions are queued with dispatchToMainThread), else the rest
    // (kRestFrameMs unless setRestFrameMs changed it).
    std::uint32_t nextWaitMs() const;
    // Blocks until an SDL event is queued or `timeoutMs` has passed; true when an event is queued.
    // The event stays queued for the next frame. dispatchToMainThread queues an event that wakes it.
    bool waitForEvents(std::uint32_t timeoutMs);
    // What run() measures frames with (microseconds) and rests in between frames (by default the
    // performance counter and waitForEvents). Tests put their own here to read the rests run() asks
    // for without waiting. Main thread; an empty function restores the default.
    void setClock(std::function<std::uint64_t()> nowMicros);
    void setRestWait(std::function<bool(std::uint32_t timeoutMs)> wait);

private:
    struct Tick {
        const void* key;
        std::function<void()> fn;
        bool alive;
    };
    void runDispatched();
    void runTicks();
    std::uint64_t now() const;

    std::function<std::uint64_t()> clock_;
    std::function<bool(std::uint32_t)> restWait_;

    std::unique_ptr<RenderContext> context_;
    std::string name_;
    std::vector<std::unique_ptr<Window>> windows_;
    std::vector<std::shared_ptr<Tick>> ticks_;
    std::thread::id mainThread_;
    std::uint64_t lastFrameStart_ = 0;
    std::uint64_t framesRun_ = 0;
    bool frameRequested_ = false; // requestFrame() since the last frame began
    std::uint32_t restFrameMs_ = kRestFrameMs;
    bool eventsHandled_ = false;  // the last frame handled an input or window event
    bool quit_ = false;
    bool vsync_ = true;
};

} // namespace zelk::ui
