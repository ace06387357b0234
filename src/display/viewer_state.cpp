// The process-wide viewer state, the release of its image slots, and a true-colour copy.
#include "display.h"

ViewerState viewerState = {nullptr, nullptr, nullptr, nullptr, 0, nullptr};

void releaseSlot(SDL_Surface **slot) {
    if (*slot) {
        SDL_FreeSurface(*slot);
        *slot = nullptr;
    }
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
