// Loading: opens an image file, has it decoded and fitted in the decoding process with the
// limits the settings give, and reports.
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

// A decoder that takes longer than this on a small board is stuck: see the manual page.
constexpr int32_t kDefaultCpuSeconds = 60;

// The decoder's limits as the settings give them: by default half the machine's memory, and
// kDefaultCpuSeconds.
DecodeLimits decoderLimitsFromSettings() {
    DecodeLimits limits{uint64_t(settings.decoderMemory) << 20, settings.decoderTime};
    if (settings.decoderMemory <= 0)
        limits.memoryBytes =
            uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGESIZE)) / 2;
    if (settings.decoderTime <= 0) limits.cpuSeconds = kDefaultCpuSeconds;
    return limits;
}

SDL_Surface *reportLoadFailure() {
    printf("Error: loadImage: %s\n", printable(SDL_GetError()).c_str());
    // Passing over files that cannot be shown keeps the display; otherwise this is the end.
    if (settings.skipBroken) return nullptr;
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

void startDecoderHelper() {
    forgetInDecodingProcess(forgetViewerData);
    startDecodingProcess(decoderLimitsFromSettings());
}

void stopDecoderHelper() { stopDecodingProcess(); }

SDL_Surface *loadImage(const char *filePath) {
    struct stat status;
    if (stat(filePath, &status) != 0) {
        printf("Error: reading file %s: %s\n", printable(filePath).c_str(), strerror(errno));
        if (settings.skipBroken) return nullptr;
        // Never leave a full-screen mode or a console display behind.
        stopDecoderHelper();
        if (SDL_WasInit(SDL_INIT_VIDEO)) SDL_Quit();
        exit(1);
    }
    const int file = openImageFile(filePath);
    if (file < 0) return reportLoadFailure();

    const DecodeOptions options{
        viewerState.screen->w, viewerState.screen->h,           settings.antialias,
        settings.autorotate,   settings.colourProfiles ? 0 : 1, settings.keepAspect};
    // The extension names the format for TGA files, which have no signature.
    const char *dot = strrchr(filePath, '.');
    ImageInfo info{};
    SDL_Surface *image = decodeInWorker(file, dot ? dot + 1 : nullptr, options,
                                        decoderLimitsFromSettings(), waitForReadable, &info);
    close(file);
    if (info.known) {
        printf("INFO: loaded %s: %dx%d %dbpp", printable(filePath).c_str(), info.width, info.height,
               info.bitsPerPixel);
        double horizontal = 1;
        double vertical = 1;
        if (fitFactors(options, info.width, info.height, &horizontal, &vertical))
            printf(", scaled: %.2f, %.2f", horizontal, vertical);
        putchar('\n');
    }
    return image ? image : reportLoadFailure();
}
