// An image in main memory, uploaded to each window's renderer on first use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

struct SDL_Surface;
struct SDL_Texture;
struct SDL_Renderer;

namespace zelk::ui {

class Texture {
public:
    // Decodes an image file held in memory (PNG, JPEG, BMP, ... whatever SDL_image reads).
    // Throws ResourceException (EmptyData, ImageDecode). The bytes are not kept.
    Texture(const void* bytes, std::size_t size);
    // Takes ownership of a surface (converted to RGBA32). Throws ResourceException(EmptyData) for null.
    explicit Texture(SDL_Surface* surface);
    ~Texture();
    Texture(Texture&& other) noexcept;
    Texture& operator=(Texture&& other) noexcept;
    Texture(const Texture&) = delete;
    Texture& operator=(const Texture&) = delete;

    int getWidth() const;
    int getHeight() const;
    // The pixels (RGBA32), owned by the texture.
    SDL_Surface* getSurface() const { return surface_; }
    // The GPU copy for a renderer, created on first request; null if the renderer refuses it.
    SDL_Texture* getSDLTexture(SDL_Renderer* renderer) const;
    // Drops the GPU copies made for a renderer that is about to be destroyed (all live textures).
    static void releaseRenderer(SDL_Renderer* renderer);
    // Whether `texture` is a live Texture (used to vet ImGui texture references).
    static bool isLive(const Texture* texture);

private:
    void registerSelf();
    void unregisterSelf();
    void destroyGpuCopies();

    SDL_Surface* surface_ = nullptr;
    mutable std::map<SDL_Renderer*, SDL_Texture*> gpu_;
};

} // namespace zelk::ui
