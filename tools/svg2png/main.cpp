// svg2png: rasterises an SVG file to a PNG of the given size (used for the pak's raster icons).
//
//   svg2png INPUT.svg OUTPUT.png WIDTH HEIGHT
#include <cstdio>
#include <cstdlib>
#include <string>

#include <SDL.h>
#include <SDL_image.h>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: svg2png INPUT.svg OUTPUT.png WIDTH HEIGHT\n");
        return 2;
    }
    const int width = std::atoi(argv[3]);
    const int height = std::atoi(argv[4]);
    if (width < 1 || height < 1 || width > 4096 || height > 4096) {
        std::fprintf(stderr, "svg2png: size must be 1 to 4096 pixels, got %s x %s\n", argv[3], argv[4]);
        return 2;
    }
    SDL_RWops* input = SDL_RWFromFile(argv[1], "rb");
    if (input == nullptr) {
        std::fprintf(stderr, "svg2png: cannot open '%s': %s\n", argv[1], SDL_GetError());
        return 1;
    }
    SDL_Surface* surface = IMG_LoadSizedSVG_RW(input, width, height);
    SDL_RWclose(input);
    if (surface == nullptr) {
        std::fprintf(stderr, "svg2png: cannot rasterise '%s': %s\n", argv[1], IMG_GetError());
        return 1;
    }
    const std::string temporary = std::string(argv[2]) + ".tmp";
    const int saved = IMG_SavePNG(surface, temporary.c_str());
    SDL_FreeSurface(surface);
    if (saved != 0 || std::rename(temporary.c_str(), argv[2]) != 0) {
        std::fprintf(stderr, "svg2png: cannot write '%s': %s\n", argv[2], IMG_GetError());
        std::remove(temporary.c_str());
        return 1;
    }
    return 0;
}
