#include <zelk/ui/Exceptions.h>
#include <zelk/ui/ImGuiPanel.h>
#include <zelk/ui/Renderer.h>
#include <zelk/ui/Texture.h>
#include <zelk/ui/Window.h>

#include <SDL.h>
#include <SDL_image.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace zelk::ui {

namespace {

// The root of a window's widget tree; it belongs to the window, not to a parent widget.
class RootWidget : public Widget {
public:
    RootWidget() : Widget(nullptr) {}
};

enum class MouseKind { Move, Down, Up, Scroll };

bool capturePhase(Widget* w, MouseKind kind, const MouseEvent& e) {
    switch (kind) {
    case MouseKind::Move:
        return w->onMouseMoveCapture(e);
    case MouseKind::Down:
        return w->onMouseButtonDownCapture(e);
    case MouseKind::Up:
        return w->onMouseButtonUpCapture(e);
    case MouseKind::Scroll:
        return w->onMouseScrollCapture(e);
    }
    return false;
}

bool bubblePhase(Widget* w, MouseKind kind, const MouseEvent& e) {
    switch (kind) {
    case MouseKind::Move:
        return w->onMouseMove(e);
    case MouseKind::Down:
        return w->onMouseButtonDown(e);
    case MouseKind::Up:
        return w->onMouseButtonUp(e);
    case MouseKind::Scroll:
        return w->onMouseScroll(e);
    }
    return false;
}

bool offerToChild(Widget* w, const Widget* child, MouseKind kind, const MouseEvent& e) {
    switch (kind) {
    case MouseKind::Move:
        return w->shouldDispatchMouseMove(child, e);
    case MouseKind::Down:
        return w->shouldDispatchMouseButtonDown(child, e);
    case MouseKind::Up:
        return w->shouldDispatchMouseButtonUp(child, e);
    case MouseKind::Scroll:
        return w->shouldDispatchMouseScroll(child, e);
    }
    return false;
}

struct Consumer {
    Widget* widget = nullptr;
    std::weak_ptr<void> alive;
};

// Offers an event to `w` (which contains the point): capture, then the children topmost first,
// then its own handler. Returns who consumed it.
Consumer dispatch(Widget* w, Vec2 point, MouseEvent event, MouseKind kind) {
    std::weak_ptr<void> alive = w->lifetime();
    event.position = w->toLocal(point);
    if (capturePhase(w, kind, event)) {
        return {w, alive};
    }
    if (alive.expired()) {
        return {};
    }
    for (std::size_t i = w->getChildCount(); i-- > 0;) {
        if (i >= w->getChildCount()) {
            continue; // a handler removed children meanwhile
        }
        Widget* child = w->getChild(i);
        if (!child->isVisible() || !child->contains(child->toLocal(point)) ||
            !offerToChild(w, child, kind, event)) {
            continue;
        }
        Consumer c = dispatch(child, point, event, kind);
        if (c.widget != nullptr) {
            return c;
        }
        if (alive.expired()) {
            return {};
        }
    }
    if (bubblePhase(w, kind, event)) {
        return {w, alive};
    }
    return {};
}

} // namespace

bool Image::savePng(const std::string& path) const {
    if (width <= 0 || height <= 0 || pixels.size() != static_cast<std::size_t>(width) * height) {
        SDL_SetError("empty image");
        return false;
    }
    SDL_Surface* surface = SDL_CreateRGBSurfaceWithFormatFrom(const_cast<Color*>(pixels.data()), width,
                                                              height, 32, width * 4, SDL_PIXELFORMAT_RGBA32);
    if (surface == nullptr) {
        return false;
    }
    const bool ok = IMG_SavePNG(surface, path.c_str()) == 0;
    SDL_FreeSurface(surface);
    return ok;
}

