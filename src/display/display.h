// Image display: the viewer state, loading and fitting, presentation, stepping and rotation.
#pragma once

#include <SDL.h>

#include <cstdint>

#include "../shell/shell.h"

/// The screen, the three image slots, the rotation and the list cursor.
struct ViewerState {
    SDL_Surface *screen;      ///< video surface; belongs to SDL
    SDL_Surface *current;     ///< fitted image of the entry under the cursor
    SDL_Surface *prefetched;  ///< fitted image of the entry after the cursor, loaded ahead
    SDL_Surface *rotated;     ///< turned copy of `current` while the angle is off a full turn
    int32_t angle;            ///< accumulated rotation in degrees, never reduced
    ImageEntry *cursor;       ///< entry on screen; null until the first image is shown
};

/// The process-wide viewer state.
extern ViewerState viewerState;

/// Releases the surface a slot owns, if any, and empties the slot.
void releaseSlot(SDL_Surface **slot);

/// Starts the process that image files are decoded in, once; call it before SDL starts.
void startDecoderHelper();
/// Ends the decoding process, and any decode running in it.
void stopDecoderHelper();
/// Decodes `filePath` in the decoding process and fits it to the screen; null after a reported
/// failure, which shuts SDL down unless broken files are skipped.
SDL_Surface *loadImage(const char *filePath);

/// Draws `surface` centred on a black screen and shows the result.
void presentSurface(SDL_Surface *surface);
/// Puts the surface on show back on the screen, recomputing nothing.
void redraw();

/// Steps to the next entry (or shows the first); 1 when it moved, 0 at the last entry. Entries
/// that cannot be shown are passed over when broken files are skipped.
int showNext();
/// Steps to the previous entry; 1 when it moved, 0 at the first entry shown.
int showPrevious();

/// Brings the turned copy and the screen in line with the current angle.
void rotateImage();
