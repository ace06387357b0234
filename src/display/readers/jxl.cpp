// JPEG XL reading with libjxl: stills, recompressed JPEGs and the first frame of an animation
// composed on its canvas, its pixels taken as libjxl hands them over, never into a full-size
// buffer of its own.
#include <jxl/decode.h>
#include <jxl/thread_parallel_runner.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "format_modules.h"
#include "average.h"
#include "colour.h"
#include "fit.h"
#include "input.h"

namespace {

// The file is given to libjxl a part at a time.
constexpr size_t kPartSize = size_t(1) << 20;

// What the pixels go into; libjxl hands them over from several threads at once.
struct Taking {
    PictureRows rows;
    pthread_mutex_t lock;
};

// Pixels made 8-bit a part at a time, on the thread that hands them over. libjxl hands floats
// over several times faster than it makes bytes of them itself.
constexpr size_t kPartPixels = 256;

void takePixels(void *opaque, size_t x, size_t y, size_t count, const void *pixels) {
    auto *taking = static_cast<Taking *>(opaque);
    const auto *samples = static_cast<const float *>(pixels);
    unsigned char part[kPartPixels * 4];
    for (size_t done = 0; done < count; done += kPartPixels) {
        const size_t size = std::min(kPartPixels, count - done);
        for (size_t i = 0; i < size * 4; i++) {
            const float value = samples[done * 4 + i] * 255.0f + 0.5f;
            // Written so that a NaN sample, which compares false with anything, comes out 0.
            part[i] = static_cast<unsigned char>(value > 0 ? (value < 255 ? value : 255) : 0);
        }
        pthread_mutex_lock(&taking->lock);
        putPixels(&taking->rows, int(x + done), int(y), int(size), part);
        pthread_mutex_unlock(&taking->lock);
    }
}

// The file's bytes as libjxl asks for more: what it has not taken yet, then the next part.
struct Input {
    int file;
    uint64_t size;
    uint64_t offset;
    unsigned char *bytes;
    size_t given;  // of `bytes`, last given to libjxl
};

bool giveMore(JxlDecoder *decoder, Input *input) {
    const size_t kept = JxlDecoderReleaseInput(decoder);
    if (input->offset >= input->size) return false;
    // What libjxl kept is at the end of what it was given; a part is added after it.
    const size_t held = input->bytes ? kept : 0;
    if (held) memmove(input->bytes, input->bytes + (input->given - held), held);
    auto *grown = static_cast<unsigned char *>(realloc(input->bytes, held + kPartSize));
    if (!grown) return false;
    input->bytes = grown;
    const size_t part = size_t(std::min<uint64_t>(kPartSize, input->size - input->offset));
    FileInput reading{input->file, off_t(input->offset)};
    const size_t got = readSome(&reading, input->bytes + held, part);
    if (got == 0) return false;
    input->offset += got;
    input->given = held + got;
    JxlDecoderSetInput(decoder, input->bytes, input->given);
    if (input->offset >= input->size) JxlDecoderCloseInput(decoder);
    return true;
}

// The picture taken, in the colour space libjxl gives it in.
SDL_Surface *finishPicture(JxlDecoder *decoder, Taking *taking, const JxlBasicInfo &basic,
                           const DecodeOptions &options) {
    SDL_Surface *picture = finishRows(&taking->rows);
    size_t size = 0;
    std::vector<unsigned char> profile;
    ColourDescription colours{};
    colours.grey = basic.num_color_channels == 1;
    if (JxlDecoderGetICCProfileSize(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) ==
        JXL_DEC_SUCCESS) {
        profile.resize(size);
        if (!profile.empty() &&
            JxlDecoderGetColorAsICCProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                           profile.data(), size) == JXL_DEC_SUCCESS) {
            colours.icc = profile.data();
            colours.iccSize = size;
        }
    }
    convertToSrgb(picture, colours, options);
    return picture;
}

// Whether a still's picture at `ratio` of its size still covers what averaging makes of it.
bool coveredAt(size_t ratio, const JxlBasicInfo &basic, const FitPlan &plan) {
    return ratio > 1 && plan.averaged && !basic.have_animation &&
           (basic.xsize + ratio - 1) / ratio >= size_t(plan.averagedWidth) &&
           (basic.ysize + ratio - 1) / ratio >= size_t(plan.averagedHeight);
}

