// The SDL_image module: SDL_image's own readers (BMP, TGA, TIFF with libtiff, PCX, PNM, XPM,
// XCF, ...) for every format without a reader of its own.
#include <SDL_image.h>
#include <tiffio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "format_modules.h"

namespace {

// SDL's BMP reader makes a surface of whatever depth the header claims: of 0 bits per pixel,
// of 8 bits without a palette for a claim of 51208, or of 24 bits in 227 bytes a pixel for a
// claim of 65304 (SDL keeps both in a byte). The scaler loops on the first, follows the missing
// palette of the second, and every reader of the pixels overruns the third.
bool usableDepth(const SDL_PixelFormat *format) {
    if (format->BytesPerPixel != (format->BitsPerPixel + 7) / 8) return false;
    switch (format->BitsPerPixel) {
    case 8:
        return format->palette != nullptr;
    case 15:
    case 16:
    case 24:
    case 32:
        return true;
    default:
        return false;
    }
}

// libtiff tells its reasons to standard error, and SDL_image passes none on: the first one of a
// decode becomes its reason.
bool tiffReasonTaken = false;

void takeTiffReason(const char *module, const char *format, va_list arguments) {
    if (tiffReasonTaken) return;
    char reason[256];
    vsnprintf(reason, sizeof reason, format, arguments);
    SDL_SetError("TIFF: %s%s%s", module ? module : "", module ? ": " : "", reason);
    tiffReasonTaken = true;
}

// SDL_image's own readers, on a stream of their own over the file, from its start.
SDL_Surface *loadWithSdlImage(int file, const char *extension, ImageInfo *info) {
    // Some malformed XPMs make SDL_image's reader crash.
    if (!xpmLooksDecodable(file)) return nullptr;
    const int copy = dup(file);
    FILE *stream = copy >= 0 ? fdopen(copy, "rb") : nullptr;
    if (!stream) {
        SDL_SetError("cannot read the image file: %s", strerror(errno));
        if (copy >= 0) close(copy);
        return nullptr;
    }
    tiffReasonTaken = false;
    TIFFSetErrorHandler(takeTiffReason);
    TIFFSetWarningHandler(nullptr);
    SDL_RWops *source = fseek(stream, 0, SEEK_SET) == 0 ? SDL_RWFromFP(stream, 0) : nullptr;
    // The extension matters to one format only, TGA, which has no signature to be told by.
    SDL_Surface *image =
        source ? IMG_LoadTyped_RW(source, 1, const_cast<char *>(extension)) : nullptr;
    fclose(stream);
    if (image && !usableDepth(image->format)) {
        SDL_SetError("decoded image of %d bits per pixel cannot be shown (%d bytes a pixel)",
                     int(image->format->BitsPerPixel), int(image->format->BytesPerPixel));
        SDL_FreeSurface(image);
        return nullptr;
    }
    if (image) *info = ImageInfo{true, image->w, image->h, image->format->BitsPerPixel};
    return image;
}

// Nothing of SDL_image or libtiff needs setting up before a decode.
void prepareSdlImage() {}

}  // namespace

extern "C" const SdlImageModule lumoscapeSdlImageModule = {loadWithSdlImage, prepareSdlImage};
