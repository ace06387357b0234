// Reduction while reading: each pixel of the smaller picture the average of a whole block of
// rows and columns of the larger one, taken a row at a time so the larger is never built.
#include <cstdlib>
#include <cstring>

#include "readers.h"

void reducedSize(int width, int height, int fittedWidth, int fittedHeight, int *blockWidth,
                 int *blockHeight, int *reducedWidth, int *reducedHeight) {
    // The largest whole blocks whose count still covers the fitted size on each axis.
    *blockWidth = fittedWidth > 0 && width / fittedWidth > 1 ? width / fittedWidth : 1;
    *blockHeight = fittedHeight > 0 && height / fittedHeight > 1 ? height / fittedHeight : 1;
    *reducedWidth = (width + *blockWidth - 1) / *blockWidth;
    *reducedHeight = (height + *blockHeight - 1) / *blockHeight;
}

bool startReducing(BlockReducer *reducer, int width, int height, int fittedWidth, int fittedHeight,
                   bool opaque, int channels) {
    *reducer = BlockReducer{};
    reducer->width = width;
    reducer->opaque = opaque || channels == 3;
    reducer->channels = channels;
    int reducedWidth = 0;
    int reducedHeight = 0;
    reducedSize(width, height, fittedWidth, fittedHeight, &reducer->blockWidth,
                &reducer->blockHeight, &reducedWidth, &reducedHeight);
    reducer->sums = static_cast<uint64_t *>(calloc(size_t(reducedWidth) * 4, sizeof(uint64_t)));
    reducer->output = makeRgbaSurface(reducedWidth, reducedHeight, !reducer->opaque);
    if (!reducer->sums || !reducer->output) {
        stopReducing(reducer);
        SDL_FreeSurface(reducer->output);
        reducer->output = nullptr;
        SDL_OutOfMemory();
        return false;
    }
    return true;
}

void reduceRow(BlockReducer *reducer, const unsigned char *pixels) {
    uint64_t *sums = reducer->sums;
    const unsigned char *pixel = pixels;
    const size_t step = size_t(reducer->channels);
    const unsigned char *end = pixels + size_t(reducer->width) * step;
    while (pixel < end) {
        const unsigned char *blockEnd = pixel + size_t(reducer->blockWidth) * step;
        if (blockEnd > end) blockEnd = end;
        if (reducer->opaque) {
            for (; pixel < blockEnd; pixel += step) {
                sums[1] += pixel[0];
                sums[2] += pixel[1];
                sums[3] += pixel[2];
            }
        } else {
            // Weighted by opacity, so that the colour of a transparent pixel counts for nothing.
            for (; pixel < blockEnd; pixel += 4) {
                sums[0] += pixel[3];
                sums[1] += uint64_t(pixel[0]) * pixel[3];
                sums[2] += uint64_t(pixel[1]) * pixel[3];
                sums[3] += uint64_t(pixel[2]) * pixel[3];
            }
        }
        sums += 4;
    }
    reduceEmptyRow(reducer);
}

// Such a row adds nothing to the sums: it only counts, in the opaque picture's block as black.
void reduceEmptyRow(BlockReducer *reducer) {
    if (++reducer->rowsInBlock == reducer->blockHeight) flushReduced(reducer);
}

void flushReduced(BlockReducer *reducer) {
    SDL_Surface *output = reducer->output;
    if (reducer->rowsInBlock == 0 || reducer->outputRow >= output->h) return;
    unsigned char *row =
        static_cast<unsigned char *>(output->pixels) + size_t(reducer->outputRow) * output->pitch;
    uint64_t *sums = reducer->sums;
    for (int x = 0; x < output->w; x++, sums += 4, row += 4) {
        const int columns = x < output->w - 1 || reducer->width % reducer->blockWidth == 0
                                ? reducer->blockWidth
                                : reducer->width % reducer->blockWidth;
        const uint64_t count = uint64_t(columns) * uint64_t(reducer->rowsInBlock);
        const uint64_t weight = reducer->opaque ? count : sums[0];
        for (int c = 0; c < 3; c++)
            row[c] = weight ? static_cast<unsigned char>((sums[c + 1] + weight / 2) / weight) : 0;
        row[3] = reducer->opaque ? 255 : static_cast<unsigned char>((sums[0] + count / 2) / count);
    }
    memset(reducer->sums, 0, size_t(output->w) * 4 * sizeof(uint64_t));
    reducer->rowsInBlock = 0;
    reducer->outputRow++;
}

void stopReducing(BlockReducer *reducer) {
    free(reducer->sums);
    reducer->sums = nullptr;
}

SDL_Surface *makeRgbaSurface(int width, int height, bool alpha) {
#if SDL_BYTEORDER == SDL_LIL_ENDIAN
    SDL_Surface *surface = SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 32, 0x000000ff,
                                                0x0000ff00, 0x00ff0000, 0xff000000);
#else
    SDL_Surface *surface = SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 32, 0xff000000,
                                                0x00ff0000, 0x0000ff00, 0x000000ff);
#endif
    // An opaque picture is not blended pixel by pixel on every present.
    if (surface && !alpha) SDL_SetAlpha(surface, 0, SDL_ALPHA_OPAQUE);
    return surface;
}
