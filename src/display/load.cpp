// Loading: opens an image file, has it decoded and fitted in the decoding process, and reports.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "display.h"
#include "sandbox/sandbox.h"

namespace {

SDL_Surface *reportLoadFailure() {
    printf("Error: loadImage: %s\n", SDL_GetError());
    stopDecoderHelper();
    SDL_Quit();
    return nullptr;
}

// Opens the file for the decoder: never one that could block (a FIFO that took the file's
// place) or that is no file at all.
int openImageFile(const char *filePath) {
    const int file = open(filePath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) {
        SDL_SetError("Couldn't open %s: %s", filePath, strerror(errno));
        return -1;
    }
    struct stat status;
    if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        SDL_SetError("%s is not a regular file", filePath);
        close(file);
        return -1;
    }
    return file;
}

}  // namespace

SDL_Surface *loadImage(const char *filePath) {
    struct stat status;
    if (stat(filePath, &status) != 0) {
        printf("Error: reading file %s: %s\n", filePath, strerror(errno));
        // Never leave a full-screen mode or a console display behind.
        stopDecoderHelper();
        if (SDL_WasInit(SDL_INIT_VIDEO)) SDL_Quit();
        exit(1);
    }
    const int file = openImageFile(filePath);
    if (file < 0) return reportLoadFailure();

    const DecodeOptions options{viewerState.screen->w, viewerState.screen->h, settings.antialias,
                                settings.autorotate};
    // The extension names the format for TGA files, which have no signature.
    const char *dot = strrchr(filePath, '.');
    ImageInfo info{};
    SDL_Surface *image = decodeInWorker(file, dot ? dot + 1 : nullptr, options, &info);
    close(file);
    if (info.known) {
        printf("INFO: loaded %s: %dx%d %dbpp", filePath, info.width, info.height,
               info.bitsPerPixel);
        double horizontal = 1;
        double vertical = 1;
        if (fitFactors(options, info.width, info.height, &horizontal, &vertical))
            printf(", scaled: %.2f, %.2f", horizontal, vertical);
        putchar('\n');
    }
    return image ? image : reportLoadFailure();
}
