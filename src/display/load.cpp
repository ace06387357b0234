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

}  // namespace

SDL_Surface *loadImage(const char *filePath) {
    struct stat status;
    if (stat(filePath, &status) != 0) {
        printf("Error: reading file %s: %s\n", filePath, strerror(errno));
        // Never leave a full-screen mode or a console display behind.
        if (SDL_WasInit(SDL_INIT_VIDEO)) SDL_Quit();
        exit(1);
    }

    SDL_Surface *image = IMG_Load(filePath);
    if (!image) return reportLoadFailure();
    printf("INFO: loaded %s: %dx%d %dbpp", filePath, image->w, image->h,
           image->format->BitsPerPixel);

    const SDL_Surface *screen = viewerState.screen;
    if (screen->w < image->w || screen->h < image->h) {
        double horizontal = static_cast<double>(screen->w) / image->w;
        double vertical = static_cast<double>(screen->h) / image->h;
        printf(", scaled: %.2f, %.2f", horizontal, vertical);
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
