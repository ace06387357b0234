// Fitting by area: each pixel of the fitted picture is the mean of the area of the full picture
// it covers, edge pixels weighted by the share they lie in it, taken a row at a time so that
// the full picture is never built; and the plan every reader follows to get there.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "readers.h"
#include "average.h"
#include "fit.h"
#include "surfaces.h"

// Defined by the test build only: told the size of each picture averaged and of its result, so
// that a test can tell the size a reader decoded at.
extern "C" void lumoscapeAveragingHook(int width, int height, int outputWidth, int outputHeight)
    __attribute__((weak));

namespace {

// Weights are whole numbers: along an axis of `size` source pixels made into `output` ones,
// source pixel i spans [i * output, (i + 1) * output) and output pixel j spans
// [j * size, (j + 1) * size). A source pixel lies in one output pixel, or two.
struct Span {
    int first;        // the output pixel it starts in
    uint32_t weight;  // its share there; the rest of `output` goes to the next
};

Span spanOf(int index, int size, int output) {
    const uint64_t start = uint64_t(index) * uint64_t(output);
    const int first = int(start / uint64_t(size));
    const uint64_t boundary = uint64_t(first + 1) * uint64_t(size);
    const uint64_t end = start + uint64_t(output);
    return {first, uint32_t(end <= boundary ? uint64_t(output) : boundary - start)};
}

uint64_t *heldRow(AreaAverager *averager, int row) {
    return averager->sums + size_t(row - averager->firstHeld) * size_t(averager->outputWidth) * 4;
}

// Writes output row `row` from its sums. Each output pixel has width x height units of weight in
// all; what no source pixel gave counts as transparent black.
void emitRow(AreaAverager *averager, int row) {
    const uint64_t total = uint64_t(averager->width) * uint64_t(averager->height);
    const uint64_t *sums = heldRow(averager, row);
    SDL_Surface *output = averager->output;
    unsigned char *pixel =
        static_cast<unsigned char *>(output->pixels) + size_t(row) * size_t(output->pitch);
    for (int x = 0; x < averager->outputWidth; x++, sums += 4, pixel += 4) {
        if (averager->opaque) {
            for (int c = 0; c < 3; c++)
                pixel[c] = static_cast<unsigned char>((sums[c + 1] + total / 2) / total);
            pixel[3] = 255;
            continue;
        }
        const uint64_t alpha = sums[0];
        for (int c = 0; c < 3; c++)
            pixel[c] = alpha ? static_cast<unsigned char>((sums[c + 1] + alpha / 2) / alpha) : 0;
        pixel[3] = static_cast<unsigned char>((alpha + total / 2) / total);
    }
}

// Adds output row `firstHeld` across from the sums down of the columns read: the columns within
// one output column as they are, weighted once; the one that straddles two on its own.
void addRowAcross(AreaAverager *averager) {
    const uint64_t down = uint64_t(averager->outputHeight);
    const uint32_t whole = uint32_t(averager->outputWidth);
    const size_t stride = size_t(averager->downStride);
    // Colours, and alpha where it is read, as the output sums have them: alpha first.
    const int channels = averager->opaque ? 3 : 4;
    const int place[4] = {1, 2, 3, 0};
    uint64_t *sums = averager->sums;
    memset(sums, 0, size_t(averager->outputWidth) * 4 * sizeof(uint64_t));
    const auto columnSum = [&](int x, int c) {
        const size_t at = size_t(x) * stride + size_t(c);
        return averager->downSums[at] * down + averager->edgeSums[at];
    };
    for (int column = 0; column < averager->outputWidth; column++) {
        const int next = averager->columnStarts[column + 1];
        const int wholeEnd = averager->columnWeights[next - 1] < whole ? next - 1 : next;
        uint64_t *into = sums + size_t(column) * 4;
        for (int c = 0; c < channels; c++) {
            uint64_t total = 0;
            for (int x = averager->columnStarts[column]; x < wholeEnd; x++)
                total += columnSum(x, c);
            into[place[c]] += total * whole;
            if (wholeEnd < next) {
                const uint64_t weight = averager->columnWeights[wholeEnd];
                const uint64_t value = columnSum(wholeEnd, c);
                into[place[c]] += value * weight;
                into[place[c] + 4] += value * (whole - weight);
            }
        }
    }
}

// Emits the output rows before `row`, which no later source row adds to when rows come in
// order, and starts the sums down of the next.
void advanceTo(AreaAverager *averager, int row) {
    const size_t columnSums = size_t(averager->width) * 4;
    row = std::min(row, averager->outputHeight);
    while (averager->firstHeld < row) {
        addRowAcross(averager);
        emitRow(averager, averager->firstHeld);
        memset(averager->downSums, 0, columnSums * sizeof(uint32_t));
        std::swap(averager->edgeSums, averager->nextEdgeSums);
        memset(averager->nextEdgeSums, 0, columnSums * sizeof(uint64_t));
        averager->firstHeld++;
    }
}

// Adds a row in order down into the sums of its columns, as the rows come (an opaque picture's
// colours, or premultiplied colours and alpha): a row within one output row as it is, the one
// that straddles two weighted into each.
void addDown(AreaAverager *averager, const Span &rows, const unsigned char *pixels, int channels,
             int first, int end, int step) {
    if (!averager->downStride) averager->downStride = averager->opaque ? channels : 4;
    const size_t stride = size_t(averager->downStride);
    const uint64_t whole = uint64_t(averager->outputHeight);
    const bool within = rows.weight == whole;
    uint32_t *down = averager->downSums + size_t(first) * stride;
    if (within && step == 1 && averager->opaque && size_t(channels) == stride) {
        // The common case, at memory speed: bytes added to their columns' sums as they are.
        const size_t count = size_t(end - first) * stride;
        for (size_t i = 0; i < count; i++) down[i] += pixels[i];
        return;
    }
    if (within && step == 1 && channels == 4 && stride == 4) {
        for (int x = first; x < end; x++, pixels += 4, down += 4) {
            const uint32_t alpha = pixels[3];
            down[0] += pixels[0] * alpha;
            down[1] += pixels[1] * alpha;
            down[2] += pixels[2] * alpha;
            down[3] += alpha;
        }
        return;
    }
    const size_t colours = averager->opaque ? 3 : 4;
    for (int x = first; x < end; x += step, pixels += size_t(channels) * size_t(step)) {
        const uint32_t alpha = averager->opaque ? 1 : channels == 3 ? 255 : pixels[3];
        const uint32_t values[4] = {pixels[0] * alpha, pixels[1] * alpha, pixels[2] * alpha, alpha};
        const size_t at = size_t(x) * stride;
        for (size_t c = 0; c < colours; c++) {
            if (within) {
                averager->downSums[at + c] += values[c];
            } else {
                averager->edgeSums[at + c] += uint64_t(values[c]) * rows.weight;
                averager->nextEdgeSums[at + c] += uint64_t(values[c]) * (whole - rows.weight);
            }
        }
    }
}

}  // namespace

