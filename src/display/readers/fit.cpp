// Fitting: scales a decoded image to the screen, each axis by its own factor.
#include <SDL_rotozoom.h>

#include "readers.h"
#include "fit.h"
#include "surfaces.h"

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

}  // namespace

SDL_Surface *fitToScreen(SDL_Surface *image, int width, int height, const DecodeOptions &options) {
    double horizontal = 1;
    double vertical = 1;
    fitFactors(options, width, height, &horizontal, &vertical);
    SDL_Surface *shrunk = image->h > kZoomRowLimit ? shrinkTall(image) : nullptr;
    if (image->h > kZoomRowLimit && !shrunk) return nullptr;
    SDL_Surface *source = shrunk ? shrunk : image;
    if (source->w != width || source->h != height) {
        // A reduced decode or a shrunk image is brought to exactly the size the full image
        // would have been fitted to.
        int fittedWidth = 0;
        int fittedHeight = 0;
        fittedSize(options, width, height, &fittedWidth, &fittedHeight);
        horizontal = static_cast<double>(fittedWidth) / source->w;
        vertical = static_cast<double>(fittedHeight) / source->h;
    }
    SDL_Surface *fitted = zoomSurface(source, horizontal, vertical, options.antialias);
    if (fitted) keepTransparency(image, fitted);
    if (shrunk) SDL_FreeSurface(shrunk);
    return fitted;
}

int orientationOfTurn(int anticlockwise, int mirror) {
    // As quarter turns clockwise, then whether left and right are exchanged: EXIF orientations
    // 1 to 8 in that form. Exchanging top and bottom is a half turn and exchanging left and
    // right, which commute.
    static const int kOrientations[4][2] = {{1, 2}, {6, 5}, {3, 4}, {8, 7}};
    int clockwise = (4 - anticlockwise % 4) % 4;
    int exchanged = 0;
    if (mirror == 1) clockwise = (clockwise + 2) % 4, exchanged = 1;
    if (mirror == 2) exchanged = 1;
    return kOrientations[clockwise][exchanged];
}

SDL_Surface *turnUpright(SDL_Surface *picture, int orientation) {
    const bool across = orientation >= 5;
    const int width = across ? picture->h : picture->w;
    const int height = across ? picture->w : picture->h;
    SDL_Surface *upright = makeRgbaSurface(width, height, picture->flags & SDL_SRCALPHA);
    if (upright) {
        const int lastX = picture->w - 1;
        const int lastY = picture->h - 1;
        for (int y = 0; y < height; y++) {
            auto *row = reinterpret_cast<Uint32 *>(static_cast<Uint8 *>(upright->pixels) +
                                                   size_t(y) * upright->pitch);
            for (int x = 0; x < width; x++) {
                // Where the pixel that shows at (x, y) is stored, by EXIF's eight orientations.
                int fromX = x;
                int fromY = y;
                switch (orientation) {
                case 2:
                    fromX = lastX - x;
                    break;
                case 3:
                    fromX = lastX - x, fromY = lastY - y;
                    break;
                case 4:
                    fromY = lastY - y;
                    break;
                case 5:
                    fromX = y, fromY = x;
                    break;
                case 6:
                    fromX = y, fromY = lastY - x;
                    break;
                case 7:
                    fromX = lastX - y, fromY = lastY - x;
                    break;
                case 8:
                    fromX = lastX - y, fromY = x;
                    break;
                default:
                    break;
                }
                row[x] =
                    reinterpret_cast<const Uint32 *>(static_cast<const Uint8 *>(picture->pixels) +
                                                     size_t(fromY) * picture->pitch)[fromX];
            }
        }
    }
    SDL_FreeSurface(picture);
    return upright;
}
