// Batched drawing of rectangle primitives on an SDL_Renderer.
#pragma once

#include <zelk/ui/Types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

struct SDL_Renderer;
struct SDL_Texture;

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

// A vertex of drawTriangles: window coordinates, colour bytes, texture coordinates.
struct Vertex {
    float x, y;
    unsigned char r, g, b, a;
    float u, v;
};

} // namespace draw

// Collects primitives and draws consecutive ones that share a texture and clip in one call.
// Primitives are drawn in submission order; flush() ends the pending batch (it also happens on a
// clip change and at the end of every frame).
//
// A frame is recorded, not drawn at once: between beginFrame() and endFrame() the batches are kept
// with their clip, and a signature of everything drawn (vertices, textures, clips, the clear colour
// and size) is built. replay() then clears the target and draws the record. A window compares the
// signature with that of the frame it presented last and skips replay and present when they match.
class Renderer {
public:
    explicit Renderer(SDL_Renderer* renderer);
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    void submit(const draw::Rectangle& rectangle);
    void draw(const draw::Rectangle& rectangle) { submit(rectangle); }
    void flush();
    // Triangles drawn in order with the primitives, clipped to `clip` (window coordinates x, y, w, h;
    // the caller cuts it to getClip() where that applies). `texture` may be null (untextured). The
    // way to draw raw geometry: whatever is drawn on the SDL_Renderer directly is lost at replay().
    void drawTriangles(SDL_Texture* texture, const int clip[4], const draw::Vertex* vertices, int vertexCount,
                       const int* indices, int indexCount);

    // Starts recording a frame cleared to `clear` (r, g, b, a) on a `width` x `height` target.
    void beginFrame(const unsigned char clear[4], int width, int height);
    // Ends the frame's last batch; signature() then describes the whole frame.
    void endFrame();
    // A hash of the recorded frame: equal signatures draw equal pixels.
    std::uint64_t signature() const { return signature_; }
    // Clears the target and draws the recorded frame on the SDL_Renderer.
    void replay();
    // Call when the pixels behind a texture pointer may have changed (a texture created or
    // refilled): frames recorded afterwards never match one recorded before.
    static void texturesChanged();

    // Restricts drawing to a window-coordinate rectangle intersected with the current clip.
    void pushClip(Vec2 position, Vec2 size);
    void popClip();
    // The current clip (x, y, w, h in window coordinates); false when nothing clips.
    bool getClip(float& x, float& y, float& w, float& h) const;
    // Whether the current clip is empty (nothing would be drawn).
    bool clipIsEmpty() const;

    // Re-applies the current clip to the SDL_Renderer (SDL state only; the recorded frame keeps its
    // own clips).
    void restoreState();

    SDL_Renderer* getSDLRenderer() const { return renderer_; }
    // Draw calls issued since construction (each flush of a non-empty batch counts one).
    std::size_t getDrawCallCount() const { return drawCalls_; }

private:
    using Vertex = draw::Vertex;
    struct Clip {
        float x, y, w, h;
    };
    struct Command {
        SDL_Texture* texture;
        bool clipped;
        int clip[4];
        std::size_t firstVertex, firstIndex;
        int vertexCount, indexCount;
    };
    void addQuad(const draw::Rectangle& r, Vec2 from, Vec2 to, const Vec4& color, bool textured);
    void record(SDL_Texture* texture, const int* clip, const Vertex* vertices, int vertexCount,
                const int* indices, int indexCount);
    void mix(const void* bytes, std::size_t size);
    bool currentClip(int out[4]) const;

    SDL_Renderer* renderer_;
    std::vector<Vertex> vertices_;
    std::vector<int> indices_;
    const Texture* batchTexture_ = nullptr;
    std::vector<Clip> clips_;
    std::size_t drawCalls_ = 0;
    // The recorded frame.
    std::vector<Command> commands_;
    std::vector<Vertex> frameVertices_;
    std::vector<int> frameIndices_;
    unsigned char clear_[4] = {0, 0, 0, 255};
    std::uint64_t signature_ = 0;
};

} // namespace zelk::ui