FitPlan planFit(const DecodeOptions &options, int width, int height) {
    FitPlan plan{};
    plan.fittedWidth = plan.averagedWidth = width;
    plan.fittedHeight = plan.averagedHeight = height;
    plan.fits = !fittedSize(options, width, height, &plan.fittedWidth, &plan.fittedHeight);
    if (plan.fits || !options.antialias) return plan;
    // An axis that shrinks is averaged straight to its fitted size; one that grows keeps every
    // pixel until it is interpolated.
    plan.averaged = true;
    plan.averagedWidth = std::min(width, plan.fittedWidth);
    plan.averagedHeight = std::min(height, plan.fittedHeight);
    return plan;
}

bool startAveraging(AreaAverager *averager, int width, int height, int outputWidth,
                    int outputHeight, bool opaque, bool anyOrder) {
    *averager = AreaAverager{};
    // A decoder may also give no pixels at all, whatever its file claimed.
    if (width <= 0 || height <= 0 || outputWidth <= 0 || outputHeight <= 0) {
        SDL_SetError("a decoded picture of %dx%d cannot be shown", width, height);
        return false;
    }
    // Averaging only shrinks: an axis asked to grow (a decoder that gave fewer pixels than its
    // file claimed) keeps every pixel it has, and the picture is interpolated later.
    outputWidth = std::min(outputWidth, width);
    outputHeight = std::min(outputHeight, height);
    if (lumoscapeAveragingHook) lumoscapeAveragingHook(width, height, outputWidth, outputHeight);
    averager->width = width;
    averager->height = height;
    averager->outputWidth = outputWidth;
    averager->outputHeight = outputHeight;
    averager->opaque = opaque;
    averager->anyOrder = anyOrder;
    // Rows in order are added down per column read, then across one output row at a time;
    // rows in any order (the passes of an interlaced picture), across first into every output
    // row.
    averager->rowsHeld = anyOrder ? outputHeight : 1;
    const size_t rowSize = size_t(outputWidth) * 4;
    averager->columns = static_cast<int32_t *>(malloc(size_t(width) * sizeof(int32_t)));
    averager->columnWeights = static_cast<uint32_t *>(malloc(size_t(width) * sizeof(uint32_t)));
    averager->columnStarts =
        static_cast<int32_t *>(malloc((size_t(outputWidth) + 1) * sizeof(int32_t)));
    const size_t columnSums = anyOrder ? 0 : size_t(width) * 4;
    averager->rowSums = static_cast<uint32_t *>(calloc(anyOrder ? rowSize : 1, sizeof(uint32_t)));
    averager->downSums = static_cast<uint32_t *>(calloc(columnSums + 1, sizeof(uint32_t)));
    averager->edgeSums = static_cast<uint64_t *>(calloc(columnSums + 1, sizeof(uint64_t)));
    averager->nextEdgeSums = static_cast<uint64_t *>(calloc(columnSums + 1, sizeof(uint64_t)));
    averager->sums =
        static_cast<uint64_t *>(calloc(rowSize * size_t(averager->rowsHeld), sizeof(uint64_t)));
    averager->output = makeRgbaSurface(outputWidth, outputHeight, !opaque);
    if (!averager->columns || !averager->columnWeights || !averager->columnStarts ||
        !averager->rowSums || !averager->downSums || !averager->edgeSums ||
        !averager->nextEdgeSums || !averager->sums || !averager->output) {
        stopAveraging(averager);
        SDL_OutOfMemory();
        return false;
    }
    for (int x = width - 1; x >= 0; x--) {
        const Span span = spanOf(x, width, outputWidth);
        averager->columns[x] = span.first;
        averager->columnWeights[x] = span.weight;
        averager->columnStarts[span.first] = x;
    }
    averager->columnStarts[outputWidth] = width;
    return true;
}