Window::Window(const std::string& title, int width, int height, WindowFlags flags, int driverIndex,
               bool vsync) {
    Uint32 sdlFlags = 0;
    sdlFlags |= (flags & WindowFlag::Visible) != 0 ? SDL_WINDOW_SHOWN : SDL_WINDOW_HIDDEN;
    if ((flags & WindowFlag::Resizable) != 0) {
        sdlFlags |= SDL_WINDOW_RESIZABLE;
    }
    if ((flags & WindowFlag::Decorated) == 0) {
        sdlFlags |= SDL_WINDOW_BORDERLESS;
    }
    if ((flags & WindowFlag::HighDPI) != 0) {
        sdlFlags |= SDL_WINDOW_ALLOW_HIGHDPI;
    }
    if ((flags & WindowFlag::Fullscreen) != 0) {
        sdlFlags |= SDL_WINDOW_FULLSCREEN_DESKTOP;
    }
    if ((flags & WindowFlag::Maximized) != 0) {
        sdlFlags |= SDL_WINDOW_MAXIMIZED;
    }
    if ((flags & WindowFlag::AlwaysOnTop) != 0) {
        sdlFlags |= SDL_WINDOW_ALWAYS_ON_TOP;
    }
    const int pos = (flags & WindowFlag::Centered) != 0 ? SDL_WINDOWPOS_CENTERED : SDL_WINDOWPOS_UNDEFINED;
    window_ = SDL_CreateWindow(title.c_str(), pos, pos, width, height, sdlFlags);
    if (window_ == nullptr) {
        throw RenderException(RenderException::WindowCreateFailed,
                              std::string("cannot create window: ") + SDL_GetError());
    }

    // SDL_RENDER_DRIVER in the environment wins over the selected device (SDL reads it for index -1).
    const char* forced = std::getenv("SDL_RENDER_DRIVER");
    const int index = (forced != nullptr && *forced != '\0') ? -1 : driverIndex;
    const Uint32 vsyncFlag = vsync ? SDL_RENDERER_PRESENTVSYNC : 0;
    const bool softwareForced = forced != nullptr && std::strcmp(forced, "software") == 0;
    if (!softwareForced) {
        renderer_ = SDL_CreateRenderer(window_, index, SDL_RENDERER_ACCELERATED | vsyncFlag);
        if (renderer_ == nullptr && index != -1) {
            renderer_ = SDL_CreateRenderer(window_, -1, SDL_RENDERER_ACCELERATED | vsyncFlag);
        }
    }
    if (renderer_ == nullptr) {
        // The software renderer draws into the window's own framebuffer; without this hint SDL would
        // first try to back that framebuffer with an accelerated (GL/EGL) renderer.
        SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
        renderer_ = SDL_CreateRenderer(window_, -1, SDL_RENDERER_SOFTWARE);
    }
    if (renderer_ == nullptr) {
        std::string reason = SDL_GetError();
        SDL_DestroyWindow(window_);
        throw RenderException(RenderException::RendererCreateFailed, "cannot create renderer: " + reason);
    }
    SDL_RendererInfo info{};
    if (SDL_GetRendererInfo(renderer_, &info) == 0 && info.name != nullptr) {
        software_ = std::strcmp(info.name, "software") == 0;
    }
    drawer_ = std::make_unique<Renderer>(renderer_);
    root_ = std::make_unique<RootWidget>();
    root_->window_ = this;
    context_.window = this;
    syncRootSize();
}

Window::~Window() {
    root_.reset(); // widgets (and their ImGui contexts) go while the renderer exists
    drawer_.reset();
    Texture::releaseRenderer(renderer_);
    SDL_DestroyRenderer(renderer_);
    SDL_DestroyWindow(window_);
}

int Window::getWidth() const {
    int w = 0;
    SDL_GetWindowSize(window_, &w, nullptr);
    return w;
}

int Window::getHeight() const {
    int h = 0;
    SDL_GetWindowSize(window_, nullptr, &h);
    return h;
}

void Window::setSize(int width, int height) {
    SDL_SetWindowSize(window_, width, height);
    syncRootSize();
}

void Window::setMinSize(int width, int height) {
    SDL_SetWindowMinimumSize(window_, width, height);
    // SDL enlarges the window itself on desktops; make the offscreen/headless case agree.
    const int w = getWidth();
    const int h = getHeight();
    if (w < width || h < height) {
        SDL_SetWindowSize(window_, w < width ? width : w, h < height ? height : h);
    }
    syncRootSize();
}

void Window::setTitle(const std::string& title) {
    SDL_SetWindowTitle(window_, title.c_str());
}

std::uint32_t Window::getId() const {
    return SDL_GetWindowID(window_);
}

