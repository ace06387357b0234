// HEIF and HEIC reading with libheif: the primary picture with its alpha and the
// transformations the format requires, or its own thumbnail where that covers the screen.
#include <libheif/heif.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "format_modules.h"
#include "average.h"
#include "colour.h"
#include "fit.h"
#include "input.h"

namespace {

// libheif reads the boxes, then each picture's data, through these: from the open file, as it
// needs them, never the whole file at once.
struct FileReading {
    int file;
    int64_t position;
    // cppcheck-suppress unusedStructMember
    int64_t size;  // read through the callbacks' pointer
};

int64_t positionOf(void *reading) { return static_cast<FileReading *>(reading)->position; }

int readBytes(void *data, size_t size, void *readingData) {
    auto *reading = static_cast<FileReading *>(readingData);
    if (!readExactly(reading->file, data, size, off_t(reading->position))) return -1;
    reading->position += int64_t(size);
    return 0;
}

int seekTo(int64_t position, void *reading) {
    if (position < 0 || position > static_cast<FileReading *>(reading)->size) return -1;
    static_cast<FileReading *>(reading)->position = position;
    return 0;
}

heif_reader_grow_status growTo(int64_t size, void *reading) {
    return size <= static_cast<FileReading *>(reading)->size
               ? heif_reader_grow_status_size_reached
               : heif_reader_grow_status_size_beyond_eof;
}

const heif_reader kFileReader = {1, positionOf, readBytes, seekTo, growTo};

// libheif's reasons, some of which end in a line break, as the viewer's.
bool failed(heif_error error) {
    if (error.code == heif_error_Ok) return false;
    std::string reason = error.message ? error.message : "the file cannot be decoded";
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
    SDL_SetError("HEIF: %s", reason.c_str());
    return true;
}

// The picture's planes as libheif decodes them when asked for no colour space: red, green
// and blue, or grey; alpha apart; samples of more than 8 bits in 16.
struct Planes {
    int count;  // 3 colours or 1 grey
    const uint8_t *colour[3];
    int colourStride[3];
    int bits;
    const uint8_t *alpha;
    int alphaStride;
    int alphaBits;
    bool premultiplied;
};

unsigned char sample(const uint8_t *row, int x, int bits) {
    if (bits <= 8) return row[x];
    uint16_t value;
    memcpy(&value, row + size_t(x) * 2, 2);
    const uint32_t most = (1u << bits) - 1;
    return static_cast<unsigned char>((std::min<uint32_t>(value, most) * 255 + most / 2) / most);
}

bool planesOf(const heif_image *image, Planes *planes) {
    *planes = Planes{};
    const heif_colorspace space = heif_image_get_colorspace(image);
    const heif_chroma chroma = heif_image_get_chroma_format(image);
    const heif_channel colourChannels[3] = {heif_channel_R, heif_channel_G, heif_channel_B};
    if (space == heif_colorspace_RGB && chroma == heif_chroma_444) {
        planes->count = 3;
    } else if (space == heif_colorspace_monochrome) {
        planes->count = 1;
    } else {
        SDL_SetError("HEIF: the picture decodes to a layout lumoscape does not read");
        return false;
    }
    for (int c = 0; c < planes->count; c++) {
        const heif_channel channel = planes->count == 3 ? colourChannels[c] : heif_channel_Y;
        planes->colour[c] = heif_image_get_plane_readonly(image, channel, &planes->colourStride[c]);
        if (!planes->colour[c]) {
            SDL_SetError("HEIF: the picture lacks a colour plane");
            return false;
        }
    }
    planes->bits = heif_image_get_bits_per_pixel_range(
        image, planes->count == 3 ? heif_channel_R : heif_channel_Y);
    if (heif_image_has_channel(image, heif_channel_Alpha)) {
        planes->alpha =
            heif_image_get_plane_readonly(image, heif_channel_Alpha, &planes->alphaStride);
        planes->alphaBits = heif_image_get_bits_per_pixel_range(image, heif_channel_Alpha);
        planes->premultiplied = heif_image_is_premultiplied_alpha(const_cast<heif_image *>(image));
    }
    if (planes->bits < 1 || planes->bits > 16) {
        SDL_SetError("HEIF: samples of %d bits cannot be shown", planes->bits);
        return false;
    }
    if (planes->alpha && (planes->alphaBits < 1 || planes->alphaBits > 16)) {
        SDL_SetError("HEIF: alpha samples of %d bits cannot be shown", planes->alphaBits);
        return false;
    }
    return true;
}

// Row `y` as RGBA, straight from the planes, so that no full-size copy of them is made.
void rowOf(const Planes &planes, int y, int width, unsigned char *rgba) {
    const uint8_t *colour[3];
    for (int c = 0; c < 3; c++) {
        const int plane = planes.count == 3 ? c : 0;
        colour[c] = planes.colour[plane] + size_t(y) * size_t(planes.colourStride[plane]);
    }
    const uint8_t *alpha =
        planes.alpha ? planes.alpha + size_t(y) * size_t(planes.alphaStride) : nullptr;
    for (int x = 0; x < width; x++, rgba += 4) {
        rgba[3] = alpha ? sample(alpha, x, planes.alphaBits) : 255;
        for (int c = 0; c < 3; c++) {
            unsigned value = sample(colour[c], x, planes.bits);
            if (planes.premultiplied && rgba[3] < 255)
                value = rgba[3] ? std::min(255u, (value * 255 + rgba[3] / 2) / rgba[3]) : 0;
            rgba[c] = static_cast<unsigned char>(value);
        }
    }
}

// The file's own smallest thumbnail that, turned as the picture is, covers the fitted size
// and has the picture's shape (within a pixel at its own size); null when none does.
heif_image_handle *coveringThumbnail(heif_image_handle *primary, const FitPlan &plan, int width,
                                     int height) {
    const int count = heif_image_handle_get_number_of_thumbnails(primary);
    if (count <= 0) return nullptr;
    std::vector<heif_item_id> thumbnails(static_cast<size_t>(count));
    heif_image_handle_get_list_of_thumbnail_IDs(primary, thumbnails.data(), count);
    heif_image_handle *best = nullptr;
    for (const heif_item_id id : thumbnails) {
        heif_image_handle *thumbnail = nullptr;
        if (heif_image_handle_get_thumbnail(primary, id, &thumbnail).code != heif_error_Ok)
            continue;
        const int64_t thumbnailWidth = heif_image_handle_get_width(thumbnail);
        const int64_t thumbnailHeight = heif_image_handle_get_height(thumbnail);
        const int64_t skew = std::llabs(thumbnailWidth * height - thumbnailHeight * width);
        const bool covers = thumbnailWidth >= plan.fittedWidth &&
                            thumbnailHeight >= plan.fittedHeight &&
                            skew <= std::max<int64_t>(width, height);
        const bool smaller =
            !best || thumbnailWidth * thumbnailHeight < int64_t(heif_image_handle_get_width(best)) *
                                                            heif_image_handle_get_height(best);
        if (covers && smaller) std::swap(best, thumbnail);
        if (thumbnail) heif_image_handle_release(thumbnail);
    }
    return best;
}

// The colour space `handle` names: its ICC profile (kept in `profile`) or its nclx primaries
// and transfer; nothing when it names none.
ColourDescription coloursOf(heif_image_handle *handle, std::vector<unsigned char> *profile) {
    ColourDescription colours{};
    colours.grey = heif_image_handle_get_chroma_bits_per_pixel(handle) == 0;
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
    if (type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC) {
        profile->resize(heif_image_handle_get_raw_color_profile_size(handle));
        if (!profile->empty() &&
            heif_image_handle_get_raw_color_profile(handle, profile->data()).code == 0) {
            colours.icc = profile->data();
            colours.iccSize = profile->size();
        }
    } else if (type == heif_color_profile_type_nclx) {
        heif_color_profile_nclx *nclx = nullptr;
        if (heif_image_handle_get_nclx_color_profile(handle, &nclx).code == 0) {
            colours.primaries = nclx->color_primaries;
            colours.transfer = nclx->transfer_characteristics;
        }
        heif_nclx_color_profile_free(nclx);
    }
    return colours;
}

// Decodes `handle` with its transformations and takes it as `plan` says.
SDL_Surface *decodeHandle(heif_image_handle *handle, const FitPlan &plan) {
    const int width = heif_image_handle_get_width(handle);
    const int height = heif_image_handle_get_height(handle);
    const bool deep = heif_image_handle_get_luma_bits_per_pixel(handle) > 8;
    // libheif holds the decoded planes, the decoder's own picture and its colours converted.
    if (!pictureIsTakeable("HEIF", uint64_t(width), uint64_t(height), deep ? 16 : 8))
        return nullptr;
    heif_decoding_options *decoding = heif_decoding_options_alloc();
    heif_image *image = nullptr;
    const heif_error error = heif_decode_image(handle, &image, heif_colorspace_undefined,
                                               heif_chroma_undefined, decoding);
    heif_decoding_options_free(decoding);
    if (failed(error)) return nullptr;
    Planes planes;
    PictureRows rows;
    SDL_Surface *picture = nullptr;
    const int decodedWidth = heif_image_get_primary_width(image);
    const int decodedHeight = heif_image_get_primary_height(image);
    if (planesOf(image, &planes) &&
        startRows(&rows, decodedWidth, decodedHeight, plan.averaged, plan.averagedWidth,
                  plan.averagedHeight, planes.alpha != nullptr, false)) {
        std::vector<unsigned char> row(size_t(decodedWidth) * 4);
        for (int y = 0; y < decodedHeight; y++) {
            rowOf(planes, y, decodedWidth, row.data());
            putPixels(&rows, 0, y, decodedWidth, row.data());
        }
        picture = finishRows(&rows);
    }
    heif_image_release(image);
    return picture;
}

}  // namespace