namespace {

// The sums across of the pixels at columns first to end, a run of whole pixels an output
// column at a time: a pixel within one output column is added as it is, and the sum weighted
// once; only the pixel that straddles two columns is weighted on its own. Colours are
// weighted by opacity `byAlpha`, so that a transparent pixel's colour counts for nothing. No
// sum can overflow: an output column's weights add up to the picture's width, at most 65,535,
// and a pixel weighs 255 x 255 at most.
template <bool byAlpha>
void addAcross(const AreaAverager *averager, const unsigned char *pixels, int channels, int first,
               int end, uint32_t *across) {
    const uint32_t whole = uint32_t(averager->outputWidth);
    const int32_t *starts = averager->columnStarts;
    const size_t stride = size_t(channels);
    int x = first;
    for (int column = averager->columns[first]; x < end; column++) {
        const int next = starts[column + 1];
        const int runEnd = std::min(end, next);
        // The last pixel of the column may straddle into the next.
        const bool straddles = runEnd == next && averager->columnWeights[next - 1] < whole;
        const int wholeEnd = straddles ? runEnd - 1 : runEnd;
        uint32_t red = 0, green = 0, blue = 0, alpha = 0;
        for (const unsigned char *pixel = pixels + size_t(x - first) * stride; x < wholeEnd;
             x++, pixel += stride) {
            const uint32_t opacity = byAlpha ? pixel[3] : 1;
            red += pixel[0] * opacity;
            green += pixel[1] * opacity;
            blue += pixel[2] * opacity;
            alpha += opacity;
        }
        uint32_t *sums = across + size_t(column) * 4;
        sums[0] += alpha * whole;
        sums[1] += red * whole;
        sums[2] += green * whole;
        sums[3] += blue * whole;
        if (straddles) {
            const unsigned char *pixel = pixels + size_t(x - first) * stride;
            const uint32_t weight = averager->columnWeights[x];
            const uint32_t opacity = byAlpha ? pixel[3] : 1;
            for (int c = 0; c < 4; c++) {
                const uint32_t value = c == 0 ? opacity : pixel[c - 1] * opacity;
                sums[c] += value * weight;
                sums[c + 4] += value * (whole - weight);
            }
            x++;
        }
    }
}

// The same for the pixels at columns first, first + step, ... before `end`, as the passes of
// an interlaced picture give them, each weighted on its own.
void addSpread(const AreaAverager *averager, const unsigned char *pixels, int channels, int first,
               int end, int step, uint32_t *across) {
    const uint32_t whole = uint32_t(averager->outputWidth);
    for (int x = first; x < end; x += step) {
        const unsigned char *pixel = pixels + size_t(x - first) * size_t(channels);
        uint32_t *sums = across + size_t(averager->columns[x]) * 4;
        const uint32_t weight = averager->columnWeights[x];
        const uint32_t rest = whole - weight;
        const uint32_t alpha = averager->opaque ? 1 : channels == 3 ? 255 : pixel[3];
        for (int c = 0; c < 4; c++) {
            const uint32_t value = c == 0 ? alpha : pixel[c - 1] * alpha;
            sums[c] += value * weight;
            if (rest) sums[c + 4] += value * rest;
        }
    }
}

// Adds the pixels at columns first, first + step, ... before `end` of row `y`; `pixels` holds
// them from column `first` on.
void addPixels(AreaAverager *averager, int y, const unsigned char *pixels, int channels, int first,
               int end, int step) {
    end = std::min(end, averager->width);
    if (y < 0 || y >= averager->height || first < 0 || first >= end) return;
    const Span rows = spanOf(y, averager->height, averager->outputHeight);
    if (!averager->anyOrder) {
        if (rows.first < averager->firstHeld) return;  // a row given twice
        advanceTo(averager, rows.first);
        addDown(averager, rows, pixels, channels, first, end, step);
        return;
    }
    // The pixels across: each into the one or two output columns it lies in, only those
    // columns' sums cleared and added down.
    const size_t firstSum = size_t(averager->columns[first]) * 4;
    const size_t endSum =
        std::min(size_t(averager->columns[end - 1]) + 2, size_t(averager->outputWidth)) * 4;
    uint32_t *across = averager->rowSums;
    memset(across + firstSum, 0, (endSum - firstSum) * sizeof(uint32_t));
    if (step == 1) {
        if (averager->opaque) {
            addAcross<false>(averager, pixels, channels, first, end, across);
        } else if (channels == 4) {
            addAcross<true>(averager, pixels, channels, first, end, across);
        } else {
            // Every pixel wholly opaque: weighted by 255 as a whole.
            addAcross<false>(averager, pixels, channels, first, end, across);
            for (size_t i = firstSum; i < endSum; i++) across[i] *= 255;
        }
    } else {
        addSpread(averager, pixels, channels, first, end, step, across);
    }
    // Then down: into the one or two output rows the row lies in.
    const uint64_t weight = rows.weight;
    const uint64_t rest = uint64_t(averager->outputHeight) - weight;
    for (int part = 0; part < 2; part++) {
        const int row = rows.first + part;
        const uint64_t share = part ? rest : weight;
        if (!share || row >= averager->outputHeight) continue;
        uint64_t *sums = heldRow(averager, row);
        for (size_t i = firstSum; i < endSum; i++) sums[i] += uint64_t(across[i]) * share;
    }
}

}  // namespace

