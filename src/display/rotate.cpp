// Rotation: turns the shown image in quarter and half turns, always from the unturned image.
#include <SDL_rotozoom.h>

#include <algorithm>

#include "display.h"
#include "readers/surfaces.h"

namespace {

// Turning a paletted image fills the uncovered corners with palette index 0 and marks that
// index transparent, which would also blank out the image's own index-0 colour. A true-colour
// copy with an alpha channel keeps every colour and leaves the corners transparent, so they
// show the black screen.
SDL_Surface *turn(SDL_Surface *image, double zoom) {
    SDL_Surface *copy = nullptr;
    if (image->format->BitsPerPixel == 8) {
        copy = trueColourCopy(image);
        if (!copy) return nullptr;
    }
    SDL_Surface *turned = rotozoomSurface(
        copy ? copy : image, static_cast<double>(viewerState.angle), zoom, settings.antialias);
    if (copy) SDL_FreeSurface(copy);
    return turned;
}

}  // namespace

void rotateImage() {
    SDL_Surface *current = viewerState.current;
    if (viewerState.angle % 360 == 0) {
        releaseSlot(&viewerState.rotated);
        presentSurface(current);
        return;
    }

    // A quarter turn makes the width the height; shrink it in the same pass if that no longer
    // fits. The image's height is compared with the screen's width only when the picture keeps
    // its shape, which then takes the smaller factor.
    double zoom = 1.0;
    if (viewerState.screen->h < current->w && viewerState.angle % 180 != 0) {
        zoom = static_cast<double>(static_cast<float>(viewerState.screen->h) /
                                   static_cast<float>(current->w));
    }
    if (settings.keepAspect && viewerState.screen->w < current->h && viewerState.angle % 180 != 0)
        zoom = std::min(zoom, static_cast<double>(viewerState.screen->w) / current->h);

    releaseSlot(&viewerState.rotated);
    viewerState.rotated = turn(current, zoom);
    // A failed turn is not reported: the unturned image stays on show.
    presentSurface(viewerState.rotated ? viewerState.rotated : current);
}
