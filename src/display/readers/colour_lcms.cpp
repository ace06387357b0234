// The colour module: a picture's embedded ICC profile, or the colour space its format's own
// fields describe, converted to sRGB with lcms2 once the picture is fitted, so that the cost
// does not grow with the file.
#include <lcms2.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "format_modules.h"
#include "colour.h"

namespace {

// The screen's colour space, made once (in the warm-up, before the worker is locked down).
cmsHPROFILE srgb() {
    static cmsHPROFILE profile = cmsCreate_sRGBProfile();
    return profile;
}

// xy chromaticities of the colour primaries ITU-T H.273 numbers, and of D65.
struct Primaries {
    int code;
    double red[2], green[2], blue[2];
};
const Primaries kPrimaries[] = {
    {1, {0.640, 0.330}, {0.300, 0.600}, {0.150, 0.060}},   // BT.709, sRGB
    {4, {0.670, 0.330}, {0.210, 0.710}, {0.140, 0.080}},   // BT.470 M
    {5, {0.640, 0.330}, {0.290, 0.600}, {0.150, 0.060}},   // BT.601 625
    {6, {0.630, 0.340}, {0.310, 0.595}, {0.155, 0.070}},   // BT.601 525
    {7, {0.630, 0.340}, {0.310, 0.595}, {0.155, 0.070}},   // SMPTE 240
    {9, {0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}},   // BT.2020
    {12, {0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}},  // Display P3
};
const double kD65[2] = {0.3127, 0.3290};

// The tone curve of a transfer characteristics number; null for the ones shown as stored
// (unknown ones, and the HDR curves that need more than a conversion).
cmsToneCurve *transferCurve(int code) {
    // sRGB's own: shown as is, with its primaries converted. BT.709's and BT.2020's camera
    // curves are shown as displays show them, by sRGB's.
    const double srgbCurve[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    switch (code) {
    case 1:
    case 2:
    case 6:
    case 13:
    case 14:
    case 15:
        return cmsBuildParametricToneCurve(nullptr, 4, srgbCurve);
    case 4:
        return cmsBuildGamma(nullptr, 2.2);
    case 5:
        return cmsBuildGamma(nullptr, 2.8);
    case 8:
        return cmsBuildGamma(nullptr, 1.0);
    default:
        return nullptr;
    }
}

// An RGB profile of these chromaticities and tone curve.
cmsHPROFILE rgbProfile(const double white[2], const double red[2], const double green[2],
                       const double blue[2], cmsToneCurve *curve) {
    if (!curve) return nullptr;
    const cmsCIExyY whitePoint{white[0], white[1], 1};
    const cmsCIExyYTRIPLE primaries{
        {red[0], red[1], 1}, {green[0], green[1], 1}, {blue[0], blue[1], 1}};
    cmsToneCurve *curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&whitePoint, &primaries, curves);
    cmsFreeToneCurve(curve);
    return profile;
}

// The profile the description stands for; null when it says nothing lcms2 can take.
cmsHPROFILE profileOf(const ColourDescription &colours) {
    if (colours.icc && colours.iccSize) {
        return cmsOpenProfileFromMem(colours.icc, cmsUInt32Number(colours.iccSize));
    }
    if (colours.gamma > 0) {
        // A PNG's gAMA: the power the file's samples were encoded with, its chromaticities
        // sRGB's unless cHRM gives others.
        const Primaries &srgbPrimaries = kPrimaries[0];
        const bool own = colours.hasChromaticities;
        return rgbProfile(own ? colours.white : kD65, own ? colours.red : srgbPrimaries.red,
                          own ? colours.green : srgbPrimaries.green,
                          own ? colours.blue : srgbPrimaries.blue,
                          cmsBuildGamma(nullptr, 1 / colours.gamma));
    }
    if (colours.primaries || colours.transfer) {
        const int primariesCode = colours.primaries ? colours.primaries : 1;
        for (const Primaries &primaries : kPrimaries) {
            if (primaries.code == primariesCode)
                return rgbProfile(kD65, primaries.red, primaries.green, primaries.blue,
                                  transferCurve(colours.transfer ? colours.transfer : 13));
        }
    }
    return nullptr;
}

// Whether a transform leaves colours as they are, to a level: then none is made, and a
// picture tagged as sRGB (by any of the profiles of that name, whose curves differ by their
// rounding) shows exactly as an untagged one.
bool changesNothing(cmsHTRANSFORM transform, bool grey) {
    unsigned char in[64 * 3], out[64 * 3];
    for (int i = 0; i < 64; i++) {
        in[i * 3] = static_cast<unsigned char>(i * 4 + 3);
        in[i * 3 + 1] = static_cast<unsigned char>(grey ? i * 4 + 3 : (i * 37) % 256);
        in[i * 3 + 2] = static_cast<unsigned char>(grey ? i * 4 + 3 : 255 - i * 4);
    }
    if (grey) {
        unsigned char levels[64];
        for (int i = 0; i < 64; i++) levels[i] = in[i * 3];
        cmsDoTransform(transform, levels, out, 64);
    } else {
        cmsDoTransform(transform, in, out, 64);
    }
    for (size_t i = 0; i < sizeof in; i++) {
        if (std::abs(int(in[i]) - int(out[i])) > 1) return false;
    }
    return true;
}

void convertThroughProfile(SDL_Surface *picture, const ColourDescription &colours,
                           const DecodeOptions &options) {
    SDL_Palette *palette = picture ? picture->format->palette : nullptr;
    const bool paletted = palette && picture->format->BitsPerPixel == 8;
    if (!picture || options.rawColours || (picture->format->BitsPerPixel != 32 && !paletted))
        return;
    cmsHPROFILE source = profileOf(colours);
    if (!source) return;
    // A profile of another colour space than the pixels' is ignored: grey profiles go with grey
    // pictures, RGB ones with any other. Taken as a number: a file's header may name a space
    // lcms2's enumeration has no name for.
    const cmsUInt32Number space = cmsGetColorSpace(source);
    const bool grey = colours.grey && space == cmsSigGrayData;
    cmsHTRANSFORM transform = nullptr;
    if (grey || space == cmsSigRgbData) {
        // Pixels with alpha (the picture's own, or opaque) keep it as it is.
        transform = cmsCreateTransform(source, grey ? TYPE_GRAY_8 : TYPE_RGB_8, srgb(), TYPE_RGB_8,
                                       INTENT_PERCEPTUAL, 0);
    }
    cmsCloseProfile(source);
    if (!transform) return;
    if (paletted && !changesNothing(transform, grey)) {
        // A paletted picture's colours are its palette's.
        std::vector<unsigned char> in(size_t(palette->ncolors) * 3), out(in.size());
        for (int i = 0; i < palette->ncolors; i++) {
            const SDL_Color &colour = palette->colors[i];
            if (grey) {
                in[size_t(i)] = colour.r;
                continue;
            }
            in[size_t(i) * 3] = colour.r, in[size_t(i) * 3 + 1] = colour.g;
            in[size_t(i) * 3 + 2] = colour.b;
        }
        cmsDoTransform(transform, in.data(), out.data(), cmsUInt32Number(palette->ncolors));
        for (int i = 0; i < palette->ncolors; i++) {
            SDL_Color &colour = palette->colors[i];
            colour.r = out[size_t(i) * 3], colour.g = out[size_t(i) * 3 + 1];
            colour.b = out[size_t(i) * 3 + 2];
        }
    } else if (!paletted && !changesNothing(transform, grey)) {
        std::vector<unsigned char> in(size_t(picture->w) * 3), out(size_t(picture->w) * 3);
        for (int y = 0; y < picture->h; y++) {
            auto *row = static_cast<unsigned char *>(picture->pixels) + size_t(y) * picture->pitch;
            for (int x = 0; x < picture->w; x++) {
                if (grey) {
                    in[size_t(x)] = row[x * 4];
                    continue;
                }
                for (int c = 0; c < 3; c++) in[size_t(x) * 3 + size_t(c)] = row[x * 4 + c];
            }
            cmsDoTransform(transform, in.data(), out.data(), cmsUInt32Number(picture->w));
            for (int x = 0; x < picture->w; x++) {
                for (int c = 0; c < 3; c++) row[x * 4 + c] = out[size_t(x) * 3 + size_t(c)];
            }
        }
    }
    cmsDeleteTransform(transform);
}

void *startCmykThroughProfile(const ColourDescription &colours, const DecodeOptions &options,
                              bool inverted) {
    if (options.rawColours || !colours.icc || !colours.iccSize) return nullptr;
    cmsHPROFILE source = cmsOpenProfileFromMem(colours.icc, cmsUInt32Number(colours.iccSize));
    if (!source) return nullptr;
    cmsHTRANSFORM transform = nullptr;
    // Adobe's CMYK JPEGs store their inks inverted.
    if (cmsGetColorSpace(source) == cmsSigCmykData)
        transform = cmsCreateTransform(source, inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8, srgb(),
                                       TYPE_RGBA_8, INTENT_PERCEPTUAL, 0);
    cmsCloseProfile(source);
    return transform;
}

void convertCmykThroughProfile(void *conversion, unsigned char *pixels, int width) {
    std::vector<unsigned char> cmyk(pixels, pixels + size_t(width) * 4);
    cmsDoTransform(static_cast<cmsHTRANSFORM>(conversion), cmyk.data(), pixels,
                   cmsUInt32Number(width));
    for (int x = 0; x < width; x++) pixels[x * 4 + 3] = 255;
}

void stopCmykThroughProfile(void *conversion) {
    if (conversion) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(conversion));
}

void prepareColour() {
    // lcms2 needs no call a worker may not make; its sRGB is made once here all the same.
    srgb();
}

}  // namespace

extern "C" const ColourModule lumoscapeColourModule = {
    convertThroughProfile, startCmykThroughProfile, convertCmykThroughProfile,
    stopCmykThroughProfile, prepareColour};
