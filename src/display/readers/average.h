// Fitting by area: the averager, which makes each pixel on the screen the mean of the area of
// the picture it covers, and the rows a reader puts its pixels into.
#pragma once

#include <SDL.h>

#include <cstdint>

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
