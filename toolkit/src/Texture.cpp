#include <zelk/ui/Exceptions.h>
#include <zelk/ui/Renderer.h>
#include <zelk/ui/Texture.h>

#include <SDL.h>
#include <SDL_image.h>

#include <climits>
#include <mutex>
#include <string>
#include <unordered_set>

namespace zelk::ui {

namespace {
// Every live Texture, so a window can drop its GPU copies before its renderer goes and ImGui
// texture references can be vetted. Never destroyed: textures may outlive static destruction order.
struct Registry {
    std::mutex mutex;
    std::unordered_set<const Texture*> live;
};
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

SDL_Surface* toRgba(SDL_Surface* surface) {
    if (surface->format->format == SDL_PIXELFORMAT_RGBA32) {
        return surface;
    }
    SDL_Surface* converted = SDL_ConvertSurfaceFormat(surface, SDL_PIXELFORMAT_RGBA32, 0);
    SDL_FreeSurface(surface);
    return converted;
}
} // namespace

Texture::Texture(const void* bytes, std::size_t size) {
    if (bytes == nullptr || size == 0) {
        throw ResourceException(ResourceException::EmptyData, "Texture: no image data");
    }
    if (size > static_cast<std::size_t>(INT_MAX)) {
        throw ResourceException(ResourceException::InvalidArgument, "Texture: image data too large");
    }
    SDL_RWops* rw = SDL_RWFromConstMem(bytes, static_cast<int>(size));
    SDL_Surface* surface = rw != nullptr ? IMG_Load_RW(rw, 1) : nullptr;
    if (surface == nullptr) {
        throw ResourceException(ResourceException::ImageDecode,
                                std::string("Texture: cannot decode image: ") + IMG_GetError());
    }
    surface_ = toRgba(surface);
    if (surface_ == nullptr) {
        throw ResourceException(ResourceException::ImageDecode,
                                std::string("Texture: cannot convert image: ") + SDL_GetError());
    }
    registerSelf();
}

Texture::Texture(SDL_Surface* surface) {
    if (surface == nullptr) {
        throw ResourceException(ResourceException::EmptyData, "Texture: no surface");
    }
    surface_ = toRgba(surface);
    if (surface_ == nullptr) {
        throw ResourceException(ResourceException::ImageDecode,
                                std::string("Texture: cannot convert surface: ") + SDL_GetError());
    }
    registerSelf();
}

Texture::~Texture() {
    unregisterSelf();
    destroyGpuCopies();
    if (surface_ != nullptr) {
        SDL_FreeSurface(surface_);
    }
}

Texture::Texture(Texture&& other) noexcept : surface_(other.surface_), gpu_(std::move(other.gpu_)) {
    other.surface_ = nullptr;
    other.gpu_.clear();
    registerSelf();
}

Texture& Texture::operator=(Texture&& other) noexcept {
    if (this != &other) {
        destroyGpuCopies();
        if (surface_ != nullptr) {
            SDL_FreeSurface(surface_);
        }
        surface_ = other.surface_;
        gpu_ = std::move(other.gpu_);
        other.surface_ = nullptr;
        other.gpu_.clear();
    }
    return *this;
}

int Texture::getWidth() const {
    return surface_ != nullptr ? surface_->w : 0;
}
int Texture::getHeight() const {
    return surface_ != nullptr ? surface_->h : 0;
}

SDL_Texture* Texture::getSDLTexture(SDL_Renderer* renderer) const {
    if (surface_ == nullptr || renderer == nullptr) {
        return nullptr;
    }
    auto it = gpu_.find(renderer);
    if (it != gpu_.end()) {
        return it->second;
    }
    SDL_Texture* texture = SDL_CreateTextureFromSurface(renderer, surface_);
    Renderer::texturesChanged();
    if (texture != nullptr) {
        SDL_SetTextureBlendMode(texture, SDL_BLENDMODE_BLEND);
        gpu_.emplace(renderer, texture);
    }
    return texture;
}

void Texture::releaseRenderer(SDL_Renderer* renderer) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const Texture* t : r.live) {
        auto it = t->gpu_.find(renderer);
        if (it != t->gpu_.end()) {
            SDL_DestroyTexture(it->second);
            t->gpu_.erase(it);
        }
    }
}

bool Texture::isLive(const Texture* texture) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.live.count(texture) != 0;
}

void Texture::registerSelf() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.live.insert(this);
}

void Texture::unregisterSelf() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.live.erase(this);
}

void Texture::destroyGpuCopies() {
    for (auto& [renderer, texture] : gpu_) {
        (void)renderer;
        SDL_DestroyTexture(texture);
    }
    gpu_.clear();
}

} // namespace zelk::ui
