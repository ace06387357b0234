// Warming the readers up in the helper, before any worker is forked and locked down: each
// library's one-time set-up (such as probing the processor, which may read /proc), done once
// for every worker to inherit.
#include <elf.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include "sandbox.h"
#include "warm_up_pictures.h"

namespace {

struct WarmUpFile {
    const unsigned char *bytes;
    size_t size;
};

// Whether a loaded library asks for executable stacks, as libde265 does on armhf: the C library
// then makes each new thread's stack executable, a change a locked-down worker may not make.
// Threads started here leave such stacks in its cache for the decoders' threads to reuse.
bool stacksExecutable() {
    return dl_iterate_phdr(
               [](dl_phdr_info *object, size_t, void *) {
                   for (int i = 0; i < object->dlpi_phnum; i++) {
                       const auto &header = object->dlpi_phdr[i];
                       if (header.p_type == PT_GNU_STACK && (header.p_flags & PF_X)) return 1;
                   }
                   return 0;
               },
               nullptr) != 0;
}

// Every path a decode can take: reduced while read and fitted (a screen smaller than every
// picture), full-size and unscaled (a larger one), and full-size then scaled (antialias 0).
const DecodeOptions kOptionSets[] = {{2, 2, 1, 1}, {64, 64, 1, 1}, {2, 2, 0, 1}};

void decodeEach(const WarmUpFile *files, size_t count) {
    for (size_t i = 0; i < count; i++) {
        const int file = memfd_create("warm-up", MFD_CLOEXEC);
        if (file < 0) return;
        if (write(file, files[i].bytes, files[i].size) == ssize_t(files[i].size)) {
            for (const DecodeOptions &options : kOptionSets) {
                ImageInfo info{};
                SDL_FreeSurface(decodeImage(file, nullptr, options, &info));
            }
        }
        close(file);
    }
}

}  // namespace

void warmUpReaders() {
    const WarmUpFile files[] = {{kJpeg, kJpegSize},
                                {kPng, kPngSize},
                                {kWebp, kWebpSize},
                                {kLosslessWebp, kLosslessWebpSize},
                                {kAlphaWebp, kAlphaWebpSize},
                                {kAnimatedWebp, kAnimatedWebpSize},
                                {kGif, kGifSize}};
    decodeEach(files, sizeof files / sizeof *files);
}

void warmUpFormat(FormatModule which) {
    if (which == kSdlImageModule) {
        const WarmUpFile tiff{kDeflateTiff, kDeflateTiffSize};
        decodeEach(&tiff, 1);
    }
    // The newer formats' libraries set themselves up as they were loaded; a decode of each is
    // needed only where threads' stacks must be executable, and then of every format loaded.
    if (!stacksExecutable()) return;
    const struct {
        FormatModule module;
        WarmUpFile file;
    } threaded[] = {
        {kHeifModule, {kHeif, kHeifSize}}, {kHeifModule, {kAlphaHeif, kAlphaHeifSize}},
        {kAvifModule, {kAvif, kAvifSize}}, {kAvifModule, {kAnimatedAvif, kAnimatedAvifSize}},
        {kJxlModule, {kJxl, kJxlSize}},    {kJxlModule, {kAnimatedJxl, kAnimatedJxlSize}}};
    for (const auto &each : threaded) {
        if (formatModuleLoaded(each.module)) decodeEach(&each.file, 1);
    }
}
