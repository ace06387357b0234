// GIF reading with giflib: the first picture of the file, paletted, its transparent entry a
// colour key; a file cut short fails at once.
#include <gif_lib.h>
#include <unistd.h>

#include <cstring>

#include "readers.h"

namespace {

struct Source {
    int file;
    off_t at;
};

int readBytes(GifFileType *gif, GifByteType *into, int length) {
    auto *source = static_cast<Source *>(gif->UserData);
    const ssize_t got = pread(source->file, into, size_t(length), source->at);
    if (got <= 0) return 0;
    source->at += got;
    return int(got);
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

// The rows of the picture, in the order an interlaced GIF stores them.
bool readRows(GifFileType *gif, SDL_Surface *picture) {
    const bool interlaced = gif->Image.Interlace;
    const int starts[] = {0, 4, 2, 1};
    const int steps[] = {8, 8, 4, 2};
    for (int pass = 0; pass < (interlaced ? 4 : 1); pass++) {
        for (int y = interlaced ? starts[pass] : 0; y < picture->h;
             y += interlaced ? steps[pass] : 1) {
            auto *row = static_cast<GifPixelType *>(picture->pixels) + size_t(y) * picture->pitch;
            if (DGifGetLine(gif, row, picture->w) == GIF_ERROR) return failed(gif->Error);
        }
    }
    return true;
}

SDL_Surface *readFirstPicture(GifFileType *gif, ImageInfo *info) {
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
    SDL_Surface *picture = SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 8, 0, 0, 0, 0);
    if (!picture) return nullptr;
    const ColorMapObject *map = gif->Image.ColorMap ? gif->Image.ColorMap : gif->SColorMap;
    SDL_Color colours[256];
    const int count = map ? map->ColorCount : 256;
    for (int i = 0; i < count; i++) {
        // With no colour table at all, a grey ramp.
        colours[i] =
            map ? SDL_Color{map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue, 0}
                : SDL_Color{Uint8(i), Uint8(i), Uint8(i), 0};
    }
    SDL_SetColors(picture, colours, 0, count);
    picture->format->palette->ncolors = count;
    if (transparent != NO_TRANSPARENT_COLOR)
        SDL_SetColorKey(picture, SDL_SRCCOLORKEY, Uint32(transparent));
    if (!readRows(gif, picture)) {
        SDL_FreeSurface(picture);
        return nullptr;
    }
    return picture;
}

}  // namespace

bool startsLikeGif(const unsigned char *start, size_t size) {
    return size >= 6 && (!memcmp(start, "GIF87a", 6) || !memcmp(start, "GIF89a", 6));
}

SDL_Surface *readGif(int file, ImageInfo *info) {
    *info = ImageInfo{false, 0, 0, 0};
    Source source{file, 0};
    int error = 0;
    GifFileType *gif = DGifOpen(&source, readBytes, &error);
    if (!gif) {
        failed(error);
        return nullptr;
    }
    SDL_Surface *picture = readFirstPicture(gif, info);
    DGifCloseFile(gif, &error);
    return picture;
}
