// AVIF reading with libavif: stills, grids, alpha, deep colour and the first frame of an
// animation, cropped, turned and mirrored as the file asks.
#include <avif/avif.h>
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

// Rows converted from Y'CbCr at a time: enough that the chroma rows shared across a strip's
// edge are few, small enough that no full-size RGB copy is made.
constexpr uint32_t kStripRows = 64;

// libavif reads each part of the file it needs through this, from the open file.
struct AvifInput {
    avifIO io;  // first, so that libavif's pointer to it is one to the whole
    int file;
    uint8_t *bytes;
};

avifResult readPart(avifIO *io, uint32_t flags, uint64_t offset, size_t size, avifROData *out) {
    auto *input = reinterpret_cast<AvifInput *>(io);
    if (flags != 0 || offset > io->sizeHint) return AVIF_RESULT_IO_ERROR;
    size = size_t(std::min<uint64_t>(size, io->sizeHint - offset));
    free(input->bytes);
    input->bytes = static_cast<uint8_t *>(malloc(std::max<size_t>(size, 1)));
    if (!input->bytes) return AVIF_RESULT_OUT_OF_MEMORY;
    if (!readExactly(input->file, input->bytes, size, off_t(offset))) return AVIF_RESULT_IO_ERROR;
    out->data = input->bytes;
    out->size = size;
    return AVIF_RESULT_OK;
}

void endInput(avifIO *io) {
    auto *input = reinterpret_cast<AvifInput *>(io);
    free(input->bytes);
    delete input;
}

bool failed(avifResult result, const avifDecoder *decoder) {
    if (result == AVIF_RESULT_OK) return false;
    const char *detail = decoder->diag.error;
    SDL_SetError("AVIF: %s%s%s", avifResultToString(result), *detail ? ": " : "", detail);
    return true;
}

// The frame decoded, cropped to `crop`, converted to RGBA a strip of rows at a time.
SDL_Surface *takeFrame(const avifImage *frame, const avifCropRect &crop, const FitPlan &plan,
                       bool across) {
    PictureRows rows;
    const int width = int(crop.width);
    const int height = int(crop.height);
    if (!startRows(
            &rows, width, height, plan.averaged, across ? plan.averagedHeight : plan.averagedWidth,
            across ? plan.averagedWidth : plan.averagedHeight, frame->alphaPlane != nullptr, false))
        return nullptr;
    std::vector<unsigned char> strip(size_t(width) * 4 * kStripRows);
    avifImage *view = avifImageCreateEmpty();
    avifResult result = view ? AVIF_RESULT_OK : AVIF_RESULT_OUT_OF_MEMORY;
    for (uint32_t first = 0; result == AVIF_RESULT_OK && first < crop.height; first += kStripRows) {
        const avifCropRect part{crop.x, crop.y + first, crop.width,
                                std::min(kStripRows, crop.height - first)};
        result = avifImageSetViewRect(view, frame, &part);
        avifRGBImage rgb;
        avifRGBImageSetDefaults(&rgb, view);
        rgb.format = AVIF_RGB_FORMAT_RGBA;
        rgb.depth = 8;
        rgb.pixels = strip.data();
        rgb.rowBytes = uint32_t(width) * 4;
        if (result == AVIF_RESULT_OK) result = avifImageYUVToRGB(view, &rgb);
        for (uint32_t y = 0; result == AVIF_RESULT_OK && y < part.height; y++)
            putPixels(&rows, 0, int(first + y), width, strip.data() + size_t(y) * rgb.rowBytes);
    }
    if (view) avifImageDestroy(view);
    if (result != AVIF_RESULT_OK) {
        stopRows(&rows);
        SDL_SetError("AVIF: %s", avifResultToString(result));
        return nullptr;
    }
    return finishRows(&rows);
}

