// The surfaces the readers make and the scalers take.
#pragma once

#include <SDL.h>

/// A 32-bit copy with alpha of a paletted surface, its colour key transparent; null on failure.
SDL_Surface *trueColourCopy(SDL_Surface *paletted);

/// Whether SDL 1.2 makes a 32-bit surface of width x height (its rows hold at most 65,535
/// bytes); false, with a reason that says so as SDL's error, when it does not.
bool surfaceHolds(int width, int height);
/// Makes a 32-bit surface in the layout the scaler works in (red first in memory), with alpha
/// blending on for a picture with `alpha`.
SDL_Surface *makeRgbaSurface(int width, int height, bool alpha);
