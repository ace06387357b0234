// What decoding and fitting need to know besides the file, and what the INFO line says.
#pragma once

#include <cstdint>

/// What decoding and fitting need to know besides the file.
struct DecodeOptions {
    int32_t screenWidth;     ///< the size images are fitted to
    int32_t screenHeight;    ///< the size images are fitted to
    int32_t antialias;       ///< smoothing argument of the scalers; 0 also keeps decodes full-size
    int32_t autorotate;      ///< not 0: a JPEG is turned upright by its EXIF orientation
    int32_t rawColours = 0;  ///< not 0: colours are shown as stored, not converted to sRGB
    int32_t keepAspect = 0;  ///< not 0: fitted with the smaller factor on both axes
};

/// What the INFO line says of a decoded image: its full size and the depth its kind decodes to.
struct ImageInfo {
    bool known;        ///< false until the image has been decoded
    int width;         ///< full width in pixels
    int height;        ///< full height in pixels
    int bitsPerPixel;  ///< bits per pixel of the decoded image
};
