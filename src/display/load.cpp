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

    // Without smoothing the user asked for plain samples of the full image, which a reduced
    // decode (an average of each block) would not give.
    int width = 0;
    int height = 0;
    SDL_Surface *image = settings.antialias ? loadReducedJpeg(filePath, &width, &height) : nullptr;
    int bitsPerPixel = 24;  // what the full-size decoder reports for such a JPEG
    if (!image) {
        image = IMG_Load(filePath);
        if (!image) return reportLoadFailure();
        width = image->w;
        height = image->h;
        bitsPerPixel = image->format->BitsPerPixel;
    }
    printf("INFO: loaded %s: %dx%d %dbpp", filePath, width, height, bitsPerPixel);

    double horizontal = 1;
    double vertical = 1;
    if (fitFactors(width, height, &horizontal, &vertical)) {
        printf(", scaled: %.2f, %.2f", horizontal, vertical);
        if (image->w != width || image->h != height) {
            // A reduced decode is brought to exactly the size the full image would have had.
            int fittedWidth = 0;
            int fittedHeight = 0;
            fittedSize(width, height, &fittedWidth, &fittedHeight);
            horizontal = static_cast<double>(fittedWidth) / image->w;
            vertical = static_cast<double>(fittedHeight) / image->h;
        }
        SDL_Surface *fitted = zoomSurface(image, horizontal, vertical, settings.antialias);
        if (fitted) keepTransparency(image, fitted);
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
