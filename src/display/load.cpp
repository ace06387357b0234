// Loading: decodes an image file and fits it to the screen.
#include <SDL_image.h>
#include <SDL_rotozoom.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "display.h"

namespace {

// The scaler gives its result transparency the decoded image may not have: it marks palette
// index 0 of a paletted result transparent, which would blank out that colour, and switches
// per-pixel alpha blending on for a true-colour result, which costs every later blit of an
// opaque image. Give the fitted image the decoded image's own transparency instead.
void keepTransparency(const SDL_Surface *decoded, SDL_Surface *fitted) {
    if (fitted->format->BitsPerPixel == 8) {
        if (decoded->flags & SDL_SRCCOLORKEY) {
            SDL_SetColorKey(fitted, SDL_SRCCOLORKEY, decoded->format->colorkey);
        } else {
            SDL_SetColorKey(fitted, 0, 0);
        }
    } else if (!(decoded->flags & SDL_SRCALPHA)) {
        SDL_SetAlpha(fitted, 0, SDL_ALPHA_OPAQUE);
    }
}

// zoomSurface steps through the source's rows in 16.16 fixed point, which overflows a signed
// 32-bit number past this many rows.
constexpr int kZoomRowLimit = 32767;

// Shrinks a very tall image by the smallest whole factor that brings it within the zoom's
// reach; the shrinker averages, so nothing is skipped.
SDL_Surface *shrinkTall(SDL_Surface *image) {
    int factor = 2;
    while (image->h / factor > kZoomRowLimit) factor++;
    // The shrinker would average palette indices as if they were colours.
    SDL_Surface *copy = nullptr;
    if (image->format->BitsPerPixel == 8) {
        copy = trueColourCopy(image);
        if (!copy) return nullptr;
    }
    SDL_Surface *shrunk = shrinkSurface(copy ? copy : image, 1, factor);
    if (copy) SDL_FreeSurface(copy);
    return shrunk;
}

// Scales `image`, decoded from a width x height file, to the size the factors make of the
// full image; null when the scaler fails.
SDL_Surface *fitToScreen(SDL_Surface *image, int width, int height, double horizontal,
                         double vertical) {
    SDL_Surface *shrunk = image->h > kZoomRowLimit ? shrinkTall(image) : nullptr;
    if (image->h > kZoomRowLimit && !shrunk) return nullptr;
    SDL_Surface *source = shrunk ? shrunk : image;
    if (source->w != width || source->h != height) {
        // A reduced decode or a shrunk image is brought to exactly the size the full image
        // would have been fitted to.
        int fittedWidth = 0;
        int fittedHeight = 0;
        fittedSize(width, height, &fittedWidth, &fittedHeight);
        horizontal = static_cast<double>(fittedWidth) / source->w;
        vertical = static_cast<double>(fittedHeight) / source->h;
    }
    SDL_Surface *fitted = zoomSurface(source, horizontal, vertical, settings.antialias);
    if (fitted) keepTransparency(image, fitted);
    if (shrunk) SDL_FreeSurface(shrunk);
    return fitted;
}

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

SDL_Surface *reportLoadFailure() {
    printf("Error: loadImage: %s\n", SDL_GetError());
    SDL_Quit();
    return nullptr;
}

// The factors that fit a width x height image to the screen, each axis on its own; false when
// the image fits as it is.
bool fitFactors(int width, int height, double *horizontal, double *vertical) {
    const SDL_Surface *screen = viewerState.screen;
    if (screen->w >= width && screen->h >= height) return false;
    *horizontal = static_cast<double>(screen->w) / width;
    *vertical = static_cast<double>(screen->h) / height;
    return true;
}

}  // namespace

bool fittedSize(int width, int height, int *fittedWidth, int *fittedHeight) {
    double horizontal = 1;
    double vertical = 1;
    if (!fitFactors(width, height, &horizontal, &vertical)) return false;
    zoomSurfaceSize(width, height, horizontal, vertical, fittedWidth, fittedHeight);
    return true;
}

SDL_Surface *loadImage(const char *filePath) {
    struct stat status;
    if (stat(filePath, &status) != 0) {
        printf("Error: reading file %s: %s\n", filePath, strerror(errno));
        // Never leave a full-screen mode or a console display behind.
        if (SDL_WasInit(SDL_INIT_VIDEO)) SDL_Quit();
        exit(1);
    }

    // Some malformed files make SDL_image's readers loop for minutes or crash.
    if (!fileLooksDecodable(filePath)) return reportLoadFailure();

    // Without smoothing the user asked for plain samples of the full image, which a reduced
    // decode (an average of each block) would not give.
    int width = 0;
    int height = 0;
    bool tooLarge = false;
    SDL_Surface *image =
        settings.antialias ? loadReducedJpeg(filePath, &width, &height, &tooLarge) : nullptr;
    if (tooLarge) return reportLoadFailure();
    int bitsPerPixel = 24;  // what the full-size decoder reports for such a JPEG
    if (!image) {
        image = IMG_Load(filePath);
        if (!image) return reportLoadFailure();
        if (!usableDepth(image->format)) {
            SDL_SetError("decoded image of %d bits per pixel cannot be shown",
                         int(image->format->BitsPerPixel));
            SDL_FreeSurface(image);
            return reportLoadFailure();
        }
        width = image->w;
        height = image->h;
        bitsPerPixel = image->format->BitsPerPixel;
    }
    printf("INFO: loaded %s: %dx%d %dbpp", filePath, width, height, bitsPerPixel);

    double horizontal = 1;
    double vertical = 1;
    if (fitFactors(width, height, &horizontal, &vertical)) {
        printf(", scaled: %.2f, %.2f", horizontal, vertical);
        SDL_Surface *fitted = fitToScreen(image, width, height, horizontal, vertical);
        SDL_FreeSurface(image);
        if (!fitted) {
            putchar('\n');
            return reportLoadFailure();
        }
        image = fitted;
    }
    putchar('\n');
    return image;
}
