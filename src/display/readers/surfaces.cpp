// The surfaces the readers make and the scalers take: the viewer turns pictures with them too.
#include "surfaces.h"

bool surfaceHolds(int width, int height) {
    if (width > 0 && height > 0 && width < 16384 && height < 65536) return true;
    SDL_SetError("a %dx%d picture is larger than SDL 1.2 can hold at full size (16383x65535)",
                 width, height);
    return false;
}

SDL_Surface *makeRgbaSurface(int width, int height, bool alpha) {
#if SDL_BYTEORDER == SDL_LIL_ENDIAN
    SDL_Surface *surface = SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 32, 0x000000ff,
                                                0x0000ff00, 0x00ff0000, 0xff000000);
#else
    SDL_Surface *surface = SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 32, 0xff000000,
                                                0x00ff0000, 0x0000ff00, 0x000000ff);
#endif
    // An opaque picture is not blended pixel by pixel on every present.
    if (surface && !alpha) SDL_SetAlpha(surface, 0, SDL_ALPHA_OPAQUE);
    return surface;
}

SDL_Surface *trueColourCopy(SDL_Surface *paletted) {
    SDL_Surface *copy = SDL_CreateRGBSurface(SDL_SWSURFACE, paletted->w, paletted->h, 32,
                                             0x000000ff, 0x0000ff00, 0x00ff0000, 0xff000000);
    if (!copy) return nullptr;
    // Pixels of the image's colour key, if it has one, stay transparent.
    SDL_FillRect(copy, nullptr, 0);
    SDL_UpperBlit(paletted, nullptr, copy, nullptr);
    return copy;
}
