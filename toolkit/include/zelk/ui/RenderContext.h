// The graphics set-up that an Application is built from: which SDL render driver to use.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zelk::ui {

enum class RenderBackend : int {
    Default = 0 // SDL_Renderer on the selected render driver (the only backend)
};

// One graphics device: an SDL render driver. id = the driver's index, name = its name
// ("opengl", "opengles2", "software", ...).
struct DeviceInfo {
    std::uint32_t id = 0;
    std::string name;
};

class RenderContext {
public:
    // Gives an owned context. Throws RenderException(UnsupportedBackend) for a backend other than 0.
    static std::unique_ptr<RenderContext> create(RenderBackend backend, const std::string& name);
    static std::unique_ptr<RenderContext> create(int backend, const std::string& name);

    ~RenderContext();
    RenderContext(const RenderContext&) = delete;
    RenderContext& operator=(const RenderContext&) = delete;

    // The SDL render drivers in driver-index order.
    std::vector<DeviceInfo> getDevices() const;
    // Chooses the driver windows try first. Throws RenderException(InvalidDevice) for an index
    // outside getDevices(). If the environment sets SDL_RENDER_DRIVER, that wins (headless tests).
    void selectDevice(int index);
    int getSelectedDevice() const { return selected_; }
    // Initialises SDL video. Idempotent. Throws RenderException(InitFailed).
    void setup();
    bool isSetUp() const { return setUp_; }

    RenderBackend getBackend() const { return backend_; }
    const std::string& getName() const { return name_; }

private:
    RenderContext(RenderBackend backend, std::string name);
    RenderBackend backend_;
    std::string name_;
    int selected_ = -1; // -1: SDL's own choice
    bool setUp_ = false;
};

} // namespace zelk::ui
