// GPU textures made from the asset pak on first request and kept until process exit: raster images by
// name, SVG icons by name and pixel size. UI thread only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>

#include <zelk/ui/Texture.h>

class AppTextures {
public:
    // The key of a rasterised SVG; keys order by name (byte-wise), then width, then height.
    struct SvgKey {
        std::string name;
        uint32_t width = 0;
        uint32_t height = 0;

        bool operator<(const SvgKey& other) const {
            return std::tie(name, width, height) < std::tie(other.name, other.width, other.height);
        }
    };

    // The texture of the image asset `name`, decoded on first request. Null when the asset is missing
    // (nothing logged) or cannot be decoded (one Error line per attempt). Failures are not remembered.
    // The pointer stays valid until process exit.
    static const zelk::ui::Texture* getTexture(const std::string& name);

    // The SVG asset `name` rasterised at width x height pixels, rasterised on first request for that
    // size. Null on failure, logged as for getTexture.
    static const zelk::ui::Texture* getSvg(const std::string& name, unsigned int width, unsigned int height);

    AppTextures(const AppTextures&) = delete;
    AppTextures& operator=(const AppTextures&) = delete;

private:
    AppTextures() = default;
    static AppTextures& instance();

    const zelk::ui::Texture* loadTexture(const std::string& name);
    const zelk::ui::Texture* loadSvg(const SvgKey& key);

    // Node-based maps: a stored texture never moves, so handed-out pointers stay valid.
    std::map<std::string, zelk::ui::Texture> textures;
    std::map<SvgKey, zelk::ui::Texture> svgs;
};
