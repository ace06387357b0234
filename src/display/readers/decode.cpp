// Decoding: picks the reader for an image file by its content, decodes it and fits it.
#include <SDL_image.h>
#include <unistd.h>

#include <cerrno>
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

// SDL_image's own readers, on a stream of their own over the file, from its start.
SDL_Surface *loadWithSdlImage(int file, const char *extension) {
    const int copy = dup(file);
    FILE *stream = copy >= 0 ? fdopen(copy, "rb") : nullptr;
    if (!stream) {
        SDL_SetError("cannot read the image file: %s", strerror(errno));
        if (copy >= 0) close(copy);
        return nullptr;
    }
    SDL_RWops *source = fseek(stream, 0, SEEK_SET) == 0 ? SDL_RWFromFP(stream, 0) : nullptr;
    // The extension matters to one format only, TGA, which has no signature to be told by.
    SDL_Surface *image =
        source ? IMG_LoadTyped_RW(source, 1, const_cast<char *>(extension)) : nullptr;
    fclose(stream);
    return image;
}

}  // namespace

SDL_Surface *decodeImage(int file, const char *extension, const DecodeOptions &options,
                         ImageInfo *info) {
    *info = ImageInfo{false, 0, 0, 0};
    // Some malformed files make SDL_image's readers loop for minutes or crash.
    if (!fileLooksDecodable(file)) return nullptr;

    // Without smoothing the user asked for plain samples of the full image, which a reduced
    // decode (an average of each block) would not give.
    int width = 0;
    int height = 0;
    bool tooLarge = false;
    SDL_Surface *image =
        options.antialias ? loadReducedJpeg(file, options, &width, &height, &tooLarge) : nullptr;
    if (tooLarge) return nullptr;
    int bitsPerPixel = 24;  // what the full-size decoder reports for such a JPEG
    if (!image) {
        image = loadWithSdlImage(file, extension);
        if (!image) return nullptr;
        if (!usableDepth(image->format)) {
            SDL_SetError("decoded image of %d bits per pixel cannot be shown",
                         int(image->format->BitsPerPixel));
            SDL_FreeSurface(image);
            return nullptr;
        }
        width = image->w;
        height = image->h;
        bitsPerPixel = image->format->BitsPerPixel;
    }
    *info = ImageInfo{true, width, height, bitsPerPixel};

    int fittedWidth = 0;
    int fittedHeight = 0;
    if (!fittedSize(options, width, height, &fittedWidth, &fittedHeight)) return image;
    SDL_Surface *fitted = fitToScreen(image, width, height, options);
    SDL_FreeSurface(image);
    return fitted;
}
