// Colours as the file means them: what a reader learns of a picture's colour space, and its
// conversion to sRGB.
#pragma once

#include <SDL.h>

#include <cstddef>

#include "options.h"

/// A picture's colour space as its file describes it; all zero for an untagged picture.
struct ColourDescription {
    const unsigned char *icc;  ///< an embedded ICC profile, the reader's own; null for none
    size_t iccSize;            ///< its size in bytes
    double gamma;              ///< PNG gAMA: the power the samples were encoded with; 0 for none
    bool hasChromaticities;    ///< PNG cHRM: the xy chromaticities below
    double white[2], red[2], green[2], blue[2];  ///< of the white point and the primaries
    int primaries;  ///< ITU-T H.273 colour primaries (as in HEIF's and AVIF's nclx); 0 for none
    int transfer;   ///< ITU-T H.273 transfer characteristics; 0 for none
    bool grey;      ///< the pixels are grey levels, which a grey profile fits
};
/// Converts a 32-bit picture (as makeRgbaSurface makes) from `colours` to sRGB in place,
/// alpha kept. Nothing is done for an untagged or sRGB picture, a profile lcms2 refuses or
/// one of another colour space than the pixels', or with `options.rawColours`.
void convertToSrgb(SDL_Surface *picture, const ColourDescription &colours,
                   const DecodeOptions &options);
/// A conversion of CMYK rows (inverted when `inverted`, as Adobe stores them) through the
/// description's CMYK profile to RGBA; null where there is none to go through.
void *startCmykConversion(const ColourDescription &colours, const DecodeOptions &options,
                          bool inverted);
/// Converts a row of `width` CMYK pixels to RGBA in place.
void convertCmykRow(void *conversion, unsigned char *pixels, int width);
/// Ends a conversion startCmykConversion made (null is fine).
void stopCmykConversion(void *conversion);