SDL_Surface *readHeif(int file, const DecodeOptions &options, ImageInfo *info) {
    *info = ImageInfo{false, 0, 0, 0};
    struct stat status;
    if (fstat(file, &status) != 0) {
        SDL_SetError("HEIF: the file cannot be read");
        return nullptr;
    }
    FileReading reading{file, 0, int64_t(status.st_size)};
    heif_context *context = heif_context_alloc();
    if (!context) {
        SDL_OutOfMemory();
        return nullptr;
    }
    heif_context_set_max_decoding_threads(context, readerThreads() > 1 ? readerThreads() : 0);
    heif_image_handle *primary = nullptr;
    SDL_Surface *picture = nullptr;
    if (!failed(heif_context_read_from_reader(context, &kFileReader, &reading, nullptr)) &&
        !failed(heif_context_get_primary_image_handle(context, &primary))) {
        // The size shown: after the transformations the format requires.
        const int width = heif_image_handle_get_width(primary);
        const int height = heif_image_handle_get_height(primary);
        const bool alpha = heif_image_handle_has_alpha_channel(primary);
        *info = ImageInfo{true, width, height, alpha ? 32 : 24};
        const FitPlan plan = planFit(options, width, height);
        heif_image_handle *thumbnail =
            plan.averaged ? coveringThumbnail(primary, plan, width, height) : nullptr;
        picture = decodeHandle(thumbnail ? thumbnail : primary, plan);
        // The colours the picture names; a thumbnail that names none has the picture's.
        std::vector<unsigned char> profile;
        ColourDescription colours{};
        if (thumbnail) colours = coloursOf(thumbnail, &profile);
        if (!thumbnail || (!colours.icc && !colours.primaries && !colours.transfer))
            colours = coloursOf(primary, &profile);
        convertToSrgb(picture, colours, options);
        if (thumbnail) heif_image_handle_release(thumbnail);
        heif_image_handle_release(primary);
    }
    heif_context_free(context);
    return picture;
}

// libheif looks for plugins in a folder on first use; later uses only count.
void prepareHeif() { heif_init(nullptr); }

extern "C" const FormatReaderModule lumoscapeHeifModule = {readHeif, prepareHeif};
