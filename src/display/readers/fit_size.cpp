// The size an image is fitted to, each axis by its own factor or both by the smaller: the
// decoder makes it, and the viewer checks a result by it.
#include <SDL_rotozoom.h>

#include <algorithm>

#include "readers.h"
#include "fit.h"

bool fitFactors(const DecodeOptions &options, int width, int height, double *horizontal,
                double *vertical) {
    if (options.screenWidth >= width && options.screenHeight >= height) return false;
    *horizontal = static_cast<double>(options.screenWidth) / width;
    *vertical = static_cast<double>(options.screenHeight) / height;
    if (options.keepAspect) *horizontal = *vertical = std::min(*horizontal, *vertical);
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
