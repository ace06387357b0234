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
    int32_t autorotate;    ///< not 0: a JPEG is turned upright by its EXIF orientation
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

/// Makes a 32-bit surface in the layout the scaler works in (red first in memory), with alpha
/// blending on for a picture with `alpha`.
SDL_Surface *makeRgbaSurface(int width, int height, bool alpha);
/// `picture`, a surface makeRgbaSurface made, turned as EXIF orientation `orientation` (2 to 8)
/// asks; takes `picture`, and returns null when out of memory.
SDL_Surface *turnUpright(SDL_Surface *picture, int orientation);

/// The largest whole blocks of a width x height picture whose count still covers fittedWidth x
/// fittedHeight, and the size of the picture made of one pixel a block.
void reducedSize(int width, int height, int fittedWidth, int fittedHeight, int *blockWidth,
                 int *blockHeight, int *reducedWidth, int *reducedHeight);
/// Averages whole blocks of a picture read a row at a time, into a smaller RGBA one.
struct BlockReducer {
    int width;            ///< of the picture read
    int blockWidth;       ///< columns a block
    int blockHeight;      ///< rows a block
    bool opaque;          ///< alpha is all 255 and need not weigh the colours
    int channels;         ///< 4 for rows of red, green, blue and alpha; 3 without alpha
    uint64_t *sums;       ///< per output column: alpha, then red, green, blue (alpha-weighted)
    int rowsInBlock;      ///< rows summed of the block in progress
    int outputRow;        ///< the next row of `output` to fill
    SDL_Surface *output;  ///< the smaller picture; the caller's to free
};
/// Starts reducing a width x height picture of rows of `channels` (3 or 4) to the blocks
/// reducedSize gives; false when out of memory.
bool startReducing(BlockReducer *reducer, int width, int height, int fittedWidth, int fittedHeight,
                   bool opaque, int channels);
/// Adds the next row, `width` pixels of red, green, blue and, with 4 channels, alpha.
void reduceRow(BlockReducer *reducer, const unsigned char *pixels);
/// Adds a row of transparent black, as reduceRow would, without reading one.
void reduceEmptyRow(BlockReducer *reducer);
/// Ends the block in progress early, as a picture cut short does.
void flushReduced(BlockReducer *reducer);
/// Frees what startReducing took for itself.
void stopReducing(BlockReducer *reducer);

/// Whether the first bytes of a file are those of a PNG, a JPEG, a WebP or a GIF.
bool startsLikePng(const unsigned char *start, size_t size);
bool startsLikeJpeg(const unsigned char *start, size_t size);
bool startsLikeWebp(const unsigned char *start, size_t size);
bool startsLikeGif(const unsigned char *start, size_t size);
/// The readers of those formats: each gives the picture decoded, reduced where it is larger than
/// the screen (not yet fitted), and fills `info`; null with SDL's error on failure.
SDL_Surface *readPng(int file, const DecodeOptions &options, ImageInfo *info);
SDL_Surface *readJpeg(int file, const DecodeOptions &options, ImageInfo *info);
SDL_Surface *readWebp(int file, const DecodeOptions &options, ImageInfo *info);
SDL_Surface *readGif(int file, ImageInfo *info);

/// False, with the reason as SDL's error, when `file` is a PNG with a chunk that claims more
/// bytes than the format allows or than the file holds, or that ends within a chunk header.
bool pngChunksFit(int file);
/// False, with the reason as SDL's error, when `file` is an XPM whose pixels use a colour it
/// does not define, or whose rows are shorter than it says; true for any other file.
bool xpmLooksDecodable(int file);
