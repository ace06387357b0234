// JPEG 2000 reading with openjpeg: JP2 files and bare codestreams, decoded at the smallest
// resolution level that still covers the size shown, then averaged as the other readers do.
#include <openjpeg.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "average.h"
#include "colour.h"
#include "fit.h"
#include "format_modules.h"
#include "input.h"

namespace {

// The file is read a part at a time as openjpeg asks.
constexpr OPJ_SIZE_T kPartSize = OPJ_SIZE_T(1) << 20;

struct Stream {
    int file;
    uint64_t size;
    uint64_t offset;
};

OPJ_SIZE_T readPart(void *into, OPJ_SIZE_T size, void *data) {
    auto *stream = static_cast<Stream *>(data);
    const uint64_t left = stream->size - std::min(stream->offset, stream->size);
    const size_t taken = size_t(std::min<uint64_t>(size, left));
    if (taken == 0 || !readExactly(stream->file, into, taken, off_t(stream->offset)))
        return OPJ_SIZE_T(-1);
    stream->offset += taken;
    return taken;
}

OPJ_OFF_T skipPart(OPJ_OFF_T count, void *data) {
    auto *stream = static_cast<Stream *>(data);
    if (count < 0 && uint64_t(-count) > stream->offset) return -1;
    stream->offset += uint64_t(count);
    return count;
}

OPJ_BOOL seekTo(OPJ_OFF_T offset, void *data) {
    auto *stream = static_cast<Stream *>(data);
    if (offset < 0 || uint64_t(offset) > stream->size) return OPJ_FALSE;
    stream->offset = uint64_t(offset);
    return OPJ_TRUE;
}

// openjpeg's first error, without its line end, is the reason given.
constexpr size_t kReasonSize = 200;
void keepError(const char *message, void *data) {
    auto *reason = static_cast<char *>(data);
    if (*reason) return;
    snprintf(reason, kReasonSize, "JPEG 2000: %s", message);
    size_t end = strcspn(reason, "\n");
    while (end > 0 && reason[end - 1] == ' ') end--;
    reason[end] = '\0';
}

void ignoreMessage(const char *, void *) {}

// The resolution levels left out: as many as still leave at least the averaged size, and
// fewer than the fewest levels any component has.
OPJ_UINT32 levelsToSkip(opj_codec_t *codec, int width, int height, const FitPlan &plan) {
    if (!plan.averaged) return 0;
    opj_codestream_info_v2_t *codestream = opj_get_cstr_info(codec);
    if (!codestream) return 0;
    OPJ_UINT32 levels = 32;
    const opj_tile_info_v2_t &tile = codestream->m_default_tile_info;
    for (OPJ_UINT32 c = 0; tile.tccp_info && c < codestream->nbcomps; c++)
        levels = std::min(levels, tile.tccp_info[c].numresolutions);
    opj_destroy_cstr_info(&codestream);
    OPJ_UINT32 skipped = 0;
    while (skipped + 1 < levels && skipped < 30 && (width >> (skipped + 1)) >= plan.averagedWidth &&
           (height >> (skipped + 1)) >= plan.averagedHeight)
        skipped++;
    return skipped;
}

// A component's samples as 8 bits, whatever their precision and sign.
struct Channel {
    const opj_image_comp_t *component;
    int offset;  // added to a signed sample to make it unsigned
    int most;    // the largest unsigned sample
};

Channel channelOf(const opj_image_comp_t *component) {
    const int precision = int(std::clamp<OPJ_UINT32>(component->prec, 1, 30));
    return {component, component->sgnd ? 1 << (precision - 1) : 0, (1 << precision) - 1};
}

// The sample under picture pixel (x, y), of a component that may be subsampled.
int sampleAt(const Channel &channel, const opj_image_comp_t &first, int x, int y) {
    const opj_image_comp_t &component = *channel.component;
    const OPJ_UINT32 across = std::min(component.w - 1, OPJ_UINT32(x) * first.dx / component.dx);
    const OPJ_UINT32 down = std::min(component.h - 1, OPJ_UINT32(y) * first.dy / component.dy);
    return component.data[size_t(down) * component.w + across] + channel.offset;
}

unsigned char toByte(int sample, int most) {
    return static_cast<unsigned char>((int64_t(std::clamp(sample, 0, most)) * 255 + most / 2) /
                                      most);
}

// How a decoded picture's components make its pixels.
struct Layout {
    int colours;  // 1 (grey) or 3
    int alpha;    // the alpha component, or -1
    bool cmyk;    // four components of ink
    bool ycc;     // luma and two chroma components
};

// The colours, then an alpha component: one named as such, or else the one after grey or RGB.
Layout layoutOf(const opj_image_t *image) {
    Layout layout{image->numcomps >= 3 ? 3 : 1, -1, false, false};
    for (OPJ_UINT32 c = 0; c < image->numcomps; c++) {
        if (image->comps[c].alpha) layout.alpha = int(c);
    }
    if (layout.alpha >= 0 && layout.alpha < layout.colours) layout.colours = 1;
    layout.cmyk = image->color_space == OPJ_CLRSPC_CMYK && image->numcomps >= 4;
    if (layout.alpha < 0 && int(image->numcomps) > layout.colours && !layout.cmyk)
        layout.alpha = layout.colours;
    if (layout.alpha == 0) layout.alpha = -1;
    layout.ycc = layout.colours == 3 &&
                 (image->color_space == OPJ_CLRSPC_SYCC || image->color_space == OPJ_CLRSPC_EYCC);
    return layout;
}

// One pixel from the samples under it (unsigned, at their own precision).
void makePixel(const Layout &layout, const Channel *channels, const int *samples,
               unsigned char *pixel) {
    const int most = channels[0].most;
    if (layout.cmyk) {
        for (int c = 0; c < 3; c++)
            pixel[c] = toByte(int(int64_t(most - samples[c]) * (most - samples[3]) / most), most);
    } else if (layout.ycc) {
        // Full-range BT.601, as sYCC is defined.
        const double luma = samples[0];
        const double blue = samples[1] - (channels[1].most + 1) / 2;
        const double red = samples[2] - (channels[2].most + 1) / 2;
        pixel[0] = toByte(int(luma + 1.402 * red + 0.5), most);
        pixel[1] = toByte(int(luma - 0.344136 * blue - 0.714136 * red + 0.5), most);
        pixel[2] = toByte(int(luma + 1.772 * blue + 0.5), most);
    } else {
        for (int c = 0; c < 3; c++) {
            const int from = layout.colours == 3 ? c : 0;
            pixel[c] = toByte(samples[from], channels[from].most);
        }
    }
}

// The decoded picture's pixels, as RGBA rows taken as `plan` says.
SDL_Surface *takePixels(const opj_image_t *image, const Layout &layout, const FitPlan &plan) {
    const opj_image_comp_t &first = image->comps[0];
    const int width = int(first.w);
    const int height = int(first.h);
    const int colourCount = layout.cmyk ? 4 : layout.colours;
    Channel channels[4];
    for (int c = 0; c < colourCount; c++) channels[c] = channelOf(&image->comps[c]);
    const Channel opacity = channelOf(&image->comps[std::max(layout.alpha, 0)]);
    for (OPJ_UINT32 c = 0; c < image->numcomps; c++) {
        if (!image->comps[c].data || image->comps[c].w == 0 || image->comps[c].h == 0 ||
            image->comps[c].dx == 0 || image->comps[c].dy == 0) {
            SDL_SetError("JPEG 2000: the file holds no picture");
            return nullptr;
        }
    }
    PictureRows rows;
    if (!startRows(&rows, width, height, plan.averaged, plan.averagedWidth, plan.averagedHeight,
                   layout.alpha >= 0, false))
        return nullptr;
    std::vector<unsigned char> row(size_t(width) * 4);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            int samples[4];
            for (int c = 0; c < colourCount; c++) samples[c] = sampleAt(channels[c], first, x, y);
            unsigned char *pixel = &row[size_t(x) * 4];
            makePixel(layout, channels, samples, pixel);
            pixel[3] =
                layout.alpha >= 0 ? toByte(sampleAt(opacity, first, x, y), opacity.most) : 255;
        }
        putPixels(&rows, 0, y, width, row.data());
    }
    return finishRows(&rows);
}