SDL_Surface *decodeFirstFrame(JxlDecoder *decoder, Input *input, const DecodeOptions &options,
                              ImageInfo *info) {
    Taking taking{};
    pthread_mutex_init(&taking.lock, nullptr);
    bool started = false;
    FitPlan plan{};
    JxlBasicInfo basic{};
    SDL_Surface *picture = nullptr;
    const char *reason = nullptr;
    while (!picture && !reason) {
        switch (JxlDecoderProcessInput(decoder)) {
        case JXL_DEC_NEED_MORE_INPUT:
            if (!giveMore(decoder, input))
                reason = "JPEG XL: the file ends before its picture does";
            break;
        case JXL_DEC_BASIC_INFO: {
            JxlDecoderGetBasicInfo(decoder, &basic);
            // libjxl turns the picture as its orientation says, and gives the size turned.
            const int width = int(basic.xsize);
            const int height = int(basic.ysize);
            // Its frames in floating point, three colours and alpha.
            if (!pictureIsTakeable("JPEG XL", basic.xsize, basic.ysize, 16)) {
                pthread_mutex_destroy(&taking.lock);
                return nullptr;
            }
            *info = ImageInfo{true, width, height, basic.alpha_bits ? 32 : 24};
            plan = planFit(options, width, height);
            break;
        }
        case JXL_DEC_COLOR_ENCODING: {
            // A picture stored in libjxl's own colour space comes out as sRGB rather than in
            // linear light; one stored with its own profile keeps its values.
            JxlColorEncoding srgb{};
            srgb.color_space =
                basic.num_color_channels == 1 ? JXL_COLOR_SPACE_GRAY : JXL_COLOR_SPACE_RGB;
            srgb.white_point = JXL_WHITE_POINT_D65;
            srgb.primaries = JXL_PRIMARIES_SRGB;
            srgb.transfer_function = JXL_TRANSFER_FUNCTION_SRGB;
            srgb.rendering_intent = JXL_RENDERING_INTENT_PERCEPTUAL;
            JxlDecoderSetPreferredColorProfile(decoder, &srgb);
            break;
        }
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
            const JxlPixelFormat format{4, JXL_TYPE_FLOAT, JXL_NATIVE_ENDIAN, 0};
            if (started) {
                reason = "JPEG XL: the picture cannot be decoded";
            } else if (!startRows(&taking.rows, info->width, info->height, plan.averaged,
                                  plan.averagedWidth, plan.averagedHeight, basic.alpha_bits != 0,
                                  true)) {
                pthread_mutex_destroy(&taking.lock);
                return nullptr;
            } else {
                started = true;
                if (JxlDecoderSetImageOutCallback(decoder, &format, takePixels, &taking) !=
                    JXL_DEC_SUCCESS)
                    reason = "JPEG XL: libjxl cannot hand the pixels over";
            }
            break;
        }
        case JXL_DEC_FRAME_PROGRESSION:
            // A VarDCT picture's 1:8 image (its DC) is exact, as a JPEG's 1/8 scale is: where
            // it still covers the screen's share of the picture, the decode stops there.
            // libjxl hands it over upsampled to the full size, which averaging brings down.
            if (!started ||
                !coveredAt(JxlDecoderGetIntendedDownsamplingRatio(decoder), basic, plan))
                break;
            if (JxlDecoderFlushImage(decoder) != JXL_DEC_SUCCESS) {
                reason = "JPEG XL: the picture cannot be decoded";
                break;
            }
            picture = finishPicture(decoder, &taking, basic, options);
            started = false;
            break;
        case JXL_DEC_FULL_IMAGE:
            // The first frame, composed: an animation is shown by it.
            picture = finishPicture(decoder, &taking, basic, options);
            started = false;
            break;
        case JXL_DEC_SUCCESS:
            reason = "JPEG XL: the file has no picture";
            break;
        case JXL_DEC_ERROR:
        default:
            reason = "JPEG XL: the picture's data is damaged";
            break;
        }
    }
    if (started) stopRows(&taking.rows);
    pthread_mutex_destroy(&taking.lock);
    if (reason) SDL_SetError("%s", reason);
    return picture;
}

}  // namespace

SDL_Surface *readJxl(int file, const DecodeOptions &options, ImageInfo *info) {
    *info = ImageInfo{false, 0, 0, 0};
    struct stat status;
    if (fstat(file, &status) != 0) {
        SDL_SetError("JPEG XL: the file cannot be read");
        return nullptr;
    }
    JxlDecoder *decoder = JxlDecoderCreate(nullptr);
    const int threads = readerThreads();
    void *runner = threads > 1 ? JxlThreadParallelRunnerCreate(nullptr, size_t(threads)) : nullptr;
    if (!decoder) {
        if (runner) JxlThreadParallelRunnerDestroy(runner);
        SDL_OutOfMemory();
        return nullptr;
    }
    if (runner) JxlDecoderSetParallelRunner(decoder, JxlThreadParallelRunner, runner);
    JxlDecoderSubscribeEvents(decoder, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING |
                                           JXL_DEC_FRAME_PROGRESSION | JXL_DEC_FULL_IMAGE);
    JxlDecoderSetProgressiveDetail(decoder, kDC);
    Input input{file, uint64_t(status.st_size), 0, nullptr, 0};
    SDL_Surface *picture = decodeFirstFrame(decoder, &input, options, info);
    JxlDecoderDestroy(decoder);
    if (runner) JxlThreadParallelRunnerDestroy(runner);
    free(input.bytes);
    return picture;
}

// libjxl needs no set-up before a decode.
void prepareJxl() {}

extern "C" const FormatReaderModule lumoscapeJxlModule = {readJxl, prepareJxl};