void averageRow(AreaAverager *averager, int y, const unsigned char *pixels, int channels, int first,
                int step) {
    if (first < 0) return;
    addPixels(averager, y, pixels + size_t(first) * size_t(channels), channels, first,
              averager->width, step);
}

void averageSpan(AreaAverager *averager, int x, int y, int count, const unsigned char *rgba) {
    if (count > 0 && x <= averager->width - count) addPixels(averager, y, rgba, 4, x, x + count, 1);
}

SDL_Surface *finishAveraging(AreaAverager *averager) {
    if (averager->anyOrder) {
        for (int row = 0; row < averager->outputHeight; row++) emitRow(averager, row);
    } else {
        advanceTo(averager, averager->outputHeight);
    }
    SDL_Surface *output = averager->output;
    averager->output = nullptr;
    stopAveraging(averager);
    return output;
}

void stopAveraging(AreaAverager *averager) {
    free(averager->columns);
    free(averager->columnWeights);
    free(averager->columnStarts);
    free(averager->rowSums);
    free(averager->downSums);
    free(averager->edgeSums);
    free(averager->nextEdgeSums);
    free(averager->sums);
    SDL_FreeSurface(averager->output);
    const AreaAverager stopped{};
    *averager = stopped;
}

SDL_Surface *averageSurface(SDL_Surface *image, int outputWidth, int outputHeight) {
    const SDL_PixelFormat *format = image->format;
    const bool keyed = (image->flags & SDL_SRCCOLORKEY) != 0;
    const bool alpha = format->Amask != 0 && (image->flags & SDL_SRCALPHA);
    AreaAverager averager;
    if (!startAveraging(&averager, image->w, image->h, outputWidth, outputHeight, !keyed && !alpha,
                        false))
        return nullptr;
    std::vector<unsigned char> row(size_t(image->w) * 4);
    SDL_LockSurface(image);
    const int bytes = format->BytesPerPixel;
    // Channels of 8 bits are taken straight from the pixel, as SDL_GetRGBA would take them;
    // narrower ones, and palettes, through it.
    const bool wholeBytes = bytes >= 3 && !format->Rloss && !format->Gloss && !format->Bloss;
    for (int y = 0; y < image->h; y++) {
        const Uint8 *from = static_cast<const Uint8 *>(image->pixels) + size_t(y) * image->pitch;
        unsigned char *to = row.data();
        for (int x = 0; x < image->w; x++, from += bytes, to += 4) {
            Uint32 value = 0;
            memcpy(&value, from, size_t(bytes));
#if SDL_BYTEORDER == SDL_BIG_ENDIAN
            value >>= 8 * (4 - bytes);
#endif
            if (wholeBytes) {
                to[0] = Uint8((value & format->Rmask) >> format->Rshift);
                to[1] = Uint8((value & format->Gmask) >> format->Gshift);
                to[2] = Uint8((value & format->Bmask) >> format->Bshift);
                to[3] = alpha ? Uint8((value & format->Amask) >> format->Ashift) : 255;
            } else {
                SDL_GetRGBA(value, image->format, &to[0], &to[1], &to[2], &to[3]);
                if (!alpha) to[3] = 255;
            }
            if (keyed && value == format->colorkey) to[3] = 0;
        }
        averageRow(&averager, y, row.data(), 4);
    }
    SDL_UnlockSurface(image);
    return finishAveraging(&averager);
}

