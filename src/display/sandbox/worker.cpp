// The worker: one decode in a locked-down process of its own, its result written to the viewer.
#include <malloc.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "sandbox.h"

// Defined by the test build only: runs in the worker once it is locked down, before it decodes.
extern "C" void lumoscapeWorkerTestHook(int file, const char *extension) __attribute__((weak));

namespace {

int resultSocket = -1;

// Writes all of `parts`, however much of them the socket takes at a time.
bool writeAll(std::vector<iovec> parts) {
    size_t first = 0;
    while (first < parts.size()) {
        const int count = int(std::min<size_t>(parts.size() - first, IOV_MAX));
        ssize_t written = writev(resultSocket, &parts[first], count);
        if (written <= 0) return false;
        while (first < parts.size() && size_t(written) >= parts[first].iov_len) {
            written -= ssize_t(parts[first].iov_len);
            first++;
        }
        if (first < parts.size()) {
            parts[first].iov_base = static_cast<char *>(parts[first].iov_base) + written;
            parts[first].iov_len -= size_t(written);
        }
    }
    return true;
}

ResultHeader headerFor(const ImageInfo &info) {
    ResultHeader header{};
    header.magic = kResultMagic;
    header.infoKnown = info.known ? 1 : 0;
    header.fullWidth = info.width;
    header.fullHeight = info.height;
    header.fullBitsPerPixel = info.bitsPerPixel;
    return header;
}

[[noreturn]] void refuse(const ImageInfo &info, const char *reason) {
    ResultHeader header = headerFor(info);
    const std::string text(reason, strnlen(reason, size_t(kLongestReason)));
    header.reasonLength = int32_t(text.size());
    writeAll({{&header, sizeof header}, {const_cast<char *>(text.data()), text.size()}});
    _exit(0);
}

[[noreturn]] void refuseForMemory() { refuse(ImageInfo{false, 0, 0, 0}, "Out of memory"); }

[[noreturn]] void hand(const ImageInfo &info, SDL_Surface *picture) {
    const SDL_PixelFormat *format = picture->format;
    ResultHeader header = headerFor(info);
    header.decoded = 1;
    header.width = picture->w;
    header.height = picture->h;
    header.bitsPerPixel = format->BitsPerPixel;
    header.redMask = format->Rmask;
    header.greenMask = format->Gmask;
    header.blueMask = format->Bmask;
    header.alphaMask = format->Amask;
    header.flags = picture->flags & (SDL_SRCCOLORKEY | SDL_SRCALPHA);
    header.colourKey = format->colorkey;
    header.alpha = format->alpha;
    header.colours = format->palette ? format->palette->ncolors : 0;
    // As few pieces as the picture's rows allow, so the viewer wakes as seldom as it can.
    std::vector<iovec> parts{{&header, sizeof header}};
    if (header.colours)
        parts.push_back({format->palette->colors, size_t(header.colours) * sizeof(SDL_Color)});
    const size_t rowBytes = size_t(picture->w) * format->BytesPerPixel;
    if (size_t(picture->pitch) == rowBytes) {
        parts.push_back({picture->pixels, rowBytes * size_t(picture->h)});
    } else {
        for (int y = 0; y < picture->h; y++)
            parts.push_back(
                {static_cast<char *>(picture->pixels) + size_t(y) * picture->pitch, rowBytes});
    }
    writeAll(parts);
    SDL_FreeSurface(picture);
    _exit(0);
}

// Memory a decode for a small screen takes, touched while the worker waits for its request
// rather than while the viewer waits for the picture: a freshly forked process pays for the
// first write to every page. Blocks up to the threshold come from the heap, which keeps them.
constexpr size_t kMemoryAhead = 2 << 20;

void touchMemoryAhead() {
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
    void *block = malloc(kMemoryAhead);
    if (block) memset(block, 0, kMemoryAhead);
    free(block);
}

}  // namespace

void runWorker(const DecodeLimits &limits) {
    prctl(PR_SET_NAME, "decoder-worker");
    // A reader that crashes ends the worker by its signal, whatever handlers the viewer had.
    for (const int fatal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) signal(fatal, SIG_DFL);
    resultSocket = kWorkerResult;
    std::set_new_handler(refuseForMemory);
    touchMemoryAhead();
    // The helper has set up every module the worker has; one it lacks ends it, asking for it.
    stopLoadingModules();
    lockDownWorker(limits);
    DecodeRequest request{};
    int descriptors[2];
    // The request's descriptors arrive at the lowest free numbers, which the filter counts on.
    if (receiveWithDescriptors(kWorkerChannel, &request, sizeof request, descriptors) != 1 ||
        descriptors[0] != kWorkerFile || descriptors[1] != kWorkerResult)
        _exit(kWorkerNotStarted);
    close(kWorkerChannel);
    request.extension[sizeof request.extension - 1] = '\0';
    if (lumoscapeWorkerTestHook) lumoscapeWorkerTestHook(kWorkerFile, request.extension);

    ImageInfo info{};
    SDL_Surface *picture = decodeImage(
        kWorkerFile, request.extension[0] ? request.extension : nullptr, request.options, &info);
    if (!picture) {
        const char *reason = SDL_GetError();
        refuse(info,
               *reason ? reason : "the image could not be decoded, and the decoder said not why");
    }
    hand(info, picture);
}
