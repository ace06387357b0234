// Decoding: picks the reader for an image file by its content, decodes it and fits it.
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "fit.h"
#include "format_modules.h"
#include "average.h"
#include "input.h"

// The readers and their sniffs, each in a file of its own; the table below is their face.
bool startsLikePng(const unsigned char *start, size_t size);
bool startsLikeJpeg(const unsigned char *start, size_t size);
bool startsLikeWebp(const unsigned char *start, size_t size);
bool startsLikeGif(const unsigned char *start, size_t size);
bool startsLikeSvg(const unsigned char *start, size_t size);
SDL_Surface *readPng(int file, const DecodeOptions &options, ImageInfo *info);
SDL_Surface *readJpeg(int file, const DecodeOptions &options, ImageInfo *info);
SDL_Surface *readWebp(int file, const DecodeOptions &options, ImageInfo *info);
SDL_Surface *readGif(int file, const DecodeOptions &options, ImageInfo *info);

namespace {

// The most a reader decodes: a side as long as the longest libraries write, and 16384 x 16384
// pixels in all, the limit libavif sets itself.
constexpr uint64_t kMostSide = 65535;
constexpr uint64_t kMostPixels = uint64_t(1) << 28;

bool startsLikeAvif(const unsigned char *start, size_t size) {
    return namesBrand(start, size, "avif") || namesBrand(start, size, "avis");
}

bool startsLikeHeif(const unsigned char *start, size_t size) {
    for (const char *brand : {"heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1"}) {
        if (namesBrand(start, size, brand)) return true;
    }
    return false;
}

bool startsLikeJxl(const unsigned char *start, size_t size) {
    // A bare codestream, or the container's signature box.
    static const unsigned char kContainer[] = {0, 0, 0, 12, 'J', 'X', 'L', ' ', 13, 10, 0x87, 10};
    return (size >= 2 && start[0] == 0xff && start[1] == 0x0a) ||
           (size >= sizeof kContainer && memcmp(start, kContainer, sizeof kContainer) == 0);
}

bool startsLikeJp2(const unsigned char *start, size_t size) {
    // A JP2 file's signature box, or a bare codestream's SOC and SIZ markers.
    static const unsigned char kSignature[] = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 13, 10, 0x87, 10};
    return (size >= 4 && start[0] == 0xff && start[1] == 0x4f && start[2] == 0xff &&
            start[3] == 0x51) ||
           (size >= sizeof kSignature && memcmp(start, kSignature, sizeof kSignature) == 0);
}

// The formats read by a library of their own, told by their first bytes.
// The readers of the newer formats are in modules of their own.
template <FormatModule which>
SDL_Surface *readWithModule(int file, const DecodeOptions &options, ImageInfo *info) {
    const auto *module = static_cast<const FormatReaderModule *>(formatModule(which));
    return module ? module->read(file, options, info) : nullptr;
}

// Every other format goes to SDL_image's readers, in a module of their own with libtiff.
SDL_Surface *readWithSdlImage(int file, const char *extension, ImageInfo *info) {
    const auto *module = static_cast<const SdlImageModule *>(formatModule(kSdlImageModule));
    return module ? module->read(file, extension, info) : nullptr;
}
const Reader kReaders[] = {
    {"PNG", startsLikePng, readPng},
    {"JPEG", startsLikeJpeg, readJpeg},
    {"WebP", startsLikeWebp, readWebp},
    {"GIF", startsLikeGif, readGif},
    // An AVIF names the HEIF brands too: it is told first.
    {"AVIF", startsLikeAvif, readWithModule<kAvifModule>},
    {"HEIF", startsLikeHeif, readWithModule<kHeifModule>},
    {"JPEG XL", startsLikeJxl, readWithModule<kJxlModule>},
    {"JPEG 2000", startsLikeJp2, readWithModule<kJp2Module>},
    {"SVG", startsLikeSvg, readWithModule<kSvgModule>},
};

}  // namespace

bool namesBrand(const unsigned char *start, size_t size, const char *brand) {
    if (size < 16 || memcmp(start + 4, "ftyp", 4) != 0) return false;
    const size_t boxSize =
        size_t(start[0]) << 24 | size_t(start[1]) << 16 | size_t(start[2]) << 8 | size_t(start[3]);
    const size_t end = std::min(size, boxSize);
    // The major brand, then the compatible ones (after the minor version).
    if (memcmp(start + 8, brand, 4) == 0) return true;
    for (size_t at = 16; at + 4 <= end; at += 4) {
        if (memcmp(start + at, brand, 4) == 0) return true;
    }
    return false;
}

const Reader *readerNamed(const char *name) {
    for (const Reader &reader : kReaders) {
        if (strcmp(reader.name, name) == 0) return &reader;
    }
    return nullptr;
}

int readerThreads() {
    static int count = 0;
    if (count == 0) {
        cpu_set_t processors;
        CPU_ZERO(&processors);
        count = sched_getaffinity(0, sizeof processors, &processors) == 0
                    ? std::max(1, CPU_COUNT(&processors))
                    : 1;
    }
    return count;
}

bool pictureIsTakeable(const char *format, uint64_t width, uint64_t height, int bytesPerPixel) {
    if (width == 0 || height == 0 || width > kMostSide || height > kMostSide ||
        width * height > kMostPixels) {
        // SDL's own formatting knows no %llu: the numbers are written here.
        char reason[160];
        snprintf(reason, sizeof reason,
                 "%s: a %llux%llu picture is larger than lumoscape decodes (%llu pixels)", format,
                 static_cast<unsigned long long>(width), static_cast<unsigned long long>(height),
                 static_cast<unsigned long long>(kMostPixels));
        SDL_SetError("%s", reason);
        return false;
    }
    rlimit memory{};
    const uint64_t needed = width * height * uint64_t(bytesPerPixel);
    if (getrlimit(RLIMIT_DATA, &memory) == 0 && memory.rlim_cur != RLIM_INFINITY &&
        needed > memory.rlim_cur) {
        char reason[160];
        snprintf(reason, sizeof reason,
                 "%s: a %llux%llu picture needs more memory than decoders may take (%llu MB)",
                 format, static_cast<unsigned long long>(width),
                 static_cast<unsigned long long>(height),
                 static_cast<unsigned long long>(memory.rlim_cur >> 20));
        SDL_SetError("%s", reason);
        return false;
    }
    return true;
}

SDL_Surface *decodeImage(int file, const char *extension, const DecodeOptions &options,
                         ImageInfo *info) {
    *info = ImageInfo{false, 0, 0, 0};
    SDL_ClearError();
    // Enough for an SVG's root element past its XML declaration and document type.
    unsigned char start[4096] = {};
    FileInput input{file, 0};
    const size_t size = readSome(&input, start, sizeof start);
    // The content, never the name, picks the reader; SDL_image's readers take the rest.
    const Reader *reader = nullptr;
    for (const Reader &candidate : kReaders) {
        if (candidate.sniff(start, size)) {
            reader = &candidate;
            break;
        }
    }
    SDL_Surface *image =
        reader ? reader->read(file, options, info) : readWithSdlImage(file, extension, info);
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