void Window::syncRootSize() {
    const Vec2 size{static_cast<float>(getWidth()), static_cast<float>(getHeight())};
    root_->setPreferredSize(size);
    root_->setActualSize(size);
    // Draw in window coordinates even when the output has more pixels (high DPI).
    int ow = 0;
    int oh = 0;
    if (SDL_GetRendererOutputSize(renderer_, &ow, &oh) == 0 && size.x > 0 && size.y > 0) {
        SDL_RenderSetScale(renderer_, static_cast<float>(ow) / size.x, static_cast<float>(oh) / size.y);
    }
}

void Window::render() {
    const unsigned char clear[4] = {clearColor_.r, clearColor_.g, clearColor_.b, clearColor_.a};
    drawer_->beginFrame(clear, getWidth(), getHeight());
    const float dt = static_cast<float>(context_.lastFrameDurationUs) / 1.0e6f;
    root_->draw(drawer_.get(), 1.0f, dt);
    drawer_->endFrame();
}

void Window::frame(std::uint64_t frameDurationUs) {
    context_.lastFrameDurationUs = frameDurationUs;
    ++context_.frameIndex;
    syncRootSize();
    root_->layout();
    root_->update();
    syncRootSize();
    root_->layout();
    render();
    // Drawing and presenting a frame equal to the one on screen would show nothing new.
    if (mustPresent_ || drawer_->signature() != presentedSignature_) {
        drawer_->replay();
        SDL_RenderPresent(renderer_);
        presentedSignature_ = drawer_->signature();
        mustPresent_ = false;
        ++presentedFrames_;
    }
}

Image Window::capture() {
    syncRootSize();
    root_->layout();
    render();
    drawer_->replay();
    int w = 0;
    int h = 0;
    if (SDL_GetRendererOutputSize(renderer_, &w, &h) != 0 || w <= 0 || h <= 0) {
        throw RenderException(RenderException::ReadbackFailed,
                              std::string("no output size: ") + SDL_GetError());
    }
    Image image;
    image.width = w;
    image.height = h;
    image.pixels.resize(static_cast<std::size_t>(w) * h);
    SDL_RenderSetClipRect(renderer_, nullptr);
    if (SDL_RenderReadPixels(renderer_, nullptr, SDL_PIXELFORMAT_RGBA32, image.pixels.data(), w * 4) != 0) {
        throw RenderException(RenderException::ReadbackFailed,
                              std::string("cannot read pixels: ") + SDL_GetError());
    }
    return image;
}

bool Window::saveScreenshot(const std::string& path) {
    try {
        return capture().savePng(path);
    } catch (const RenderException&) {
        return false;
    }
}

void Window::updateHover(Vec2 point, const MouseEvent& event) {
    // The chain of widgets under the pointer, outermost first, following the topmost child.
    std::vector<Tracked> chain;
    Widget* w = root_.get();
    while (w != nullptr) {
        chain.push_back({w, w->lifetime()});
        Widget* next = nullptr;
        for (std::size_t i = w->getChildCount(); i-- > 0;) {
            Widget* child = w->getChild(i);
            if (child->isVisible() && child->contains(child->toLocal(point))) {
                next = child;
                break;
            }
        }
        w = next;
    }
    auto inChain = [](const std::vector<Tracked>& list, Widget* x) {
        for (const auto& t : list) {
            if (t.get() == x) {
                return true;
            }
        }
        return false;
    };
    const std::vector<Tracked> previous = std::move(hovered_);
    hovered_ = chain;
    for (std::size_t i = previous.size(); i-- > 0;) {
        Widget* old = previous[i].get();
        if (old != nullptr && !inChain(chain, old)) {
            MouseEvent e = event;
            e.position = old->toLocal(point);
            old->onMouseLeave(e);
        }
    }
    for (const auto& t : chain) {
        Widget* now = t.get();
        if (now != nullptr && !inChain(previous, now)) {
            MouseEvent e = event;
            e.position = now->toLocal(point);
            now->onMouseEnter(e);
        }
    }
}

