// Fitting: the size a picture is shown at on the screen, each axis by its own factor, the plan
// every reader decodes to, and scaling and turning a decoded picture.
#pragma once

#include <SDL.h>

#include "options.h"

/// The scale factors that fit a width x height image to the screen, each axis on its own;
/// false when it fits as it is.
bool fitFactors(const DecodeOptions &options, int width, int height, double *horizontal,
                double *vertical);
/// The size a width x height image is fitted to on the screen; false when it fits as it is.
bool fittedSize(const DecodeOptions &options, int width, int height, int *fittedWidth,
                int *fittedHeight);
/// How a picture is brought to the screen, decided once from its full size, the screen and
/// the antialias setting; every reader decodes to what it says.
struct FitPlan {
    bool fits;           ///< shown as decoded
    bool averaged;       ///< smoothing on and an axis shrinks: the rows go into an averager
    int fittedWidth;     ///< the size shown: what zoomSurfaceSize gives, or the full size
    int fittedHeight;    ///< the size shown
    int averagedWidth;   ///< what averaging makes: the fitted size where an axis shrinks, the
    int averagedHeight;  ///< full size where it grows (interpolated after)
};
/// The plan for a width x height picture.
FitPlan planFit(const DecodeOptions &options, int width, int height);

/// `image`, decoded from a width x height file (at full size or reduced), scaled to the size the
/// full image is fitted to, with the decoded image's own transparency; null when the scaler
/// fails. `image` stays the caller's.
SDL_Surface *fitToScreen(SDL_Surface *image, int width, int height, const DecodeOptions &options);
/// `picture`, a surface makeRgbaSurface made, turned as EXIF orientation `orientation` (2 to 8)
/// asks; takes `picture`, and returns null when out of memory.
SDL_Surface *turnUpright(SDL_Surface *picture, int orientation);

/// The EXIF orientation (1 to 8) that shows a picture as it is shown after turning it
/// `anticlockwise` quarter turns and then mirroring it: 0 not at all, 1 top and bottom
/// exchanged, 2 left and right.
int orientationOfTurn(int anticlockwise, int mirror);
