// Textures, SVG documents and fonts from bytes: good data decodes, bad data throws ResourceException.
#include "toolkit_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

using namespace tk;

namespace {

std::string fontBytes() {
    for (const std::string& path :
         {std::string("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"),
          std::string(ORVANE_SOURCE_DIR) +
              "/assets/node_modules/@expo-google-fonts/montserrat/500Medium/Montserrat_500Medium.ttf"}) {
        std::ifstream in(path, std::ios::binary);
        std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (!bytes.empty()) {
            return bytes;
        }
    }
    return {};
}

template <class F> std::int32_t codeOf(F&& f) {
    try {
        f();
    } catch (const ResourceException& e) {
        return e.getCode();
    }
    return 0;
}

const std::string kSvg =
    R"(<svg xmlns="http://www.w3.org/2000/svg" width="24" height="24" viewBox="0 0 24 24">
  <rect x="0" y="0" width="24" height="12" fill="#ff0000"/>
  <rect x="0" y="12" width="24" height="12" fill="#0000ff"/>
</svg>)";

const std::string kJunk = "definitely not an image, a document or a font";

} // namespace

TEST(Resources, TextureFromImageBytes) {
    const auto png = pngBytes(5, 3, 10, 20, 30);
    Texture texture(png.data(), png.size());
    EXPECT_EQ(texture.getWidth(), 5);
    EXPECT_EQ(texture.getHeight(), 3);
    EXPECT_EQ(*static_cast<const Color*>(texture.getSurface()->pixels), Color(10, 20, 30));

    // Moved into a map node, as the application's caches keep them: still drawable.
    Texture moved(std::move(texture));
    EXPECT_EQ(moved.getWidth(), 5);
    EXPECT_TRUE(Texture::isLive(&moved));

    EXPECT_EQ(codeOf([&] { Texture t(kJunk.data(), kJunk.size()); }), ResourceException::ImageDecode);
    EXPECT_EQ(codeOf([&] { Texture t(png.data(), png.size() / 2); }), ResourceException::ImageDecode);
    EXPECT_EQ(codeOf([&] { Texture t(nullptr, 10); }), ResourceException::EmptyData);
    EXPECT_EQ(codeOf([&] { Texture t(png.data(), 0); }), ResourceException::EmptyData);
}

TEST(Resources, SvgRasterisedAtAnySize) {
    SVG svg(kSvg.data(), kSvg.size());
    Texture big = svg.createTexture(256, 128);
    ASSERT_EQ(big.getWidth(), 256);
    ASSERT_EQ(big.getHeight(), 128);
    const auto* px = static_cast<const Color*>(big.getSurface()->pixels);
    const int stride = big.getSurface()->pitch / 4;
    // Square document in a 2:1 texture: fitted to 128 x 128 and centred.
    EXPECT_EQ(px[32 * stride + 128], Color(255, 0, 0)); // upper half red
    EXPECT_EQ(px[96 * stride + 128], Color(0, 0, 255)); // lower half blue
    EXPECT_EQ(px[64 * stride + 10].a, 0);               // left margin transparent
    EXPECT_EQ(px[32 * stride + 70], Color(255, 0, 0));  // just inside the fitted area

    const auto png = pngBytes(2, 2, 0, 0, 0);
    EXPECT_EQ(codeOf([&] { (void)svg.createTexture(0, 16); }), ResourceException::InvalidArgument);
    EXPECT_EQ(codeOf([&] { (void)svg.createTexture(16, 1u << 20); }), ResourceException::InvalidArgument);
    EXPECT_EQ(codeOf([&] { SVG s(kJunk.data(), kJunk.size()); }), ResourceException::SvgParse);
    EXPECT_EQ(codeOf([&] { SVG s(png.data(), png.size()); }), ResourceException::SvgParse);
    EXPECT_EQ(codeOf([&] { SVG s(kSvg.data(), 0); }), ResourceException::EmptyData);
}

TEST(Resources, FontMeasuresAndDrawsText) {
    const auto bytes = fontBytes();
    ASSERT_FALSE(bytes.empty()) << "no TrueType font found";
    Font font(bytes.data(), bytes.size(), 0);
    const Vec2 small = font.measure("Connect", 14);
    EXPECT_GT(small.x, 0);
    EXPECT_GT(font.measure("Connect", 28).x, small.x * 1.5f);
    EXPECT_EQ(font.measure("", 14), (Vec2{}));

    const std::string junk(1000, 'x');
    EXPECT_EQ(codeOf([&] { Font f(junk.data(), junk.size(), 0); }), ResourceException::FontOpen);
    EXPECT_EQ(codeOf([&] { Font f(bytes.data(), bytes.size(), 99); }), ResourceException::FontOpen);
    EXPECT_EQ(codeOf([&] { Font f(nullptr, 0, 0); }), ResourceException::EmptyData);

    // A text element takes its measured size and draws in its colour, centred in a button.
    TestApp t(200, 100);
    t.window->setClearColor(0xFF000000);
    auto* button = t.root()->addHiddenChild<Button>(0.0f, 0.0f, 200.0f, 100.0f);
    button->setBackgroundColor(0xFF000000);
    button->setHoverColor(0xFF000000);
    TextElement* text = button->getText();
    text->setFont(&font);
    text->setFontSize(40);
    text->setColor(Color(255, 255, 0));
    text->setText("HH");
    t.frames(1);
    const Vec2 size = text->getActualSize();
    EXPECT_EQ(size, font.measure("HH", 40));
    EXPECT_FLOAT_EQ(text->getPosition().x, (200 - size.x) / 2);
    const Image frame = t.window->capture();
    EXPECT_GT(std::count(frame.pixels.begin(), frame.pixels.end(), Color(255, 255, 0)), 50);
}
