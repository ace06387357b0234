// WebP reading with libwebp: lossy, lossless, with alpha, extended and animated (its first
// frame), and a picture larger than the screen decoded straight at a reduced size.
#include <sys/stat.h>
#include <unistd.h>
#include <webp/decode.h>
#include <webp/demux.h>

#include <cstdlib>
#include <cstring>

#include "readers.h"
#include "colour.h"
#include "fit.h"
#include "input.h"
#include "surfaces.h"

namespace {

const char *statusText(VP8StatusCode status) {
    switch (status) {
    case VP8_STATUS_OUT_OF_MEMORY:
        return "Out of memory";
    case VP8_STATUS_INVALID_PARAM:
        return "WebP: invalid parameter";
    case VP8_STATUS_BITSTREAM_ERROR:
        return "WebP: the picture's data is damaged";
    case VP8_STATUS_UNSUPPORTED_FEATURE:
        return "WebP: a feature libwebp does not read";
    case VP8_STATUS_NOT_ENOUGH_DATA:
        return "WebP: the file ends before its picture does";
    default:
        return "WebP: the picture cannot be decoded";
    }
}

// The whole file: libwebp decodes from memory.
unsigned char *readWhole(int file, size_t *size) {
    struct stat status;
    if (fstat(file, &status) != 0 || status.st_size <= 0) return nullptr;
    *size = size_t(status.st_size);
    auto *bytes = static_cast<unsigned char *>(malloc(*size));
    if (bytes && !readExactly(file, bytes, *size, 0)) {
        free(bytes);
        bytes = nullptr;
    }
    return bytes;
}

// Decodes the bitstream of one picture to RGBA at the size the screen needs.
SDL_Surface *decodeBitstream(const uint8_t *data, size_t size, const DecodeOptions &options,
                             ImageInfo *info) {
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) {
        SDL_SetError("WebP: libwebp does not match its header");
        return nullptr;
    }
    VP8StatusCode status = WebPGetFeatures(data, size, &config.input);
    if (status != VP8_STATUS_OK) {
        SDL_SetError("%s", statusText(status));
        return nullptr;
    }
    const int width = config.input.width;
    const int height = config.input.height;
    const bool alpha = config.input.has_alpha;
    // The depth SDL_image gives the WebPs it reads, by whether they have alpha.
    *info = ImageInfo{true, width, height, alpha ? 32 : 24};
    // libwebp scales while it decodes, straight to the fitted size. Its in-loop filter would
    // only smooth what the scaling averages anyway where both axes shrink by half or more;
    // elsewhere it keeps the picture clean.
    const FitPlan plan = planFit(options, width, height);
    const int outputWidth = plan.averaged ? plan.fittedWidth : width;
    const int outputHeight = plan.averaged ? plan.fittedHeight : height;
    if (plan.averaged) {
        config.options.use_scaling = 1;
        config.options.scaled_width = outputWidth;
        config.options.scaled_height = outputHeight;
        config.options.bypass_filtering = width >= 2 * outputWidth && height >= 2 * outputHeight;
    } else if (!surfaceHolds(width, height)) {
        return nullptr;
    }
    SDL_Surface *picture = makeRgbaSurface(outputWidth, outputHeight, alpha);
    if (!picture) {
        SDL_OutOfMemory();
        return nullptr;
    }
    config.output.colorspace = MODE_RGBA;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = static_cast<uint8_t *>(picture->pixels);
    config.output.u.RGBA.stride = picture->pitch;
    config.output.u.RGBA.size = size_t(picture->pitch) * size_t(outputHeight);
    status = WebPDecode(data, size, &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK) {
        SDL_FreeSurface(picture);
        SDL_SetError("%s", statusText(status));
        return nullptr;
    }
    return picture;
}

}  // namespace

bool startsLikeWebp(const unsigned char *start, size_t size) {
    return size >= 12 && !memcmp(start, "RIFF", 4) && !memcmp(start + 8, "WEBP", 4);
}

SDL_Surface *readWebp(int file, const DecodeOptions &options, ImageInfo *info) {
    *info = ImageInfo{false, 0, 0, 0};
    size_t size = 0;
    unsigned char *bytes = readWhole(file, &size);
    if (!bytes) {
        SDL_SetError("WebP: the file cannot be read");
        return nullptr;
    }
    SDL_Surface *picture = nullptr;
    WebPBitstreamFeatures features;
    const WebPData whole{bytes, size};
    WebPDemuxer *demuxer = WebPDemux(&whole);
    if (WebPGetFeatures(bytes, size, &features) == VP8_STATUS_OK && features.has_animation) {
        // An animation is shown by its first frame, at that frame's own size.
        WebPIterator frame;
        if (demuxer && WebPDemuxGetFrame(demuxer, 1, &frame)) {
            picture = decodeBitstream(frame.fragment.bytes, frame.fragment.size, options, info);
            WebPDemuxReleaseIterator(&frame);
        } else {
            SDL_SetError("WebP: the animation has no frame that can be read");
        }
    } else {
        picture = decodeBitstream(bytes, size, options, info);
    }
    // The colour profile of an extended WebP.
    WebPChunkIterator profile;
    if (picture && demuxer && WebPDemuxGetChunk(demuxer, "ICCP", 1, &profile)) {
        ColourDescription colours{};
        colours.icc = profile.chunk.bytes;
        colours.iccSize = profile.chunk.size;
        convertToSrgb(picture, colours, options);
        WebPDemuxReleaseChunkIterator(&profile);
    }
    WebPDemuxDelete(demuxer);
    free(bytes);
    return picture;
}
