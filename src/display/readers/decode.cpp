// Decoding: picks the reader for an image file by its content, decodes it and fits it.
#include <SDL_image.h>
#include <tiffio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "readers.h"

namespace {

// SDL's BMP reader makes a surface of whatever depth the header claims: of 0 bits per pixel,
// or of 8 bits without a palette for a claim of 51208. The scaler loops on the one and follows
// the missing palette of the other.
bool usableDepth(const SDL_PixelFormat *format) {
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
        SDL_SetError("decoded image of %d bits per pixel cannot be shown",
                     int(image->format->BitsPerPixel));
        SDL_FreeSurface(image);
        return nullptr;
    }
    if (image) *info = ImageInfo{true, image->w, image->h, image->format->BitsPerPixel};
    return image;
}

// The formats read by a library of their own, told by their first bytes.
struct Reader {
    const char *name;
    bool (*sniff)(const unsigned char *start, size_t size);
    SDL_Surface *(*read)(int file, const DecodeOptions &options, ImageInfo *info);
};
const Reader kReaders[] = {
    {"PNG", startsLikePng, readPng},
    {"JPEG", startsLikeJpeg, readJpeg},
    {"WebP", startsLikeWebp, readWebp},
    {"GIF", startsLikeGif, readGif},
};

}  // namespace

SDL_Surface *decodeImage(int file, const char *extension, const DecodeOptions &options,
                         ImageInfo *info) {
    *info = ImageInfo{false, 0, 0, 0};
    SDL_ClearError();
    unsigned char start[12] = {};
    const ssize_t got = pread(file, start, sizeof start, 0);
    const size_t size = got > 0 ? size_t(got) : 0;
    // The content, never the name, picks the reader; SDL_image's readers take the rest.
    const Reader *reader = nullptr;
    for (const Reader &candidate : kReaders) {
        if (candidate.sniff(start, size)) {
            reader = &candidate;
            break;
        }
    }
    SDL_Surface *image =
        reader ? reader->read(file, options, info) : loadWithSdlImage(file, extension, info);
    // A file that did not decode has no INFO line; one that decoded keeps it even when fitting
    // fails. A reader that gave no reason is named in the one given.
    if (!image) {
        *info = ImageInfo{false, 0, 0, 0};
        if (reader && !*SDL_GetError())
            SDL_SetError("%s: the file cannot be decoded", reader->name);
        return nullptr;
    }
    const FitPlan plan = planFit(options, info->width, info->height);
    if (plan.fits) return image;
    // The scaler shrinks by a thousandth at most: a picture a thousand times the screen's
    // width or height cannot be fitted, and the viewer takes nothing larger than the screen.
    if (plan.fittedWidth > options.screenWidth || plan.fittedHeight > options.screenHeight) {
        SDL_SetError("a %dx%d picture is too long to be fitted to the screen", info->width,
                     info->height);
        SDL_FreeSurface(image);
        return nullptr;
    }
    if (!plan.averaged) {
        SDL_Surface *fitted = fitToScreen(image, info->width, info->height, options);
        SDL_FreeSurface(image);
        return fitted;
    }
    // Averaged by its reader as it was read (or scaled by its library to the fitted size), or
    // here from the full-size picture SDL_image decoded; then interpolated on an axis that
    // grows.
    if (image->w == plan.fittedWidth && image->h == plan.fittedHeight &&
        image->format->BitsPerPixel == 32)
        return image;
    const bool averaged = image->w == plan.averagedWidth && image->h == plan.averagedHeight &&
                          image->format->BitsPerPixel == 32;
    if (!averaged) {
        SDL_Surface *decoded = image;
        image = averageSurface(decoded, plan.averagedWidth, plan.averagedHeight);
        SDL_FreeSurface(decoded);
        if (!image) return nullptr;
    }
    if (image->w == plan.fittedWidth && image->h == plan.fittedHeight) return image;
    SDL_Surface *grown = growToFit(image, plan.fittedWidth, plan.fittedHeight);
    SDL_FreeSurface(image);
    return grown;
}
