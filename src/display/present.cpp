// Presentation: puts a surface centred on a black screen and flips it into view.
#include "display.h"

void presentSurface(SDL_Surface *surface) {
    SDL_Surface *screen = viewerState.screen;
    SDL_Rect destination;
    // Integer division truncates toward zero, so a surface wider than the screen is centred
    // with a negative offset and clipped by the blit.
    destination.x = static_cast<Sint16>((screen->w - surface->w) / 2);
    destination.y = static_cast<Sint16>((screen->h - surface->h) / 2);
    destination.w = static_cast<Uint16>(surface->w);
    destination.h = static_cast<Uint16>(surface->h);

    SDL_FillRect(screen, nullptr, SDL_MapRGB(screen->format, 0, 0, 0));
    SDL_UpperBlit(surface, nullptr, screen, &destination);
    SDL_Flip(screen);
}

void redraw() {
    SDL_Surface *shown = viewerState.rotated ? viewerState.rotated : viewerState.current;
    if (shown) presentSurface(shown);
}
