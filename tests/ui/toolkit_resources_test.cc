// Textures, SVG documents and fonts from bytes: good data decodes, bad data throws ResourceException
// with the code of its fault.
#include "toolkit_support.h"

TEST(Resources, DecodeGoodBytesAndRefuseBadOnes) {
    const std::string svgText =
        R"(<svg xmlns="http://www.w3.org/2000/svg" width="24" height="24" viewBox="0 0 24 24">
        <rect width="24" height="12" fill="#ff0000"/><rect y="12" width="24" height="12" fill="#0000ff"/></svg>)";
    const std::string junk(1000, 'x');
    std::vector<std::uint8_t> png;
    solidTexture(5, 3, 10, 20, 30, &png);
    const Texture image(png.data(), png.size());
    EXPECT_EQ(*static_cast<const Color*>(image.getSurface()->pixels), Color(10, 20, 30));
    const SVG svg(svgText.data(), svgText.size());
    // Square document in a 2:1 texture: fitted to 128 x 128 and centred, the margins clear.
    const Texture big = svg.createTexture(256, 128);
    const auto* px = static_cast<const Color*>(big.getSurface()->pixels);
    const int stride = big.getSurface()->pitch / 4;
    EXPECT_EQ(std::make_pair(image.getWidth(), image.getHeight()), std::make_pair(5, 3));
    EXPECT_EQ(std::make_pair(big.getWidth(), big.getHeight()), std::make_pair(256, 128));
    EXPECT_EQ(px[32 * stride + 70], Color(255, 0, 0));
    EXPECT_EQ(px[64 * stride + 10].a, 0);

    const std::pair<std::function<void()>, std::int32_t> refused[] = {
        {[&] { Texture(junk.data(), junk.size()); }, ResourceException::ImageDecode},
        {[&] { Texture(png.data(), png.size() / 2); }, ResourceException::ImageDecode},
        {[&] { Texture(nullptr, 10); }, ResourceException::EmptyData},
        {[&] { Texture(png.data(), 0); }, ResourceException::EmptyData},
        {[&] { (void)svg.createTexture(0, 16); }, ResourceException::InvalidArgument},
        {[&] { (void)svg.createTexture(16, 16385); }, ResourceException::InvalidArgument},
        {[&] { (void)svg.createTexture(16385, 16); }, ResourceException::InvalidArgument},
        {[&] { SVG(junk.data(), junk.size()); }, ResourceException::SvgParse},
        {[&] { SVG(png.data(), png.size()); }, ResourceException::SvgParse},
        {[&] { SVG(svgText.data(), 0); }, ResourceException::EmptyData},
        {[&] { Font(junk.data(), junk.size(), 0); }, ResourceException::FontOpen},
        {[&] { Font(nullptr, 0, 0); }, ResourceException::EmptyData},
    };
    for (const auto& [load, code] : refused) {
        try {
            load();
            ADD_FAILURE() << "no exception for code " << code;
        } catch (const ResourceException& e) {
            EXPECT_EQ(e.getCode(), code);
        }
    }
}
