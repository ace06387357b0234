// Image readers: everything that reads an image file's bytes, decodes it and fits it to the
// screen. They take an open file and the screen's size, and assume nothing of the process
// they run in.
#pragma once

#include <SDL.h>

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

/// What decoding and fitting need to know besides the file.
struct DecodeOptions {
    int32_t screenWidth;     ///< the size images are fitted to
    int32_t screenHeight;    ///< the size images are fitted to
    int32_t antialias;       ///< smoothing argument of the scalers; 0 also keeps decodes full-size
    int32_t autorotate;      ///< not 0: a JPEG is turned upright by its EXIF orientation
    int32_t rawColours = 0;  ///< not 0: colours are shown as stored, not converted to sRGB
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

/// Whether SDL 1.2 makes a 32-bit surface of width x height (its rows hold at most 65,535
/// bytes); false, with a reason that says so as SDL's error, when it does not.
bool surfaceHolds(int width, int height);
/// Makes a 32-bit surface in the layout the scaler works in (red first in memory), with alpha
/// blending on for a picture with `alpha`.
SDL_Surface *makeRgbaSurface(int width, int height, bool alpha);
/// `picture`, a surface makeRgbaSurface made, turned as EXIF orientation `orientation` (2 to 8)
/// asks; takes `picture`, and returns null when out of memory.
SDL_Surface *turnUpright(SDL_Surface *picture, int orientation);

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

/// Averages a picture given a row at a time into a smaller RGBA one: each output pixel is the
/// mean of the area of the picture it covers, the pixels it shares at its edges weighted by
/// their covered fraction, colours weighted by opacity.
struct AreaAverager {
    int width, height;              ///< of the picture read
    int outputWidth, outputHeight;  ///< of the averaged picture, each at most the picture's
    bool opaque;                    ///< alpha is not read; rows never given count as black
    bool anyOrder;                  ///< rows may come in any order, as interlaced passes do
    int rowsHeld;                   ///< output rows whose sums across are kept
    int firstHeld;                  ///< the output row of the first of them
    int32_t *columns;               ///< per column read: the output column it starts in
    uint32_t *columnWeights;        ///< per column read: its weight there, the rest the next's
    int32_t *columnStarts;          ///< per output column and one more: its first column read
    uint32_t *rowSums;              ///< in any order: one row's sums across, per output column
    int downStride;                 ///< in order: sums per column read, as the rows came
    uint32_t *downSums;             ///< in order: per column read, the rows within the output row
    uint64_t *edgeSums;             ///< in order: per column read, the rows straddling into it
    uint64_t *nextEdgeSums;         ///< in order: the same for the output row after it
    uint64_t *sums;                 ///< per output pixel held: alpha, then red, green, blue
    SDL_Surface *output;            ///< the averaged picture, made at the start
};
/// Starts averaging a width x height picture to outputWidth x outputHeight; false, with SDL's
/// error, when out of memory.
bool startAveraging(AreaAverager *averager, int width, int height, int outputWidth,
                    int outputHeight, bool opaque, bool anyOrder);
/// Adds the pixels of row `y` at columns `first`, `first + step`, ... of `pixels`, a whole row
/// of red, green, blue and, with 4 `channels`, alpha. Unless averaging in any order, rows come
/// in order; a row may be left out (as in a file cut short) and counts as transparent.
void averageRow(AreaAverager *averager, int y, const unsigned char *pixels, int channels,
                int first = 0, int step = 1);
/// Adds `count` RGBA pixels of row `y` from column `x` on; for pictures given in parts.
void averageSpan(AreaAverager *averager, int x, int y, int count, const unsigned char *rgba);
/// The averaged picture, the caller's to free; stops averaging.
SDL_Surface *finishAveraging(AreaAverager *averager);
/// Frees what averaging took, the output too.
void stopAveraging(AreaAverager *averager);
/// A decoded picture of any depth averaged to outputWidth x outputHeight, its colour key
/// transparent; null when out of memory.
SDL_Surface *averageSurface(SDL_Surface *image, int outputWidth, int outputHeight);
/// An averaged picture brought to width x height on the axes that grow, interpolated linearly;
/// `averaged` stays the caller's.
SDL_Surface *growToFit(SDL_Surface *averaged, int width, int height);

/// Where a reader puts the pixels it decodes: into a full-size picture, or through an averager.
struct PictureRows {
    bool averaged;          ///< the pixels go into `averager`
    AreaAverager averager;  ///< while averaged
    SDL_Surface *picture;   ///< the full-size picture, while not averaged
};
/// Starts taking a width x height picture: averaged to outputWidth x outputHeight, or kept at
/// full size; false, with SDL's error, when it cannot be held. Pixels averaged in any order
/// (`anyOrder`) may come in parts, as decoders that work in tiles give them.
bool startRows(PictureRows *rows, int width, int height, bool averaged, int outputWidth,
               int outputHeight, bool alpha, bool anyOrder);
/// Adds `count` RGBA pixels of row `y` from column `x` on.
void putPixels(PictureRows *rows, int x, int y, int count, const unsigned char *rgba);
/// The picture, the caller's to free.
SDL_Surface *finishRows(PictureRows *rows);
/// Frees what taking the picture took.
void stopRows(PictureRows *rows);

/// The EXIF orientation (1 to 8) that shows a picture as it is shown after turning it
/// `anticlockwise` quarter turns and then mirroring it: 0 not at all, 1 top and bottom
/// exchanged, 2 left and right.
int orientationOfTurn(int anticlockwise, int mirror);
/// Threads a reader's library may decode on: the processors this process may run on. Counted
/// on the first call, which must come before the worker is locked down.
int readerThreads();
/// False, with SDL's error naming `format`, when a width x height picture is more than a
/// reader decodes, or needs more than the memory the process may take at `bytesPerPixel`.
bool pictureIsTakeable(const char *format, uint64_t width, uint64_t height, int bytesPerPixel);

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

/// A file a reader reads from a position of its own.
struct FileInput {
    int file;
    off_t at;  ///< where the next read starts
};
/// Reads up to `size` bytes at the input's position and moves past them; how many, 0 at the end
/// of the file or when it cannot be read.
size_t readSome(FileInput *input, void *into, size_t size);
/// Reads `size` bytes of `file` at `at`; false when the file ends first or cannot be read.
bool readExactly(int file, void *into, size_t size, off_t at);

/// Whether the first bytes of a file are those of a PNG, a JPEG, a WebP or a GIF.
bool startsLikePng(const unsigned char *start, size_t size);
bool startsLikeJpeg(const unsigned char *start, size_t size);
bool startsLikeWebp(const unsigned char *start, size_t size);
bool startsLikeGif(const unsigned char *start, size_t size);
bool startsLikeAvif(const unsigned char *start, size_t size);
bool startsLikeHeif(const unsigned char *start, size_t size);
bool startsLikeJxl(const unsigned char *start, size_t size);
/// Whether the file's first bytes are an ISO media file type box that names `brand`.
bool namesBrand(const unsigned char *start, size_t size, const char *brand);
/// The readers of those formats: each gives the picture decoded as planFit says (at full size,
/// or averaged), and fills `info`; null with SDL's error on failure.
SDL_Surface *readPng(int file, const DecodeOptions &options, ImageInfo *info);
SDL_Surface *readJpeg(int file, const DecodeOptions &options, ImageInfo *info);
SDL_Surface *readWebp(int file, const DecodeOptions &options, ImageInfo *info);
SDL_Surface *readGif(int file, const DecodeOptions &options, ImageInfo *info);
SDL_Surface *readAvif(int file, const DecodeOptions &options, ImageInfo *info);
SDL_Surface *readHeif(int file, const DecodeOptions &options, ImageInfo *info);
SDL_Surface *readJxl(int file, const DecodeOptions &options, ImageInfo *info);

/// False, with the reason as SDL's error, when `file` is a PNG with a chunk that claims more
/// bytes than the format allows or than the file holds, or that ends within a chunk header.
bool pngChunksFit(int file);
/// False, with the reason as SDL's error, when `file` is an XPM whose pixels use a colour it
/// does not define, or whose rows are shorter than it says; true for any other file.
bool xpmLooksDecodable(int file);
