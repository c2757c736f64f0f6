// Batched drawing of rectangle primitives on an SDL_Renderer.
#pragma once

#include <zelk/ui/Types.h>

#include <cstddef>
#include <vector>

struct SDL_Renderer;

namespace zelk::ui {

class Texture;

namespace draw {

// A rectangle in window coordinates, rotated about `origin` and tinted.
struct Rectangle {
    Vec2 position;                    // top-left corner of the unrotated rectangle
    Vec2 size;                        // width, height
    float angle = 0.0f;               // degrees, clockwise on screen, about position + origin
    Vec2 origin;                      // rotation pivot relative to the top-left corner
    Vec4 color{1, 1, 1, 1};           // tint: red, green, blue, alpha in 0..1 (the fill without a texture)
    const Texture* texture = nullptr; // not owned; stretched over the rectangle and multiplied by color
    Vec4 borderColor{0, 0, 0, 0};     // colour of the inner border
    float borderWidth = 0.0f;         // 0: no border
};

} // namespace draw

// Collects primitives and draws consecutive ones that share a texture and clip in one call.
// Primitives are drawn in submission order; flush() draws what is pending (it also happens on a
// clip change and at the end of every frame).
class Renderer {
public:
    explicit Renderer(SDL_Renderer* renderer);
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    void submit(const draw::Rectangle& rectangle);
    void draw(const draw::Rectangle& rectangle) { submit(rectangle); }
    void flush();

    // Restricts drawing to a window-coordinate rectangle intersected with the current clip.
    void pushClip(Vec2 position, Vec2 size);
    void popClip();
    // The current clip (x, y, w, h in window coordinates); false when nothing clips.
    bool getClip(float& x, float& y, float& w, float& h) const;
    // Whether the current clip is empty (nothing would be drawn).
    bool clipIsEmpty() const;

    // Re-applies the current clip to the SDL_Renderer (after drawing on it directly).
    void restoreState();

    SDL_Renderer* getSDLRenderer() const { return renderer_; }
    // Draw calls issued since construction (each flush of a non-empty batch counts one).
    std::size_t getDrawCallCount() const { return drawCalls_; }

private:
    struct Vertex {
        float x, y;
        unsigned char r, g, b, a;
        float u, v;
    };
    struct Clip {
        float x, y, w, h;
    };
    void addQuad(const draw::Rectangle& r, Vec2 from, Vec2 to, const Vec4& color, bool textured);

    SDL_Renderer* renderer_;
    std::vector<Vertex> vertices_;
    std::vector<int> indices_;
    const Texture* batchTexture_ = nullptr;
    std::vector<Clip> clips_;
    std::size_t drawCalls_ = 0;
};

} // namespace zelk::ui
