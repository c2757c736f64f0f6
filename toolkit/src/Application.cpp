#include <zelk/ui/Application.h>
#include <zelk/ui/Exceptions.h>

#include <SDL.h>
#include <SDL_ttf.h>

#include <algorithm>
#include <atomic>
#include <mutex>

namespace zelk::ui {

namespace {
std::atomic<Application*> current{nullptr};
std::atomic<std::thread::id> mainThreadId{};
bool vsyncSetting = true;

// The main-thread queue lives outside the Application so that a worker thread calling
// dispatchToMainThread while the application is being destroyed touches only this. Never freed.
struct DispatchQueue {
    std::mutex mutex;
    std::vector<std::function<void()>> pending;
    bool accepting = false;
    std::uint32_t wakeEvent = 0; // SDL event type pushed to wake a waiting run()
};
DispatchQueue& dispatchQueue() {
    static DispatchQueue* q = new DispatchQueue;
    return *q;
}

std::uint64_t nowMicros() {
    return SDL_GetPerformanceCounter() * 1000000u / SDL_GetPerformanceFrequency();
}

Application& requireApp() {
    Application* app = current.load();
    if (app == nullptr) {
        throw RenderException(RenderException::NoApplication, "no zelk::ui::Application exists");
    }
    return *app;
}
} // namespace

Application::Application(std::unique_ptr<RenderContext>&& context, const std::string& name)
    : context_(std::move(context)), name_(name), mainThread_(std::this_thread::get_id()) {
    if (context_ == nullptr) {
        context_ = RenderContext::create(RenderBackend::Default, name);
    }
    context_->setup();
    if (TTF_Init() != 0) {
        throw RenderException(RenderException::InitFailed, std::string("TTF_Init failed: ") + TTF_GetError());
    }
    Application* expected = nullptr;
    if (!current.compare_exchange_strong(expected, this)) {
        TTF_Quit();
        throw RenderException(RenderException::ApplicationExists, "a zelk::ui::Application exists already");
    }
    mainThreadId.store(mainThread_);
    vsync_ = vsyncSetting;
    DispatchQueue& q = dispatchQueue();
    std::lock_guard<std::mutex> lock(q.mutex);
    q.pending.clear();
    q.accepting = true;
    if (q.wakeEvent == 0) {
        const Uint32 type = SDL_RegisterEvents(1);
        q.wakeEvent = type != 0xFFFFFFFFu ? type : std::uint32_t{SDL_USEREVENT};
    }
}

Application::~Application() {
    std::vector<std::function<void()>> discarded;
    {
        DispatchQueue& q = dispatchQueue();
        std::lock_guard<std::mutex> lock(q.mutex);
        q.accepting = false;
        discarded.swap(q.pending);
    }
    discarded.clear(); // destroyed outside the lock: closures may own things that dispatch again
    ticks_.clear();
    windows_.clear(); // widgets first, then renderers and SDL windows
    current.store(nullptr);
    mainThreadId.store(std::thread::id{});
    TTF_Quit();
}

Application* Application::get() {
    return current.load();
}

void Application::quit() {
    if (Application* app = current.load()) {
        app->quit_ = true;
    }
}

bool Application::isMainThread() {
    return std::this_thread::get_id() == mainThreadId.load();
}

void Application::setVSync(bool enabled) {
    vsyncSetting = enabled;
    if (Application* app = current.load()) {
        app->vsync_ = enabled;
        for (auto& window : app->windows_) {
            SDL_RenderSetVSync(window->getSDLRenderer(), enabled ? 1 : 0);
        }
    }
}

bool Application::getVSync() {
    return vsyncSetting;
}

Window* Application::createWindow(const std::string& title, int width, int height, WindowFlags flags) {
    Application& app = requireApp();
    std::unique_ptr<Window> window(
        new Window(title, width, height, flags, app.context_->getSelectedDevice(), app.vsync_));
    app.windows_.push_back(std::move(window));
    return app.windows_.back().get();
}

const std::vector<std::unique_ptr<Window>>& Application::getWindows() {
    return requireApp().windows_;
}

void Application::registerTickCallback(const void* key, std::function<void()> fn) {
    Application& app = requireApp();
    for (auto& tick : app.ticks_) {
        if (tick->key == key) {
            tick->fn = std::move(fn);
            return;
        }
    }
    app.ticks_.push_back(std::make_shared<Tick>(Tick{key, std::move(fn), true}));
}

void Application::unregisterTickCallback(const void* key) {
    Application* app = current.load();
    if (app == nullptr) {
        return;
    }
    auto it =
        std::find_if(app->ticks_.begin(), app->ticks_.end(), [key](const auto& t) { return t->key == key; });
    if (it != app->ticks_.end()) {
        (*it)->alive = false;
        app->ticks_.erase(it);
    }
}

void Application::dispatchToMainThread(std::function<void()> fn) {
    if (!fn) {
        return;
    }
    DispatchQueue& q = dispatchQueue();
    std::unique_lock<std::mutex> lock(q.mutex);
    if (!q.accepting) {
        lock.unlock();
        return; // fn is destroyed here, outside the lock
    }
    q.pending.push_back(std::move(fn));
    if (q.pending.size() == 1) {
        // The first function since the last drain wakes run() if it waits; later ones ride along.
        SDL_Event wake{};
        wake.type = q.wakeEvent;
        SDL_PushEvent(&wake);
    }
}

void Application::requestFrame() {
    if (Application* app = current.load()) {
        app->frameRequested_ = true;
    }
}

void Application::setRestFrameMs(std::uint32_t ms) {
    if (Application* app = current.load()) {
        app->restFrameMs_ = ms;
    }
}

std::uint32_t Application::nextWaitMs() const {
    if (framesRun_ == 0 || frameRequested_ || eventsHandled_) {
        return 0;
    }
    DispatchQueue& q = dispatchQueue();
    std::lock_guard<std::mutex> lock(q.mutex);
    return q.pending.empty() ? restFrameMs_ : 0;
}

bool Application::waitForEvents(std::uint32_t timeoutMs) {
    // With a null event SDL only reports whether one is queued and leaves it there.
    return SDL_WaitEventTimeout(nullptr, static_cast<int>(timeoutMs)) == 1;
}

void Application::setClock(std::function<std::uint64_t()> nowMicros) {
    clock_ = std::move(nowMicros);
}

void Application::setRestWait(std::function<bool(std::uint32_t)> wait) {
    restWait_ = std::move(wait);
}

std::uint64_t Application::now() const {
    return clock_ ? clock_() : nowMicros();
}

void Application::runDispatched() {
    std::vector<std::function<void()>> batch;
    {
        DispatchQueue& q = dispatchQueue();
        std::lock_guard<std::mutex> lock(q.mutex);
        batch.swap(q.pending);
    }
    for (auto& fn : batch) {
        fn();
    }
}

void Application::runTicks() {
    // A snapshot, so callbacks may (un)register; an unregistered one is skipped via its flag.
    std::vector<std::shared_ptr<Tick>> snapshot = ticks_;
    for (auto& tick : snapshot) {
        if (tick->alive) {
            std::function<void()> fn = tick->fn;
            fn();
        }
    }
}

bool Application::runFrame(std::optional<std::uint64_t> frameDurationUs) {
    const std::uint64_t start = now();
    const std::uint64_t measured = lastFrameStart_ == 0 ? 0 : start - lastFrameStart_;
    lastFrameStart_ = start;
    const std::uint64_t duration = frameDurationUs.value_or(measured);
    ++framesRun_;
    frameRequested_ = false;
    eventsHandled_ = false;

    SDL_Event event;
    while (SDL_PollEvent(&event) != 0) {
        if (event.type == SDL_QUIT) {
            quit_ = true;
            continue;
        }
        std::uint32_t windowId = 0;
        switch (event.type) {
        case SDL_RENDER_TARGETS_RESET:
        case SDL_RENDER_DEVICE_RESET:
            for (auto& w : windows_) {
                w->mustPresent_ = true; // the renderer lost what it showed
            }
            continue;
        case SDL_WINDOWEVENT:
            windowId = event.window.windowID;
            break;
        case SDL_MOUSEMOTION:
            windowId = event.motion.windowID;
            break;
        case SDL_MOUSEBUTTONDOWN:
        case SDL_MOUSEBUTTONUP:
            windowId = event.button.windowID;
            break;
        case SDL_MOUSEWHEEL:
            windowId = event.wheel.windowID;
            break;
        case SDL_KEYDOWN:
        case SDL_KEYUP:
            windowId = event.key.windowID;
            break;
        case SDL_TEXTINPUT:
            windowId = event.text.windowID;
            break;
        default:
            continue;
        }
        // Events without a window (e.g. synthetic ones) go to the first window.
        Window* target = nullptr;
        for (auto& w : windows_) {
            if (w->getId() == windowId) {
                target = w.get();
            }
        }
        if (target == nullptr && !windows_.empty()) {
            target = windows_.front().get();
        }
        eventsHandled_ = true;
        if (target != nullptr) {
            target->handleEvent(event);
        }
    }

    runDispatched();
    runTicks();
    for (std::size_t i = 0; i < windows_.size(); ++i) {
        windows_[i]->frame(duration);
        if (windows_[i]->closeRequested()) {
            quit_ = true;
        }
    }
    return !quit_;
}

void Application::run() {
    constexpr std::uint64_t kFrameBudgetUs = 1000000 / 60;
    while (true) {
        const std::uint64_t start = now();
        std::uint64_t presentedBefore = 0;
        for (auto& w : windows_) {
            presentedBefore += w->getPresentedFrames();
        }
        if (!runFrame()) {
            break;
        }
        const std::uint64_t spent = now() - start;
        const std::uint64_t restUs = std::uint64_t{nextWaitMs()} * 1000;
        if (restUs > 0 && !windows_.empty()) {
            // Nothing needs a frame: sleep until an event arrives, or the rest interval is over.
            if (spent < restUs) {
                const auto restMs = static_cast<std::uint32_t>((restUs - spent) / 1000);
                restWait_ ? restWait_(restMs) : waitForEvents(restMs);
            }
            continue;
        }
        // Renderers that cannot wait for the display (software), and frames that presented nothing and
        // so did not wait for it, would spin: keep them near 60 Hz.
        std::uint64_t presentedAfter = 0;
        for (auto& w : windows_) {
            presentedAfter += w->getPresentedFrames();
        }
        bool throttle = presentedAfter == presentedBefore;
        for (auto& w : windows_) {
            SDL_RendererInfo info{};
            if (vsync_ && SDL_GetRendererInfo(w->getSDLRenderer(), &info) == 0 &&
                (info.flags & SDL_RENDERER_PRESENTVSYNC) == 0) {
                throttle = true;
            }
        }
        if (throttle && spent < kFrameBudgetUs) {
            SDL_Delay(static_cast<std::uint32_t>((kFrameBudgetUs - spent) / 1000));
        }
    }
}

} // namespace zelk::ui
