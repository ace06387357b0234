// GIF reading with giflib: the first picture of the file, paletted, its transparent entry a
// colour key, or averaged through its palette where it must shrink; a picture damaged or cut
// short is shown as far as it decodes.
#include <gif_lib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "readers.h"
#include "average.h"
#include "fit.h"
#include "input.h"
#include "surfaces.h"

namespace {

int readBytes(GifFileType *gif, GifByteType *into, int length) {
    return length > 0 ? int(readSome(static_cast<FileInput *>(gif->UserData), into, size_t(length)))
                      : 0;
}

bool failed(int error) {
    const char *reason = GifErrorString(error);
    if (error == D_GIF_ERR_READ_FAILED) {
        SDL_SetError("GIF file ends before its first picture is complete");
    } else {
        SDL_SetError("GIF: %s", reason ? reason : "the file cannot be read");
    }
    return false;
}

// Passes over an extension block, taking the transparent entry of a graphics control one.
bool skipExtension(GifFileType *gif, int *transparent) {
    int code = 0;
    GifByteType *block = nullptr;
    if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return failed(gif->Error);
    GraphicsControlBlock control;
    if (code == GRAPHICS_EXT_FUNC_CODE && block &&
        DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK)
        *transparent = control.TransparentColor;
    while (block) {
        if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return failed(gif->Error);
    }
    return true;
}

// Where the picture's rows go as they are decoded: straight into the paletted surface, or
// through the palette into the averager.
struct GifRows {
    SDL_Surface *picture;   // paletted, unless averaging
    AreaAverager averager;  // when the picture must shrink
    bool averaging;
    const SDL_Color *colours;
    int transparent;
    std::vector<GifPixelType> indices;  // one row, when averaging
    std::vector<unsigned char> rgba;
    std::vector<bool> reached;  // the rows decoded
};

// The rows of the picture, in the order an interlaced GIF stores them, until the first that
// does not decode; false, with the reason, when that is the first of all.
bool readRows(GifFileType *gif, GifRows *rows, int width, int height) {
    const bool interlaced = gif->Image.Interlace;
    const int starts[] = {0, 4, 2, 1};
    const int steps[] = {8, 8, 4, 2};
    int decoded = 0;
    for (int pass = 0; pass < (interlaced ? 4 : 1); pass++) {
        for (int y = interlaced ? starts[pass] : 0; y < height; y += interlaced ? steps[pass] : 1) {
            GifPixelType *row = rows->averaging
                                    ? rows->indices.data()
                                    : static_cast<GifPixelType *>(rows->picture->pixels) +
                                          size_t(y) * rows->picture->pitch;
            if (DGifGetLine(gif, row, width) == GIF_ERROR) {
                failed(gif->Error);
                return decoded > 0;
            }
            decoded++;
            rows->reached[size_t(y)] = true;
            if (!rows->averaging) continue;
            for (int x = 0; x < width; x++) {
                const SDL_Color &colour = rows->colours[row[x]];
                unsigned char *pixel = &rows->rgba[size_t(x) * 4];
                pixel[0] = colour.r;
                pixel[1] = colour.g;
                pixel[2] = colour.b;
                pixel[3] = row[x] == rows->transparent ? 0 : 255;
            }
            averageRow(&rows->averager, y, rows->rgba.data(), 4);
        }
    }
    return true;
}

// A paletted picture damaged part way: the rows it never reached are transparent, and show
// the black screen, rather than palette entry 0.
SDL_Surface *clearMissingRows(SDL_Surface *paletted, const std::vector<bool> &reached) {
    SDL_Surface *copy = trueColourCopy(paletted);
    SDL_FreeSurface(paletted);
    if (!copy) return nullptr;
    SDL_SetAlpha(copy, SDL_SRCALPHA, SDL_ALPHA_OPAQUE);
    for (int y = 0; y < copy->h; y++) {
        if (reached[size_t(y)]) continue;
        SDL_Rect row{0, Sint16(y), Uint16(copy->w), 1};
        SDL_FillRect(copy, &row, 0);
    }
    return copy;
}

SDL_Surface *readFirstPicture(GifFileType *gif, const DecodeOptions &options, ImageInfo *info) {
    int transparent = NO_TRANSPARENT_COLOR;
    for (;;) {
        GifRecordType record;
        if (DGifGetRecordType(gif, &record) == GIF_ERROR) {
            failed(gif->Error);
            return nullptr;
        }
        if (record == EXTENSION_RECORD_TYPE) {
            if (!skipExtension(gif, &transparent)) return nullptr;
            continue;
        }
        if (record != IMAGE_DESC_RECORD_TYPE) {
            SDL_SetError("GIF file has no picture");
            return nullptr;
        }
        if (DGifGetImageDesc(gif) == GIF_ERROR) {
            failed(gif->Error);
            return nullptr;
        }
        break;
    }
    const int width = gif->Image.Width;
    const int height = gif->Image.Height;
    *info = ImageInfo{true, width, height, 8};
    // SDL 1.2 makes no surface 16,384 pixels wide or more, nor one of no area.
    if (width <= 0 || height <= 0 || width >= 16384) {
        SDL_SetError("GIF picture is %dx%d pixels", width, height);
        return nullptr;
    }
    const ColorMapObject *map = gif->Image.ColorMap ? gif->Image.ColorMap : gif->SColorMap;
    SDL_Color colours[256];
    const int count = map ? std::min(map->ColorCount, 256) : 256;
    for (int i = 0; i < 256; i++) {
        // With no colour table at all, a grey ramp; past the table's end, black.
        colours[i] =
            i >= count ? SDL_Color{0, 0, 0, 0}
            : map      ? SDL_Color{map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue, 0}
                       : SDL_Color{Uint8(i), Uint8(i), Uint8(i), 0};
    }
    GifRows rows{};
    rows.colours = colours;
    rows.transparent = transparent;
    rows.reached.assign(size_t(height), false);
    const FitPlan plan = planFit(options, width, height);
    rows.averaging = plan.averaged;
    if (rows.averaging) {
        // Rows of an interlaced picture come in passes; a damaged one's missing rows count
        // as transparent.
        if (!startAveraging(&rows.averager, width, height, plan.averagedWidth, plan.averagedHeight,
                            false, gif->Image.Interlace))
            return nullptr;
        rows.indices.resize(size_t(width));
        rows.rgba.resize(size_t(width) * 4);
    } else {
        rows.picture = SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 8, 0, 0, 0, 0);
        if (!rows.picture) return nullptr;
        SDL_SetColors(rows.picture, colours, 0, count);
        rows.picture->format->palette->ncolors = count;
        if (transparent != NO_TRANSPARENT_COLOR)
            SDL_SetColorKey(rows.picture, SDL_SRCCOLORKEY, Uint32(transparent));
    }
    if (!readRows(gif, &rows, width, height)) {
        SDL_FreeSurface(rows.picture);
        stopAveraging(&rows.averager);
        return nullptr;
    }
    const bool whole =
        std::find(rows.reached.begin(), rows.reached.end(), false) == rows.reached.end();
    if (!rows.averaging) return whole ? rows.picture : clearMissingRows(rows.picture, rows.reached);
    SDL_Surface *averaged = finishAveraging(&rows.averager);
    // A whole picture with no transparent entry is blitted as opaque.
    if (averaged && whole && transparent == NO_TRANSPARENT_COLOR)
        SDL_SetAlpha(averaged, 0, SDL_ALPHA_OPAQUE);
    return averaged;
}

}  // namespace

bool startsLikeGif(const unsigned char *start, size_t size) {
    return size >= 6 && (!memcmp(start, "GIF87a", 6) || !memcmp(start, "GIF89a", 6));
}

SDL_Surface *readGif(int file, const DecodeOptions &options, ImageInfo *info) {
    *info = ImageInfo{false, 0, 0, 0};
    FileInput source{file, 0};
    int error = 0;
    GifFileType *gif = DGifOpen(&source, readBytes, &error);
    if (!gif) {
        failed(error);
        return nullptr;
    }
    SDL_Surface *picture = readFirstPicture(gif, options, info);
    DGifCloseFile(gif, &error);
    return picture;
}
