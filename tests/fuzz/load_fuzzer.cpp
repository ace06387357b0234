// Fuzz target: arbitrary bytes as an image file, decoded and fitted in-process by the readers
// that the viewer's decoding process runs.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "display/readers/readers.h"

namespace {

std::string folder;
std::string imagePath;

void cleanUp() {
    unlink(imagePath.c_str());
    rmdir(folder.c_str());
}

// SDL_image 1.2's own readers of PCX, PNM, XPM, XCF and other formats crash or read for ever
// on malformed files in more ways than a check before them can foresee
// (tests/fuzz/library-crashes/ has examples): in the viewer they run in the decoding process,
// which the sandbox fuzzer drives. This one is for the readers' own code and the libraries
// that hold their ground (PNG, JPEG, WebP, GIF, TIFF, HEIF, AVIF, JPEG XL, JPEG 2000, SVG) and BMP,
// which SDL reads itself;
// LUMOSCAPE_FUZZ_ALL_FORMATS=1 takes every input to the readers.
bool allFormats = false;

bool guardedFormat(const uint8_t *data, size_t size) {
    const auto startsWith = [&](const char *magic, size_t length, size_t at = 0) {
        return size >= at + length && !memcmp(data + at, magic, length);
    };
    return startsWith("\x89PNG", 4) || startsWith("\xff\xd8", 2) || startsWith("BM", 2) ||
           startsWith("GIF8", 4) || startsWith("II*\0", 4) || startsWith("MM\0*", 4) ||
           (startsWith("RIFF", 4) && startsWith("WEBP", 4, 8)) || startsWith("ftyp", 4, 4) ||
           startsWith("\xff\x0a", 2) || startsWith("\0\0\0\x0cJXL ", 8) ||
           startsWith("\0\0\0\x0cjP  ", 8) || startsWith("\xff\x4f\xff\x51", 4) ||
           startsWith("<svg", 4) || startsWith("<?xml", 5) || startsWith("\x1f\x8b", 2);
}

// A JPEG header can claim hundreds of megapixels in a few bytes, and a CMYK one goes to the
// full-size decoder, which fills in the missing data for all of them: seconds of work that is
// bounded and no fault, but that the hang limit would take for one. Such claims are left out.
bool claimsHugeJpeg(const uint8_t *data, size_t size) {
    if (size < 4 || data[0] != 0xff || data[1] != 0xd8) return false;
    // The decoder skips bytes up to the next marker, so every frame marker counts.
    for (size_t at = 2; at + 9 < size; at++) {
        const uint8_t marker = data[at + 1];
        if (data[at] != 0xff || marker < 0xc0 || marker > 0xcf || marker == 0xc4 ||
            marker == 0xc8 || marker == 0xcc)
            continue;
        const double height = data[at + 5] << 8 | data[at + 6];
        const double width = data[at + 7] << 8 | data[at + 8];
        if (width * height > 50e6) return true;
    }
    return false;
}

}  // namespace

extern "C" {

// A decoder asked for an absurd size gets null back, as it would from malloc, and copes. An
// allocation past 256 MB fails as it does in the viewer's decoding process on a small board
// (and in the sandbox fuzzer): a header claims a gigabyte picture in a few bytes, and libFuzzer
// would take its allocation, or clearing it, for a finding.
const char *__asan_default_options() {
    return "allocator_may_return_null=1:detect_leaks=1:max_allocation_size_mb=256";
}

// SDL_image's TIFF reader leaves libtiff's handle open when a strip does not read (with what
// hangs off it). In the viewer the decoding process ends after each image and takes it along.
// fontconfig keeps the patterns of the fonts an SVG's text was looked up in, and librsvg the
// values of its entities, for the process's life (see tests/sanitize/lsan.supp).
const char *__lsan_default_suppressions() {
    return "leak:TIFFClientOpenExt\nleak:libfontconfig.so\nleak:xmlParseEntityValue\n";
}

int LLVMFuzzerInitialize(int *, char ***) {
    char shared[] = "/dev/shm/lumoscape-load-fuzz-XXXXXX";
    char temporary[] = "/tmp/lumoscape-load-fuzz-XXXXXX";
    const char *made = mkdtemp(shared);
    if (!made) made = mkdtemp(temporary);
    if (!made) abort();
    folder = made;
    // No extension: TGA, the one format the decoder takes by name alone, would have a 30-byte
    // header make it allocate and convert a picture of hundreds of megapixels, which is slow
    // but no fault (see the manual page's note on huge images).
    imagePath = folder + "/input";
    const char *all = getenv("LUMOSCAPE_FUZZ_ALL_FORMATS");
    allFormats = all && !strcmp(all, "1");
    atexit(cleanUp);
    return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!allFormats && !guardedFormat(data, size)) return -1;
    if (claimsHugeJpeg(data, size)) return -1;
    FILE *file = fopen(imagePath.c_str(), "wb");
    if (!file) abort();
    if (size && fwrite(data, 1, size, file) != size) abort();
    fclose(file);
    // Both ways of fitting to a screen smaller than the seeds: with smoothing (and the reduced
    // decodes) and without; and JPEGs turned upright by their EXIF orientation, or not. What is
    // sought are crashes, hangs, leaks and memory errors. (The fitted size is not checked: for
    // images over a thousand times the screen's size the scaler's smallest factor makes it a little
    // larger than the screen, by design.)
    const DecodeOptions options{64, 48, static_cast<int32_t>(size % 2),
                                static_cast<int32_t>(size % 3 == 0)};
    const int image = open(imagePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (image < 0) abort();
    ImageInfo info{};
    SDL_FreeSurface(decodeImage(image, nullptr, options, &info));
    close(image);
    return 0;
}
}