SDL_Surface *growToFit(SDL_Surface *averaged, int width, int height) {
    SDL_Surface *grown = makeRgbaSurface(width, height, averaged->flags & SDL_SRCALPHA);
    if (!grown) {
        SDL_OutOfMemory();
        return nullptr;
    }
    // Where on the averaged axis the centre of each grown pixel lies, and between which two
    // pixels it falls; an axis that keeps its size maps each pixel to itself.
    const auto locate = [](int at, int from, int to, int *low, int *high, double *fraction) {
        const double position =
            std::clamp((at + 0.5) * double(from) / double(to) - 0.5, 0.0, double(from - 1));
        *low = int(position);
        *high = std::min(*low + 1, from - 1);
        *fraction = position - *low;
    };
    const auto pixelAt = [averaged](int x, int y) {
        return static_cast<const unsigned char *>(averaged->pixels) + size_t(y) * averaged->pitch +
               size_t(x) * 4;
    };
    for (int y = 0; y < height; y++) {
        int top = 0, bottom = 0;
        double down = 0;
        locate(y, averaged->h, height, &top, &bottom, &down);
        unsigned char *to = static_cast<unsigned char *>(grown->pixels) + size_t(y) * grown->pitch;
        for (int x = 0; x < width; x++, to += 4) {
            int left = 0, right = 0;
            double across = 0;
            locate(x, averaged->w, width, &left, &right, &across);
            // Colours weighted by their opacity, as the averager weights them, so that a
            // transparent neighbour's colour counts for nothing.
            const unsigned char *corners[4] = {pixelAt(left, top), pixelAt(right, top),
                                               pixelAt(left, bottom), pixelAt(right, bottom)};
            const double weights[4] = {(1 - across) * (1 - down), across * (1 - down),
                                       (1 - across) * down, across * down};
            double alpha = 0, colours[3] = {0, 0, 0};
            for (int i = 0; i < 4; i++) {
                const double opacity = weights[i] * corners[i][3];
                alpha += opacity;
                for (int c = 0; c < 3; c++) colours[c] += opacity * corners[i][c];
            }
            for (int c = 0; c < 3; c++)
                to[c] = static_cast<unsigned char>(alpha > 0 ? std::lround(colours[c] / alpha) : 0);
            to[3] = static_cast<unsigned char>(std::lround(alpha));
        }
    }
    return grown;
}

