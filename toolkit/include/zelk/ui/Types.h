// Basic value types of the toolkit: 2- and 4-component float vectors and packed colours.
#pragma once

#include <cstdint>

namespace zelk::ui {

struct Vec2 {
    float x = 0.0f;
    float y = 0.0f;

    constexpr Vec2() = default;
    constexpr Vec2(float x_, float y_) : x(x_), y(y_) {}

    constexpr Vec2 operator+(const Vec2& o) const { return {x + o.x, y + o.y}; }
    constexpr Vec2 operator-(const Vec2& o) const { return {x - o.x, y - o.y}; }
    constexpr Vec2 operator-() const { return {-x, -y}; }
    constexpr Vec2 operator*(float s) const { return {x * s, y * s}; }
    constexpr Vec2 operator/(float s) const { return {x / s, y / s}; }
    constexpr Vec2& operator+=(const Vec2& o) {
        x += o.x;
        y += o.y;
        return *this;
    }
    constexpr Vec2& operator-=(const Vec2& o) {
        x -= o.x;
        y -= o.y;
        return *this;
    }
    friend constexpr bool operator==(const Vec2&, const Vec2&) = default;
};

constexpr Vec2 operator*(float s, const Vec2& v) {
    return v * s;
}

// Four floats. Used for float colours (x = red, y = green, z = blue, w = alpha, each 0..1)
// and for paddings (x = left, y = top, z = right, w = bottom).
struct Vec4 {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
    float w = 0.0f;

    constexpr Vec4() = default;
    constexpr Vec4(float x_, float y_, float z_, float w_) : x(x_), y(y_), z(z_), w(w_) {}
    // The same value on all four components (e.g. a padding of 8 on every side).
    constexpr explicit Vec4(float all) : x(all), y(all), z(all), w(all) {}
    friend constexpr bool operator==(const Vec4&, const Vec4&) = default;
};

// A 32-bit colour: bytes red, green, blue, alpha in memory order. As a packed 32-bit number
// (the form ImGui uses) red is bits 0-7, green 8-15, blue 16-23 and alpha 24-31, so
// 0xFF101010 is opaque (16, 16, 16). A packed number converts implicitly.
struct Color {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
    std::uint8_t a = 0;

    constexpr Color() = default;
    constexpr Color(std::uint32_t packed) // NOLINT(google-explicit-constructor): packed colours pass as-is
        : r(static_cast<std::uint8_t>(packed & 0xFFu)), g(static_cast<std::uint8_t>((packed >> 8) & 0xFFu)),
          b(static_cast<std::uint8_t>((packed >> 16) & 0xFFu)), a(static_cast<std::uint8_t>(packed >> 24)) {}
    constexpr Color(std::uint8_t r_, std::uint8_t g_, std::uint8_t b_, std::uint8_t a_ = 255)
        : r(r_), g(g_), b(b_), a(a_) {}

    // The packed form (red in the lowest byte).
    constexpr std::uint32_t value() const {
        return static_cast<std::uint32_t>(r) | (static_cast<std::uint32_t>(g) << 8) |
               (static_cast<std::uint32_t>(b) << 16) | (static_cast<std::uint32_t>(a) << 24);
    }
    // Each channel divided by 255.
    constexpr Vec4 toVec4() const { return {r / 255.0f, g / 255.0f, b / 255.0f, a / 255.0f}; }

    friend constexpr bool operator==(const Color&, const Color&) = default;
};
static_assert(sizeof(Color) == 4, "Color is four bytes R, G, B, A");

} // namespace zelk::ui
