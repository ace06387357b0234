// Image readers: everything that reads an image file's bytes, decodes it and fits it to the
// screen. They take an open file and the screen's size, and assume nothing of the process
// they run in.
#pragma once

#include <SDL.h>

#include <cstdint>

/// What decoding and fitting need to know besides the file.
struct DecodeOptions {
    int32_t screenWidth;   ///< the size images are fitted to
    int32_t screenHeight;  ///< the size images are fitted to
    int32_t antialias;     ///< smoothing argument of the scalers; 0 also keeps decodes full-size
};

/// What the INFO line says of a decoded image: its full size and the depth its kind decodes to.
struct ImageInfo {
    bool known;        ///< false until the image has been decoded
    int width;         ///< full width in pixels
    int height;        ///< full height in pixels
    int bitsPerPixel;  ///< bits per pixel of the decoded image
};

/// Decodes the image file open as `file` and fits it to the screen of `options`; `extension`
/// (the path's, without the dot, or null) names the format for the one format told by name
/// only (TGA). Null on failure, with the reason as SDL's error; `info` is filled as soon as the
/// image is decoded, so a fitting failure still has it.
SDL_Surface *decodeImage(int file, const char *extension, const DecodeOptions &options,
                         ImageInfo *info);

/// The scale factors that fit a width x height image to the screen, each axis on its own;
/// false when it fits as it is.
bool fitFactors(const DecodeOptions &options, int width, int height, double *horizontal,
                double *vertical);
/// The size a width x height image is fitted to on the screen; false when it fits as it is.
bool fittedSize(const DecodeOptions &options, int width, int height, int *fittedWidth,
                int *fittedHeight);
/// `image`, decoded from a width x height file (at full size or reduced), scaled to the size the
/// full image is fitted to, with the decoded image's own transparency; null when the scaler
/// fails. `image` stays the caller's.
SDL_Surface *fitToScreen(SDL_Surface *image, int width, int height, const DecodeOptions &options);
/// A 32-bit copy with alpha of a paletted surface, its colour key transparent; null on failure.
SDL_Surface *trueColourCopy(SDL_Surface *paletted);

/// False, with the reason as SDL's error, when `file` is a PNG with a chunk that claims more
/// bytes than the format allows or than the file holds, an XPM whose pixels use a colour it
/// does not define, or a GIF picture with no area or 16,384 pixels wide or more; true for any
/// other file.
bool fileLooksDecodable(int file);
/// A colour or greyscale JPEG larger than the screen, decoded at the smallest eighth of its
/// size that still covers its fitted size, with its full size; null for any other file, or
/// when the reduced decode cannot be made, so that the full-size decoder decides, except when
/// `tooLarge` is set: the JPEG needs more memory than the viewer grants, said in SDL's error.
SDL_Surface *loadReducedJpeg(int file, const DecodeOptions &options, int *fullWidth,
                             int *fullHeight, bool *tooLarge);
