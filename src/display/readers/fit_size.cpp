// What both the viewer and the decoder need of fitting: the size an image is fitted to, each
// axis by its own factor (the viewer checks a result by it), and a true-colour copy of a
// paletted picture (for the scalers, which would average palette indices).
#include <SDL_rotozoom.h>

#include "readers.h"

bool fitFactors(const DecodeOptions &options, int width, int height, double *horizontal,
                double *vertical) {
    if (options.screenWidth >= width && options.screenHeight >= height) return false;
    *horizontal = static_cast<double>(options.screenWidth) / width;
    *vertical = static_cast<double>(options.screenHeight) / height;
    return true;
}

bool fittedSize(const DecodeOptions &options, int width, int height, int *fittedWidth,
                int *fittedHeight) {
    double horizontal = 1;
    double vertical = 1;
    if (!fitFactors(options, width, height, &horizontal, &vertical)) return false;
    zoomSurfaceSize(width, height, horizontal, vertical, fittedWidth, fittedHeight);
    return true;
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
