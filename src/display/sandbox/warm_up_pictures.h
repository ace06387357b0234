// The warm-up's own small pictures, each with its size in bytes.
#pragma once

#include <cstddef>

/// Small pictures of the formats whose libraries set themselves up on first use: the files in
/// warm-up/ (made by the project's own test writers), turned into data at build time. libwebp
/// sets up each of its decoders, its alpha planes and its upsampling apart, and reads
/// /proc/cpuinfo on ARM for each: a lossy, a lossless, an alpha and an animated WebP.
/// libtiff's Deflate codec (libdeflate) reads /proc/self/auxv on ARM. HEIF, AVIF and JPEG XL,
/// one picture with alpha and one without (AVIF's an animation, JPEG XL's too), are decoded
/// where threads' stacks must be made executable (see warm_up.cpp).
#define WARM_UP_PICTURE(name)          \
    extern const unsigned char name[]; \
    extern const size_t name##Size;
WARM_UP_PICTURE(kJpeg)
WARM_UP_PICTURE(kPng)
WARM_UP_PICTURE(kWebp)
WARM_UP_PICTURE(kGif)
WARM_UP_PICTURE(kLosslessWebp)
WARM_UP_PICTURE(kAlphaWebp)
WARM_UP_PICTURE(kAnimatedWebp)
WARM_UP_PICTURE(kDeflateTiff)
WARM_UP_PICTURE(kHeif)
WARM_UP_PICTURE(kAlphaHeif)
WARM_UP_PICTURE(kAvif)
WARM_UP_PICTURE(kAnimatedAvif)
WARM_UP_PICTURE(kJxl)
WARM_UP_PICTURE(kAnimatedJxl)
#undef WARM_UP_PICTURE
