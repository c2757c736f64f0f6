#include <zelk/ui/Exceptions.h>
#include <zelk/ui/RenderContext.h>

#include <SDL.h>

#include <string>

namespace zelk::ui {

RenderContext::RenderContext(RenderBackend backend, std::string name)
    : backend_(backend), name_(std::move(name)) {}

std::unique_ptr<RenderContext> RenderContext::create(RenderBackend backend, const std::string& name) {
    if (backend != RenderBackend::Default) {
        throw RenderException(RenderException::UnsupportedBackend,
                              "unsupported render backend " + std::to_string(static_cast<int>(backend)));
    }
    return std::unique_ptr<RenderContext>(new RenderContext(backend, name));
}

std::unique_ptr<RenderContext> RenderContext::create(int backend, const std::string& name) {
    return create(static_cast<RenderBackend>(backend), name);
}

RenderContext::~RenderContext() {
    if (setUp_) {
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
    }
}

std::vector<DeviceInfo> RenderContext::getDevices() const {
    std::vector<DeviceInfo> devices;
    const int count = SDL_GetNumRenderDrivers();
    for (int i = 0; i < count; ++i) {
        SDL_RendererInfo info{};
        if (SDL_GetRenderDriverInfo(i, &info) == 0) {
            devices.push_back(
                DeviceInfo{static_cast<std::uint32_t>(i), info.name != nullptr ? info.name : ""});
        }
    }
    return devices;
}

void RenderContext::selectDevice(int index) {
    const int count = SDL_GetNumRenderDrivers();
    if (index < 0 || index >= count) {
        throw RenderException(RenderException::InvalidDevice, "no graphics device " + std::to_string(index) +
                                                                  " (" + std::to_string(count) +
                                                                  " available)");
    }
    selected_ = index;
}

void RenderContext::setup() {
    if (setUp_) {
        return;
    }
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
        throw RenderException(RenderException::InitFailed,
                              std::string("SDL video init failed: ") + SDL_GetError());
    }
    setUp_ = true;
}

} // namespace zelk::ui