SDL_Surface *decodeStream(opj_stream_t *stream, opj_codec_t *codec, const DecodeOptions &options,
                          ImageInfo *info) {
    opj_image_t *image = nullptr;
    if (!opj_read_header(stream, codec, &image)) return nullptr;
    const uint64_t width = uint64_t(image->x1) - std::min(image->x0, image->x1);
    const uint64_t height = uint64_t(image->y1) - std::min(image->y0, image->y1);
    SDL_Surface *picture = nullptr;
    // openjpeg holds every component decoded as 32-bit samples.
    if (pictureIsTakeable("JPEG 2000", width, height, 1)) {
        const FitPlan plan = planFit(options, int(width), int(height));
        const OPJ_UINT32 skipped = levelsToSkip(codec, int(width), int(height), plan);
        if (opj_set_decoded_resolution_factor(codec, skipped) &&
            pictureIsTakeable("JPEG 2000", width >> skipped, height >> skipped,
                              4 * int(std::max<OPJ_UINT32>(image->numcomps, 1))) &&
            opj_decode(codec, stream, image) && opj_end_decompress(codec, stream) &&
            image->numcomps > 0) {
            // A palette or channel definitions are applied by now.
            const Layout layout = layoutOf(image);
            *info = ImageInfo{true, int(width), int(height), layout.alpha >= 0 ? 32 : 24};
            picture = takePixels(image, layout, plan);
            ColourDescription colours{};
            colours.grey = layout.colours == 1;
            if (image->icc_profile_buf && image->icc_profile_len) {
                colours.icc = image->icc_profile_buf;
                colours.iccSize = image->icc_profile_len;
            }
            convertToSrgb(picture, colours, options);
        }
    }
    opj_image_destroy(image);
    return picture;
}

}  // namespace

