#include <zelk/ui/Renderer.h>
#include <zelk/ui/Texture.h>

#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

namespace zelk::ui {

namespace {
unsigned char toByte(float v) {
    return static_cast<unsigned char>(std::clamp(v, 0.0f, 1.0f) * 255.0f + 0.5f);
}
constexpr float kDegToRad = 3.14159265358979323846f / 180.0f;
// Bumped whenever pixels behind a texture pointer may have changed; part of every frame's signature.
std::atomic<std::uint64_t> textureGeneration{0};
} // namespace

Renderer::Renderer(SDL_Renderer* renderer) : renderer_(renderer) {}

void Renderer::addQuad(const draw::Rectangle& r, Vec2 from, Vec2 to, const Vec4& color, bool textured) {
    // Corners in the rectangle's own frame, turned about the origin, then moved to its position.
    const float c = std::cos(r.angle * kDegToRad);
    const float s = std::sin(r.angle * kDegToRad);
    const Vec2 local[4] = {{from.x, from.y}, {to.x, from.y}, {to.x, to.y}, {from.x, to.y}};
    const float uvs[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    const int base = static_cast<int>(vertices_.size());
    for (int i = 0; i < 4; ++i) {
        const Vec2 d = local[i] - r.origin;
        Vertex v{};
        v.x = r.position.x + r.origin.x + d.x * c - d.y * s;
        v.y = r.position.y + r.origin.y + d.x * s + d.y * c;
        v.r = toByte(color.x);
        v.g = toByte(color.y);
        v.b = toByte(color.z);
        v.a = toByte(color.w);
        v.u = textured ? uvs[i][0] : 0.0f;
        v.v = textured ? uvs[i][1] : 0.0f;
        vertices_.push_back(v);
    }
    for (int i : {0, 1, 2, 0, 2, 3}) {
        indices_.push_back(base + i);
    }
}

void Renderer::submit(const draw::Rectangle& r) {
    if (r.size.x <= 0.0f || r.size.y <= 0.0f || clipIsEmpty()) {
        return;
    }
    const Texture* texture = r.texture;
    if (texture != nullptr && texture->getSDLTexture(renderer_) == nullptr) {
        texture = nullptr; // cannot upload: draw the tint alone rather than nothing
    }
    if (!vertices_.empty() && texture != batchTexture_) {
        flush();
    }
    batchTexture_ = texture;
    addQuad(r, {0, 0}, r.size, r.color, texture != nullptr);

    const float bw = std::min({r.borderWidth, r.size.x / 2.0f, r.size.y / 2.0f});
    if (bw > 0.0f && r.borderColor.w > 0.0f) {
        if (texture != nullptr) {
            flush();
            batchTexture_ = nullptr;
        }
        const Vec2 sz = r.size;
        addQuad(r, {0, 0}, {sz.x, bw}, r.borderColor, false);
        addQuad(r, {0, sz.y - bw}, {sz.x, sz.y}, r.borderColor, false);
        addQuad(r, {0, bw}, {bw, sz.y - bw}, r.borderColor, false);
        addQuad(r, {sz.x - bw, bw}, {sz.x, sz.y - bw}, r.borderColor, false);
    }
}

void Renderer::flush() {
    if (vertices_.empty()) {
        return;
    }
    SDL_Texture* texture = batchTexture_ != nullptr ? batchTexture_->getSDLTexture(renderer_) : nullptr;
    int clip[4];
    record(texture, currentClip(clip) ? clip : nullptr, vertices_.data(), static_cast<int>(vertices_.size()),
           indices_.data(), static_cast<int>(indices_.size()));
    vertices_.clear();
    indices_.clear();
    batchTexture_ = nullptr;
}

void Renderer::drawTriangles(SDL_Texture* texture, const int clip[4], const draw::Vertex* vertices,
                             int vertexCount, const int* indices, int indexCount) {
    flush(); // keeps the submission order
    record(texture, clip, vertices, vertexCount, indices, indexCount);
}

void Renderer::record(SDL_Texture* texture, const int* clip, const Vertex* vertices, int vertexCount,
                      const int* indices, int indexCount) {
    if (vertexCount <= 0 || indexCount <= 0) {
        return;
    }
    Command command{texture,     clip != nullptr, {0, 0, 0, 0}, frameVertices_.size(), frameIndices_.size(),
                    vertexCount, indexCount};
    if (clip != nullptr) {
        std::copy(clip, clip + 4, command.clip);
    }
    commands_.push_back(command);
    frameVertices_.insert(frameVertices_.end(), vertices, vertices + vertexCount);
    frameIndices_.insert(frameIndices_.end(), indices, indices + indexCount);
    mix(&command.texture, sizeof command.texture);
    mix(&command.clipped, sizeof command.clipped);
    mix(command.clip, sizeof command.clip);
    mix(&vertexCount, sizeof vertexCount);
    mix(vertices, sizeof(Vertex) * static_cast<std::size_t>(vertexCount));
    mix(indices, sizeof(int) * static_cast<std::size_t>(indexCount));
    ++drawCalls_;
}

void Renderer::mix(const void* bytes, std::size_t size) {
    // FNV-1a, a word at a time with an extra shift so high bits reach the low ones.
    constexpr std::uint64_t prime = 0x100000001b3ULL;
    const auto* p = static_cast<const unsigned char*>(bytes);
    std::uint64_t h = signature_;
    for (; size >= 8; size -= 8, p += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, p, 8);
        h = (h ^ word) * prime;
        h ^= h >> 29;
    }
    for (; size > 0; --size, ++p) {
        h = (h ^ *p) * prime;
    }
    signature_ = h;
}

void Renderer::beginFrame(const unsigned char clear[4], int width, int height) {
    commands_.clear();
    frameVertices_.clear();
    frameIndices_.clear();
    vertices_.clear();
    indices_.clear();
    batchTexture_ = nullptr;
    clips_.clear();
    std::copy(clear, clear + 4, clear_);
    signature_ = 0xcbf29ce484222325ULL;
    const int size[2] = {width, height};
    mix(clear_, sizeof clear_);
    mix(size, sizeof size);
}

void Renderer::endFrame() {
    flush();
    // Taken at the end: textures uploaded while this frame was recorded count for it.
    const std::uint64_t generation = textureGeneration.load();
    mix(&generation, sizeof generation);
}

void Renderer::replay() {
    SDL_RenderSetClipRect(renderer_, nullptr);
    SDL_SetRenderDrawColor(renderer_, clear_[0], clear_[1], clear_[2], clear_[3]);
    SDL_RenderClear(renderer_);
    SDL_SetRenderDrawBlendMode(renderer_, SDL_BLENDMODE_BLEND);
    for (const Command& c : commands_) {
        const SDL_Rect rect{c.clip[0], c.clip[1], c.clip[2], c.clip[3]};
        SDL_RenderSetClipRect(renderer_, c.clipped ? &rect : nullptr);
        const Vertex* v = frameVertices_.data() + c.firstVertex;
        SDL_RenderGeometryRaw(renderer_, c.texture, &v->x, sizeof(Vertex),
                              reinterpret_cast<const SDL_Color*>(&v->r), sizeof(Vertex), &v->u,
                              sizeof(Vertex), c.vertexCount, frameIndices_.data() + c.firstIndex,
                              c.indexCount, sizeof(int));
    }
    SDL_RenderSetClipRect(renderer_, nullptr);
}

void Renderer::texturesChanged() {
    textureGeneration.fetch_add(1);
}

bool Renderer::currentClip(int out[4]) const {
    if (clips_.empty() || clipIsEmpty()) {
        return false; // an empty clip draws nothing at all (submit drops primitives)
    }
    const Clip& c = clips_.back();
    const int x0 = static_cast<int>(std::floor(c.x));
    const int y0 = static_cast<int>(std::floor(c.y));
    out[0] = x0;
    out[1] = y0;
    out[2] = static_cast<int>(std::ceil(c.x + c.w)) - x0;
    out[3] = static_cast<int>(std::ceil(c.y + c.h)) - y0;
    return true;
}

void Renderer::pushClip(Vec2 position, Vec2 size) {
    flush();
    Clip clip{position.x, position.y, std::max(0.0f, size.x), std::max(0.0f, size.y)};
    if (!clips_.empty()) {
        const Clip& outer = clips_.back();
        const float x0 = std::max(clip.x, outer.x);
        const float y0 = std::max(clip.y, outer.y);
        const float x1 = std::min(clip.x + clip.w, outer.x + outer.w);
        const float y1 = std::min(clip.y + clip.h, outer.y + outer.h);
        clip = {x0, y0, std::max(0.0f, x1 - x0), std::max(0.0f, y1 - y0)};
    }
    clips_.push_back(clip);
    restoreState();
}

void Renderer::popClip() {
    flush();
    if (!clips_.empty()) {
        clips_.pop_back();
    }
    restoreState();
}

bool Renderer::getClip(float& x, float& y, float& w, float& h) const {
    if (clips_.empty()) {
        return false;
    }
    const Clip& c = clips_.back();
    x = c.x;
    y = c.y;
    w = c.w;
    h = c.h;
    return true;
}

bool Renderer::clipIsEmpty() const {
    return !clips_.empty() && (clips_.back().w <= 0.0f || clips_.back().h <= 0.0f);
}

void Renderer::restoreState() {
    if (clips_.empty() || clipIsEmpty()) {
        // An empty clip draws nothing at all (submit drops primitives), so no SDL clip is needed.
        SDL_RenderSetClipRect(renderer_, nullptr);
        return;
    }
    const Clip& c = clips_.back();
    const int x0 = static_cast<int>(std::floor(c.x));
    const int y0 = static_cast<int>(std::floor(c.y));
    const int x1 = static_cast<int>(std::ceil(c.x + c.w));
    const int y1 = static_cast<int>(std::ceil(c.y + c.h));
    SDL_Rect rect{x0, y0, x1 - x0, y1 - y0};
    SDL_RenderSetClipRect(renderer_, &rect);
}

} // namespace zelk::ui