SDL_Surface *decodeFirstFrame(avifDecoder *decoder, int file, const DecodeOptions &options,
                              ImageInfo *info) {
    const avifResult parsed = avifDecoderParse(decoder);
    // libavif 0.11 refuses a grid whose cells share an item, which libheif reads.
    if (parsed == AVIF_RESULT_INVALID_IMAGE_GRID) {
        const auto *heif = static_cast<const FormatReaderModule *>(formatModule(kHeifModule));
        if (heif) return heif->read(file, options, info);
    }
    if (failed(parsed, decoder)) return nullptr;
    const avifImage *image = decoder->image;
    // The clean aperture first, then the turn, then the mirror, as the format orders them.
    avifCropRect crop{0, 0, image->width, image->height};
    avifDiagnostics diagnostics;
    if ((image->transformFlags & AVIF_TRANSFORM_CLAP) &&
        !avifCropRectConvertCleanApertureBox(&crop, &image->clap, image->width, image->height,
                                             image->yuvFormat, &diagnostics))
        crop = avifCropRect{0, 0, image->width, image->height};
    const int turn = (image->transformFlags & AVIF_TRANSFORM_IROT) ? image->irot.angle : 0;
    const int mirror =
        (image->transformFlags & AVIF_TRANSFORM_IMIR) ? (image->imir.mode == 0 ? 1 : 2) : 0;
    const int orientation = orientationOfTurn(turn, mirror);
    const bool across = orientation >= 5;
    const int width = int(across ? crop.height : crop.width);
    const int height = int(across ? crop.width : crop.height);
    *info = ImageInfo{true, width, height, decoder->alphaPresent ? 32 : 24};
    // The decoder's frame and its alpha in up to 16 bits a sample.
    if (!pictureIsTakeable("AVIF", image->width, image->height, image->depth > 8 ? 8 : 4))
        return nullptr;
    if (failed(avifDecoderNextImage(decoder), decoder)) return nullptr;
    const FitPlan plan = planFit(options, width, height);
    SDL_Surface *picture = takeFrame(decoder->image, crop, plan, across);
    // Its ICC profile, or else the primaries and transfer its nclx box (or its AV1 stream)
    // names.
    ColourDescription colours{};
    const avifImage *frame = decoder->image;
    colours.grey = frame->yuvFormat == AVIF_PIXEL_FORMAT_YUV400;
    if (frame->icc.size) {
        colours.icc = frame->icc.data;
        colours.iccSize = frame->icc.size;
    } else {
        colours.primaries = frame->colorPrimaries;
        colours.transfer = frame->transferCharacteristics;
    }
    convertToSrgb(picture, colours, options);
    if (!picture || orientation == 1) return picture;
    return turnUpright(picture, orientation);
}

}  // namespace

SDL_Surface *readAvif(int file, const DecodeOptions &options, ImageInfo *info) {
    *info = ImageInfo{false, 0, 0, 0};
    struct stat status;
    avifDecoder *decoder = avifDecoderCreate();
    auto *input = new AvifInput{};
    if (!decoder || fstat(file, &status) != 0) {
        delete input;
        if (decoder) avifDecoderDestroy(decoder);
        SDL_SetError("AVIF: the file cannot be read");
        return nullptr;
    }
    input->io.destroy = endInput;
    input->io.read = readPart;
    input->io.sizeHint = uint64_t(status.st_size);
    input->file = file;
    avifDecoderSetIO(decoder, &input->io);
    decoder->maxThreads = readerThreads();
    // Files that bend the format's rules are shown as far as libavif can read them; the
    // limits on a picture's size are libavif's own.
    decoder->strictFlags = AVIF_STRICT_DISABLED;
    decoder->ignoreExif = AVIF_TRUE;
    decoder->ignoreXMP = AVIF_TRUE;
    SDL_Surface *picture = decodeFirstFrame(decoder, file, options, info);
    avifDecoderDestroy(decoder);
    return picture;
}

// libavif and its codecs need no set-up before a decode.
void prepareAvif() {}

extern "C" const FormatReaderModule lumoscapeAvifModule = {readAvif, prepareAvif};