SDL_Surface *readJp2(int file, const DecodeOptions &options, ImageInfo *info) {
    *info = ImageInfo{false, 0, 0, 0};
    struct stat status;
    unsigned char start[4] = {};
    if (fstat(file, &status) != 0 || !readExactly(file, start, sizeof start, 0)) {
        SDL_SetError("JPEG 2000: the file cannot be read");
        return nullptr;
    }
    // A bare codestream starts with its SOC and SIZ markers; anything else is a JP2 file.
    const bool bare = start[0] == 0xff && start[1] == 0x4f;
    opj_codec_t *codec = opj_create_decompress(bare ? OPJ_CODEC_J2K : OPJ_CODEC_JP2);
    Stream input{file, uint64_t(status.st_size), 0};
    opj_stream_t *stream = opj_stream_create(kPartSize, OPJ_TRUE);
    SDL_Surface *picture = nullptr;
    char reason[kReasonSize] = "";
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    if (!codec || !stream) {
        SDL_OutOfMemory();
    } else {
        opj_stream_set_user_data(stream, &input, nullptr);
        opj_stream_set_user_data_length(stream, input.size);
        opj_stream_set_read_function(stream, readPart);
        opj_stream_set_skip_function(stream, skipPart);
        opj_stream_set_seek_function(stream, seekTo);
        opj_set_error_handler(codec, keepError, reason);
        opj_set_warning_handler(codec, ignoreMessage, nullptr);
        opj_set_info_handler(codec, ignoreMessage, nullptr);
        if (opj_setup_decoder(codec, &parameters)) {
            if (readerThreads() > 1) opj_codec_set_threads(codec, readerThreads());
            picture = decodeStream(stream, codec, options, info);
        }
        if (!picture && !*SDL_GetError())
            SDL_SetError("%s", *reason ? reason : "JPEG 2000: the file cannot be decoded");
    }
    if (stream) opj_stream_destroy(stream);
    if (codec) opj_destroy_codec(codec);
    return picture;
}

// openjpeg needs no set-up before a decode.
void prepareJp2() {}

extern "C" const FormatReaderModule lumoscapeJp2Module = {readJp2, prepareJp2};
