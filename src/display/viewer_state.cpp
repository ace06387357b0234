// The process-wide viewer state and the release of its image slots.
#include "display.h"

ViewerState viewerState = {nullptr, nullptr, nullptr, nullptr, 0, nullptr};

void releaseSlot(SDL_Surface **slot) {
    if (*slot) {
        SDL_FreeSurface(*slot);
        *slot = nullptr;
    }
}
