#include "AppTextures.h"

#include <exception>
#include <utility>

#include <zelk/ui/Exceptions.h>
#include <zelk/ui/SVG.h>

#include "AssetManager.h"
#include "Logger.h"

AppTextures& AppTextures::instance() {
    static AppTextures textures;
    return textures;
}

const zelk::ui::Texture* AppTextures::getTexture(const std::string& name) {
    AppTextures& self = instance();
    auto it = self.textures.find(name);
    if (it != self.textures.end()) {
        return &it->second;
    }
    return self.loadTexture(name);
}

const zelk::ui::Texture* AppTextures::getSvg(const std::string& name, unsigned int width,
                                             unsigned int height) {
    AppTextures& self = instance();
    SvgKey key{name, width, height};
    auto it = self.svgs.find(key);
    if (it != self.svgs.end()) {
        return &it->second;
    }
    return self.loadSvg(key);
}

const zelk::ui::Texture* AppTextures::loadTexture(const std::string& name) {
    auto asset = AssetManager::getAsset(name);
    if (!asset) {
        return nullptr;
    }
    try {
        auto [it, inserted] = textures.try_emplace(name, asset->data.data(), asset->data.size());
        (void)inserted;
        LogWriter(LogLevel::Trace)("Loaded texture asset '{}'", name);
        return &it->second;
    } catch (const zelk::ui::ResourceException& e) {
        LogWriter(LogLevel::Error)("Failed to load texture asset '{}': RenderException code {}", name,
                                   e.getCode());
    } catch (const std::exception& e) {
        LogWriter(LogLevel::Error)("Failed to load texture asset '{}': {}", name, e.what());
    }
    return nullptr;
}

const zelk::ui::Texture* AppTextures::loadSvg(const SvgKey& key) {
    auto asset = AssetManager::getAsset(key.name);
    if (!asset) {
        return nullptr;
    }
    try {
        zelk::ui::SVG svg(asset->data.data(), asset->data.size());
        auto [it, inserted] = svgs.try_emplace(key, svg.createTexture(key.width, key.height));
        (void)inserted;
        LogWriter(LogLevel::Trace)("Loaded SVG asset '{}' ({}x{})", key.name, key.width, key.height);
        return &it->second;
    } catch (const zelk::ui::ResourceException& e) {
        LogWriter(LogLevel::Error)("Failed to load svg asset '{}': RenderException code {}", key.name,
                                   e.getCode());
    } catch (const std::exception& e) {
        LogWriter(LogLevel::Error)("Failed to load svg asset '{}': {}", key.name, e.what());
    }
    return nullptr;
}
