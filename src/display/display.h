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
/// A 32-bit copy with alpha of a paletted surface, its colour key transparent; null on failure.
SDL_Surface *trueColourCopy(SDL_Surface *paletted);

/// Decodes `filePath` and fits it to the screen; null after a reported decoding failure.
SDL_Surface *loadImage(const char *filePath);
/// False, with the reason as SDL's error, when `filePath` is a PNG with a chunk that claims
/// more bytes than the format allows or than the file holds, an XPM whose pixels use a colour
/// it does not define, or a GIF picture with no area or 16,384 pixels wide or more; true for any
/// other file.
bool fileLooksDecodable(const char *filePath);
/// The size a width x height image is fitted to on the screen; false when it fits as it is.
bool fittedSize(int width, int height, int *fittedWidth, int *fittedHeight);
/// A colour or greyscale JPEG larger than the screen, decoded at the smallest eighth of its
/// size that still covers its fitted size, with its full size; null for any other file, or
/// when the reduced decode cannot be made, so that the full-size decoder decides, except when
/// `tooLarge` is set: the JPEG needs more memory than the viewer grants, said in SDL's error.
SDL_Surface *loadReducedJpeg(const char *filePath, int *fullWidth, int *fullHeight, bool *tooLarge);

/// Draws `surface` centred on a black screen and shows the result.
void presentSurface(SDL_Surface *surface);
/// Puts the surface on show back on the screen, recomputing nothing.
void redraw();

/// Steps to the next entry (or shows the first); 1 when it moved, 0 at the last entry.
int showNext();
/// Steps to the previous entry; 1 when it moved, 0 at the first entry.
int showPrevious();

/// Brings the turned copy and the screen in line with the current angle.
void rotateImage();