bool startRows(PictureRows *rows, int width, int height, bool averaged, int outputWidth,
               int outputHeight, bool alpha, bool anyOrder) {
    *rows = PictureRows{};
    rows->averaged = averaged;
    if (averaged)
        return startAveraging(&rows->averager, width, height, outputWidth, outputHeight, !alpha,
                              anyOrder);
    if (!surfaceHolds(width, height)) return false;
    rows->picture = makeRgbaSurface(width, height, alpha);
    if (!rows->picture) SDL_OutOfMemory();
    return rows->picture != nullptr;
}

void putPixels(PictureRows *rows, int x, int y, int count, const unsigned char *rgba) {
    if (rows->averaged) {
        averageSpan(&rows->averager, x, y, count, rgba);
        return;
    }
    SDL_Surface *picture = rows->picture;
    if (x < 0 || y < 0 || y >= picture->h || count <= 0 || x > picture->w - count) return;
    memcpy(
        static_cast<unsigned char *>(picture->pixels) + size_t(y) * picture->pitch + size_t(x) * 4,
        rgba, size_t(count) * 4);
}

SDL_Surface *finishRows(PictureRows *rows) {
    SDL_Surface *picture = rows->averaged ? finishAveraging(&rows->averager) : rows->picture;
    *rows = PictureRows{};
    return picture;
}

void stopRows(PictureRows *rows) {
    if (rows->averaged) stopAveraging(&rows->averager);
    SDL_FreeSurface(rows->picture);
    *rows = PictureRows{};
}