void Window::dispatchMouse(const SDL_Event& sdl) {
    MouseEvent event;
    MouseKind kind = MouseKind::Move;
    switch (sdl.type) {
    case SDL_MOUSEMOTION:
        mouse_ = {static_cast<float>(sdl.motion.x), static_cast<float>(sdl.motion.y)};
        kind = MouseKind::Move;
        break;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP:
        mouse_ = {static_cast<float>(sdl.button.x), static_cast<float>(sdl.button.y)};
        event.button = sdl.button.button;
        event.clicks = sdl.button.clicks;
        kind = sdl.type == SDL_MOUSEBUTTONDOWN ? MouseKind::Down : MouseKind::Up;
        break;
    case SDL_MOUSEWHEEL: {
        float x = sdl.wheel.preciseX != 0.0f ? sdl.wheel.preciseX : static_cast<float>(sdl.wheel.x);
        float y = sdl.wheel.preciseY != 0.0f ? sdl.wheel.preciseY : static_cast<float>(sdl.wheel.y);
        if (sdl.wheel.direction == SDL_MOUSEWHEEL_FLIPPED) {
            x = -x;
            y = -y;
        }
        event.scroll = {x, y};
        kind = MouseKind::Scroll;
        break;
    }
    default:
        return;
    }
    const Vec2 point = mouse_;
    event.windowPosition = point;

    if (kind != MouseKind::Scroll) {
        updateHover(point, event); // button events carry a position too
    }
    Consumer consumer;
    if (root_->contains(root_->toLocal(point)) || kind == MouseKind::Up) {
        consumer = dispatch(root_.get(), point, event, kind);
    }
    Widget* consumed = consumer.alive.expired() ? nullptr : consumer.widget;

    // The widget holding the pressed button follows the pointer and sees the release.
    Widget* holder = captured_.get();
    if (holder != nullptr && holder != consumed && (kind == MouseKind::Move || kind == MouseKind::Up)) {
        MouseEvent e = event;
        e.position = holder->toLocal(point);
        if (kind == MouseKind::Move) {
            holder->onMouseMove(e);
        } else {
            holder->onMouseButtonUp(e);
        }
    }

    if (kind == MouseKind::Down) {
        if (buttonsDown_ == 0) {
            captured_ = consumed != nullptr ? Tracked{consumed, consumer.alive} : Tracked{nullptr, {}};
        }
        ++buttonsDown_;
        Widget* previous = focused_.get();
        focused_ = consumed != nullptr ? Tracked{consumed, consumer.alive} : Tracked{nullptr, {}};
        if (previous != nullptr && previous != consumed) {
            if (auto* panel = dynamic_cast<ImGuiPanel*>(previous)) {
                panel->focusLost();
            }
        }
    } else if (kind == MouseKind::Up) {
        if (buttonsDown_ > 0) {
            --buttonsDown_;
        }
        if (buttonsDown_ == 0) {
            captured_ = Tracked{nullptr, {}};
        }
    }
}

void Window::setFocus(Widget* widget) {
    Widget* previous = focused_.get();
    focused_ = widget != nullptr ? Tracked{widget, widget->lifetime()} : Tracked{nullptr, {}};
    if (previous != nullptr && previous != widget) {
        if (auto* panel = dynamic_cast<ImGuiPanel*>(previous)) {
            panel->focusLost();
        }
    }
}

void Window::handleEvent(const SDL_Event& event) {
    switch (event.type) {
    case SDL_WINDOWEVENT:
        mustPresent_ = true; // shown, exposed, resized, restored: the screen may need the frame again
        if (event.window.event == SDL_WINDOWEVENT_CLOSE) {
            closeRequested_ = true;
        } else if (event.window.event == SDL_WINDOWEVENT_LEAVE) {
            mouse_ = {-1.0e9f, -1.0e9f};
            updateHover(mouse_, MouseEvent{});
        } else if (event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED) {
            syncRootSize();
        }
        break;
    case SDL_MOUSEMOTION:
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP:
    case SDL_MOUSEWHEEL:
        dispatchMouse(event);
        break;
    case SDL_KEYDOWN:
    case SDL_KEYUP:
    case SDL_TEXTINPUT: {
        KeyEvent key;
        if (event.type == SDL_TEXTINPUT) {
            key.text = event.text.text;
        } else {
            key.key = event.key.keysym.sym;
            key.scancode = event.key.keysym.scancode;
            key.modifiers = event.key.keysym.mod;
            key.repeat = event.key.repeat != 0;
        }
        // The focused widget first, then up through its parents.
        Widget* w = focused_.get();
        while (w != nullptr) {
            std::weak_ptr<void> alive = w->lifetime();
            const bool used = event.type == SDL_KEYUP ? w->onKeyUp(key) : w->onKeyDown(key);
            if (used || alive.expired()) {
                break;
            }
            w = w->getParent();
        }
        break;
    }
    default:
        break;
    }
}

} // namespace zelk::ui
