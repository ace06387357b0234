// Test and benchmark inputs of the newer formats, HEIF, AVIF and JPEG XL, and of JPEG 2000, each
// written by its own library's encoder, and each library's own full decode of them to judge the
// viewer by.
#include <avif/avif.h>
#include <jxl/decode.h>
#include <jxl/encode.h>
#include <lcms2.h>
#include <libheif/heif.h>
#include <openjpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

#include "image_files.h"

namespace {

bool writeBytes(const std::string &path, const void *bytes, size_t size) {
    FILE *file = fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool written = fwrite(bytes, 1, size, file) == size;
    return fclose(file) == 0 && written;
}

std::vector<unsigned char> readBytes(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// A picture that tells its corners apart, so that a turn or a mirror shows, with a little
// grain where a benchmark wants a photo's work; alpha fades out towards the right.
std::vector<uint16_t> testPicture(int width, int height, bool alpha, int bits, bool grain) {
    std::vector<uint16_t> rgba(size_t(width) * size_t(height) * 4);
    std::mt19937 generator{7};
    std::uniform_int_distribution<int> noise{-10, 10};
    const double most = (1 << bits) - 1;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            const double u = (x + 0.5) / width, v = (y + 0.5) / height;
            const double colour[3] = {0.1 + 0.8 * u, 0.15 + 0.7 * v * v,
                                      0.5 + 0.4 * std::sin(5 * u + 2 * v)};
            uint16_t *pixel = &rgba[(size_t(y) * size_t(width) + size_t(x)) * 4];
            for (int c = 0; c < 3; c++) {
                const double grained = colour[c] * most + (grain ? noise(generator) : 0);
                pixel[c] = uint16_t(std::lround(std::fmin(most, std::fmax(0, grained))));
            }
            pixel[3] = uint16_t(alpha ? std::lround(most * (1 - 0.9 * u)) : most);
        }
    }
    return rgba;
}

heif_error writeHeifBytes(heif_context *, const void *data, size_t size, void *path) {
    const bool written = writeBytes(*static_cast<const std::string *>(path), data, size);
    return {written ? heif_error_Ok : heif_error_Encoding_error, heif_suberror_Unspecified, ""};
}

heif_image *heifPicture(int width, int height, bool alpha, int bits, bool grain) {
    const std::vector<uint16_t> rgba = testPicture(width, height, alpha, bits, grain);
    const heif_chroma chroma =
        bits > 8 ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                 : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image *image = nullptr;
    heif_image_create(width, height, heif_colorspace_RGB, chroma, &image);
    heif_image_add_plane(image, heif_channel_interleaved, width, height, bits);
    int stride = 0;
    uint8_t *plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    const int channels = alpha ? 4 : 3;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            for (int c = 0; c < channels; c++) {
                const uint16_t value =
                    rgba[(size_t(y) * size_t(width) + size_t(x)) * 4 + size_t(c)];
                if (bits > 8) {
                    uint8_t *at = plane + size_t(y) * size_t(stride) + size_t(x * channels + c) * 2;
                    at[0] = uint8_t(value & 0xff);
                    at[1] = uint8_t(value >> 8);
                } else {
                    plane[size_t(y) * size_t(stride) + size_t(x * channels + c)] = uint8_t(value);
                }
            }
        }
    }
    return image;
}

bool writeHeif(const std::string &path, ModernKind kind, int width, int height, int thumbnail,
               bool grain, const std::vector<unsigned char> &profile) {
    heif_context *context = heif_context_alloc();
    heif_encoder *encoder = nullptr;
    if (heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code) {
        heif_context_free(context);
        return false;
    }
    heif_encoder_set_parameter(encoder, "preset", "ultrafast");
    heif_encoder_set_lossy_quality(encoder, 90);
    heif_encoding_options *options = heif_encoding_options_alloc();
    if (kind == ModernKind::turned) options->image_orientation = heif_orientation_rotate_90_cw;
    if (kind == ModernKind::mirrored)
        options->image_orientation = heif_orientation_flip_horizontally;
    const int bits = kind == ModernKind::deep ? 10 : 8;
    heif_image *image = heifPicture(width, height, kind == ModernKind::alpha, bits, grain);
    if (!profile.empty())
        heif_image_set_raw_color_profile(image, "prof", profile.data(), profile.size());
    heif_image_handle *primary = nullptr;
    bool done = heif_context_encode_image(context, image, encoder, options, &primary).code == 0;
    if (done && thumbnail > 0) {
        heif_image_handle *small = nullptr;
        if (kind == ModernKind::skewedThumbnail) {
            // A thumbnail of another shape: as wide as asked, half as high.
            heif_image *other = heifPicture(thumbnail, thumbnail / 2, false, 8, false);
            done = heif_context_encode_image(context, other, encoder, nullptr, &small).code == 0;
            // libheif before 1.16 takes the two handles the other way round from what it says.
#if LIBHEIF_NUMERIC_VERSION < LIBHEIF_MAKE_VERSION(1, 16, 0)
            done = done && heif_context_assign_thumbnail(context, small, primary).code == 0;
#else
            done = done && heif_context_assign_thumbnail(context, primary, small).code == 0;
#endif
            heif_image_release(other);
        } else {
            done = heif_context_encode_thumbnail(context, image, primary, encoder, options,
                                                 thumbnail, &small)
                       .code == 0;
        }
        if (small) heif_image_handle_release(small);
        heif_context_set_primary_image(context, primary);
    }
    heif_writer writer{1, writeHeifBytes};
    std::string target = path;
    done = done && heif_context_write(context, &writer, &target).code == 0;
    if (primary) heif_image_handle_release(primary);
    heif_image_release(image);
    heif_encoding_options_free(options);
    heif_encoder_release(encoder);
    heif_context_free(context);
    return done;
}

avifImage *avifPicture(int width, int height, bool alpha, int bits, bool black, bool grain,
                       avifPixelFormat layout = AVIF_PIXEL_FORMAT_YUV420) {
    avifImage *image = avifImageCreate(uint32_t(width), uint32_t(height), uint32_t(bits), layout);
    std::vector<uint16_t> rgba = testPicture(width, height, alpha, bits, grain);
    if (black) {
        for (size_t i = 0; i < rgba.size(); i++) rgba[i] = i % 4 == 3 ? rgba[i] : 0;
    }
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, image);
    rgb.format = AVIF_RGB_FORMAT_RGBA;
    rgb.depth = uint32_t(bits);
    rgb.pixels = reinterpret_cast<uint8_t *>(rgba.data());
    rgb.rowBytes = uint32_t(width) * 4 * 2;
    if (bits == 8) {
        // Eight-bit samples one byte each.
        for (size_t i = 0; i < rgba.size(); i++) rgb.pixels[i] = uint8_t(rgba[i]);
        rgb.rowBytes = uint32_t(width) * 4;
    }
    if (alpha) avifImageAllocatePlanes(image, AVIF_PLANES_A);
    if (avifImageRGBToYUV(image, &rgb) != AVIF_RESULT_OK) {
        avifImageDestroy(image);
        return nullptr;
    }
    return image;
}

bool writeAvif(const std::string &path, ModernKind kind, int width, int height, bool grain,
               const std::vector<unsigned char> &profile) {
    avifEncoder *encoder = avifEncoderCreate();
    encoder->speed = AVIF_SPEED_FASTEST;
    encoder->minQuantizer = encoder->maxQuantizer = 8;
    const bool alpha = kind == ModernKind::alpha || kind == ModernKind::animated;
    const int bits = kind == ModernKind::deep ? 10 : 8;
    std::vector<avifImage *> images;
    bool done = true;
    if (kind == ModernKind::grid || kind == ModernKind::sharedGrid) {
        // Two by two cells of even sizes, as the format asks of 4:2:0 cells.
        for (int cell = 0; cell < 4; cell++)
            images.push_back(avifPicture(width / 2, height / 2, false, bits, cell == 3, grain));
        done = avifEncoderAddImageGrid(encoder, 2, 2, images.data(), AVIF_ADD_IMAGE_FLAG_SINGLE) ==
               AVIF_RESULT_OK;
    } else {
        images.push_back(avifPicture(
            width, height, alpha, bits, false, grain,
            kind == ModernKind::fullChroma ? AVIF_PIXEL_FORMAT_YUV444 : AVIF_PIXEL_FORMAT_YUV420));
        if (kind == ModernKind::turned || kind == ModernKind::turnedMirrored) {
            images[0]->transformFlags |= AVIF_TRANSFORM_IROT;
            images[0]->irot.angle = 1;
        }
        if (kind == ModernKind::mirrored || kind == ModernKind::flipped ||
            kind == ModernKind::turnedMirrored) {
            images[0]->transformFlags |= AVIF_TRANSFORM_IMIR;
            images[0]->imir.mode = kind == ModernKind::flipped ? 0 : 1;
        }
        if (kind == ModernKind::croppedTop) {
            // The whole width, 8 rows fewer, its centre 4 rows below the picture's.
            images[0]->transformFlags |= AVIF_TRANSFORM_CLAP;
            images[0]->clap =
                avifCleanApertureBox{uint32_t(width), 1, uint32_t(height - 8), 1, 0, 1, 4, 1};
        }
        if (kind == ModernKind::animated)
            images.push_back(avifPicture(width, height, alpha, bits, true, grain));
        if (!profile.empty() && images[0])
            avifImageSetProfileICC(images[0], profile.data(), profile.size());
        if (kind == ModernKind::nclxP3 && images[0]) {
            images[0]->colorPrimaries = AVIF_COLOR_PRIMARIES_SMPTE432;
            images[0]->transferCharacteristics = AVIF_TRANSFER_CHARACTERISTICS_SRGB;
        }
        for (avifImage *image : images) {
            done = done && image &&
                   avifEncoderAddImage(
                       encoder, image, 1,
                       images.size() > 1 ? AVIF_ADD_IMAGE_FLAG_NONE : AVIF_ADD_IMAGE_FLAG_SINGLE) ==
                       AVIF_RESULT_OK;
        }
    }
    avifRWData output = AVIF_DATA_EMPTY;
    done = done && avifEncoderFinish(encoder, &output) == AVIF_RESULT_OK;
    if (done && kind == ModernKind::sharedGrid) {
        // The grid's references to its cells (16-bit item numbers after the grid's own and
        // their count) all made the first cell's.
        const unsigned char *end = output.data + output.size;
        const char dimg[] = "dimg";
        auto *at = std::search(output.data, output.data + output.size, dimg, dimg + 4);
        done = end - at >= 16;
        for (int cell = 1; done && cell < 4; cell++) {
            at[8 + 2 * cell] = at[8];
            at[9 + 2 * cell] = at[9];
        }
    }
    done = done && writeBytes(path, output.data, output.size);
    avifRWDataFree(&output);
    for (avifImage *image : images) {
        if (image) avifImageDestroy(image);
    }
    avifEncoderDestroy(encoder);
    return done;
}

bool addJxlFrame(JxlEncoderFrameSettings *settings, int width, int height, bool alpha, int bits,
                 bool black, bool grain) {
    std::vector<uint16_t> rgba = testPicture(width, height, alpha, bits, grain);
    if (black) {
        for (size_t i = 0; i < rgba.size(); i++) rgba[i] = i % 4 == 3 ? rgba[i] : 0;
    }
    const uint32_t channels = alpha ? 4 : 3;
    const JxlPixelFormat format{channels, JXL_TYPE_UINT16, JXL_NATIVE_ENDIAN, 0};
    // Samples scaled to the full 16 bits the buffer says it holds.
    const int shift = 16 - bits;
    std::vector<uint16_t> samples;
    for (size_t i = 0; i < rgba.size(); i++) {
        if (i % 4 < channels)
            samples.push_back(uint16_t((rgba[i] << shift) | (rgba[i] >> (bits - shift))));
    }
    return JxlEncoderAddImageFrame(settings, &format, samples.data(), samples.size() * 2) ==
           JXL_ENC_SUCCESS;
}

bool writeJxl(const std::string &path, ModernKind kind, int width, int height, bool grain,
              const std::vector<unsigned char> &profile) {
    JxlEncoder *encoder = JxlEncoderCreate(nullptr);
    JxlEncoderFrameSettings *settings = JxlEncoderFrameSettingsCreate(encoder, nullptr);
    JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, 3);
    JxlEncoderSetFrameDistance(settings, 0.5f);
    bool done = true;
    if (kind == ModernKind::recompressed) {
        const std::string jpeg = path + ".jpg";
        done = writePhotoJpeg(jpeg, width, height, 90);
        const std::vector<unsigned char> bytes = readBytes(jpeg);
        std::remove(jpeg.c_str());
        JxlEncoderStoreJPEGMetadata(encoder, JXL_TRUE);
        done =
            done && JxlEncoderAddJPEGFrame(settings, bytes.data(), bytes.size()) == JXL_ENC_SUCCESS;
    } else {
        const bool alpha = kind == ModernKind::alpha || kind == ModernKind::animated;
        const int bits = kind == ModernKind::deep ? 10 : 8;
        JxlBasicInfo basic;
        JxlEncoderInitBasicInfo(&basic);
        basic.xsize = uint32_t(width);
        basic.ysize = uint32_t(height);
        basic.bits_per_sample = uint32_t(bits);
        basic.num_color_channels = 3;
        basic.num_extra_channels = alpha ? 1 : 0;
        basic.alpha_bits = alpha ? uint32_t(bits) : 0;
        if (kind == ModernKind::hugeCanvas) basic.xsize = basic.ysize = 50000;
        if (kind == ModernKind::turned) basic.orientation = JXL_ORIENT_ROTATE_90_CCW;
        if (kind == ModernKind::mirrored) basic.orientation = JXL_ORIENT_FLIP_HORIZONTAL;
        if (kind == ModernKind::animated) {
            basic.have_animation = JXL_TRUE;
            basic.animation.tps_numerator = 10;
            basic.animation.tps_denominator = 1;
        }
        // A picture with a profile of its own is stored losslessly, in that profile's space.
        if (!profile.empty()) {
            basic.uses_original_profile = JXL_TRUE;
            JxlEncoderSetFrameLossless(settings, JXL_TRUE);
        }
        JxlColorEncoding srgb{};
        JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
        done = JxlEncoderSetBasicInfo(encoder, &basic) == JXL_ENC_SUCCESS &&
               (profile.empty() ? JxlEncoderSetColorEncoding(encoder, &srgb) == JXL_ENC_SUCCESS
                                : JxlEncoderSetICCProfile(encoder, profile.data(),
                                                          profile.size()) == JXL_ENC_SUCCESS);
        if (alpha) {
            JxlExtraChannelInfo channel;
            JxlEncoderInitExtraChannelInfo(JXL_CHANNEL_ALPHA, &channel);
            channel.bits_per_sample = uint32_t(bits);
            done = done && JxlEncoderSetExtraChannelInfo(encoder, 0, &channel) == JXL_ENC_SUCCESS;
        }
        const int frames = kind == ModernKind::animated ? 2 : 1;
        for (int frame = 0; done && frame < frames; frame++) {
            JxlFrameHeader header;
            JxlEncoderInitFrameHeader(&header);
            header.duration = 1;
            header.layer_info.have_crop = kind == ModernKind::hugeCanvas;
            header.layer_info.xsize = uint32_t(width);
            header.layer_info.ysize = uint32_t(height);
            if (frames > 1 || header.layer_info.have_crop)
                JxlEncoderSetFrameHeader(settings, &header);
            done = addJxlFrame(settings, width, height, alpha, bits, frame == 1, grain);
        }
    }
    JxlEncoderCloseInput(encoder);
    std::vector<uint8_t> output(4096);
    uint8_t *next = output.data();
    size_t room = output.size();
    JxlEncoderStatus status = JXL_ENC_NEED_MORE_OUTPUT;
    while (done && status == JXL_ENC_NEED_MORE_OUTPUT) {
        status = JxlEncoderProcessOutput(encoder, &next, &room);
        if (status == JXL_ENC_NEED_MORE_OUTPUT) {
            const size_t used = size_t(next - output.data());
            output.resize(output.size() * 2);
            next = output.data() + used;
            room = output.size() - used;
        }
    }
    done = done && status == JXL_ENC_SUCCESS &&
           writeBytes(path, output.data(), size_t(next - output.data()));
    JxlEncoderDestroy(encoder);
    return done;
}

// libheif's own decode, turned and mirrored as the file asks: of AVIF files too, as libavif
// leaves the transformations to its callers.
bool decodeWithLibheif(const std::string &path, std::vector<unsigned char> *rgba, int *width,
                       int *height) {
    heif_context *context = heif_context_alloc();
    heif_image_handle *handle = nullptr;
    heif_image *image = nullptr;
    bool done = heif_context_read_from_file(context, path.c_str(), nullptr).code == 0 &&
                heif_context_get_primary_image_handle(context, &handle).code == 0 &&
                heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGBA,
                                  nullptr)
                        .code == 0;
    if (done) {
        *width = heif_image_get_width(image, heif_channel_interleaved);
        *height = heif_image_get_height(image, heif_channel_interleaved);
        int stride = 0;
        const uint8_t *plane =
            heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
        rgba->resize(size_t(*width) * size_t(*height) * 4);
        for (int y = 0; y < *height; y++)
            memcpy(&(*rgba)[size_t(y) * size_t(*width) * 4], plane + size_t(y) * size_t(stride),
                   size_t(*width) * 4);
    }
    if (image) heif_image_release(image);
    if (handle) heif_image_handle_release(handle);
    heif_context_free(context);
    return done;
}

// libjxl's own decode of the first frame to a full-size buffer, as sRGB where it is asked.
bool decodeWithLibjxl(const std::string &path, std::vector<unsigned char> *rgba, int *width,
                      int *height) {
    const std::vector<unsigned char> bytes = readBytes(path);
    JxlDecoder *decoder = JxlDecoderCreate(nullptr);
    JxlDecoderSubscribeEvents(decoder,
                              JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE);
    JxlDecoderSetInput(decoder, bytes.data(), bytes.size());
    JxlDecoderCloseInput(decoder);
    const JxlPixelFormat format{4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    bool done = false;
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(decoder);
        if (status == JXL_DEC_BASIC_INFO) {
            JxlBasicInfo basic;
            JxlDecoderGetBasicInfo(decoder, &basic);
            // The size turned as the picture shows.
            *width = int(basic.xsize);
            *height = int(basic.ysize);
        } else if (status == JXL_DEC_COLOR_ENCODING) {
            JxlColorEncoding srgb;
            JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
            JxlDecoderSetPreferredColorProfile(decoder, &srgb);
        } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            rgba->resize(size_t(*width) * size_t(*height) * 4);
            JxlDecoderSetImageOutBuffer(decoder, &format, rgba->data(), rgba->size());
        } else {
            done = status == JXL_DEC_FULL_IMAGE;
            break;
        }
    }
    JxlDecoderDestroy(decoder);
    return done;
}

// libavif's own decode of the first frame; false for a picture it would leave to be turned,
// mirrored or cropped.
bool decodeWithLibavif(const std::string &path, std::vector<unsigned char> *rgba, int *width,
                       int *height) {
    avifDecoder *decoder = avifDecoderCreate();
    bool done = avifDecoderSetIOFile(decoder, path.c_str()) == AVIF_RESULT_OK &&
                avifDecoderParse(decoder) == AVIF_RESULT_OK &&
                avifDecoderNextImage(decoder) == AVIF_RESULT_OK &&
                !(decoder->image->transformFlags &
                  (AVIF_TRANSFORM_IROT | AVIF_TRANSFORM_IMIR | AVIF_TRANSFORM_CLAP));
    if (done) {
        avifRGBImage rgb;
        avifRGBImageSetDefaults(&rgb, decoder->image);
        rgb.format = AVIF_RGB_FORMAT_RGBA;
        rgb.depth = 8;
        *width = int(rgb.width);
        *height = int(rgb.height);
        rgba->resize(size_t(rgb.width) * rgb.height * 4);
        rgb.pixels = rgba->data();
        rgb.rowBytes = rgb.width * 4;
        done = avifImageYUVToRGB(decoder->image, &rgb) == AVIF_RESULT_OK;
    }
    avifDecoderDestroy(decoder);
    return done;
}

// openjpeg's encoder, lossless but for the lossy kind, with as many resolution levels as the
// picture's size allows (up to six, its default); a huge canvas is an 8x8 picture whose size is
// then claimed larger.
bool writeJp2(const std::string &path, ModernKind kind, int width, int height, bool grain) {
    const bool grey = kind == ModernKind::greyAlpha;
    const bool alpha = grey || kind == ModernKind::alpha;
    const bool ycc = kind == ModernKind::ycc;
    const int bits = kind == ModernKind::deep ? 16 : 8;
    const int count = (grey ? 1 : 3) + (alpha ? 1 : 0);
    const std::vector<uint16_t> rgba = testPicture(width, height, alpha, bits, grain);
    opj_image_cmptparm_t parts[4] = {};
    for (int c = 0; c < count; c++) {
        const OPJ_UINT32 step = ycc && c > 0 ? 2 : 1;
        parts[c] = {step,
                    step,
                    (OPJ_UINT32(width) + step - 1) / step,
                    (OPJ_UINT32(height) + step - 1) / step,
                    0,
                    0,
                    OPJ_UINT32(bits),
                    0,
                    0};
    }
    opj_image_t *image =
        opj_image_create(OPJ_UINT32(count), parts,
                         grey ? OPJ_CLRSPC_GRAY : (ycc ? OPJ_CLRSPC_SYCC : OPJ_CLRSPC_SRGB));
    if (!image) return false;
    image->x1 = OPJ_UINT32(width);
    image->y1 = OPJ_UINT32(height);
    if (alpha) image->comps[count - 1].alpha = 1;
    for (size_t i = 0; !ycc && i < size_t(width) * size_t(height); i++) {
        for (int c = 0; c < count; c++)
            image->comps[c].data[i] = rgba[i * 4 + (alpha && c == count - 1 ? 3 : size_t(c))];
    }
    // sYCC: full-range BT.601, the chroma of each 2x2 block's top left pixel.
    for (int y = 0; ycc && y < height; y++) {
        for (int x = 0; x < width; x++) {
            const uint16_t *pixel = &rgba[(size_t(y) * size_t(width) + size_t(x)) * 4];
            const double r = pixel[0], g = pixel[1], b = pixel[2];
            image->comps[0].data[size_t(y) * size_t(width) + size_t(x)] =
                int(std::lround(0.299 * r + 0.587 * g + 0.114 * b));
            if (x % 2 || y % 2) continue;
            const size_t at = size_t(y / 2) * image->comps[1].w + size_t(x / 2);
            image->comps[1].data[at] =
                int(std::lround(-0.168736 * r - 0.331264 * g + 0.5 * b + 128));
            image->comps[2].data[at] =
                int(std::lround(0.5 * r - 0.418688 * g - 0.081312 * b + 128));
        }
    }
    opj_cparameters_t parameters;
    opj_set_default_encoder_parameters(&parameters);
    parameters.tcp_numlayers = 1;
    parameters.tcp_rates[0] = kind == ModernKind::lossy ? 20 : 0;
    parameters.irreversible = kind == ModernKind::lossy;
    parameters.cp_disto_alloc = 1;
    parameters.tcp_mct = count >= 3 && !ycc ? 1 : 0;
    parameters.numresolution = 1;
    while (parameters.numresolution < 6 && std::min(width, height) >> parameters.numresolution > 0)
        parameters.numresolution++;
    if (kind == ModernKind::tiled) {
        parameters.tile_size_on = OPJ_TRUE;
        parameters.cp_tdx = parameters.cp_tdy = 64;
    }
    opj_codec_t *codec =
        opj_create_compress(kind == ModernKind::codestream ? OPJ_CODEC_J2K : OPJ_CODEC_JP2);
    opj_stream_t *stream = opj_stream_create_default_file_stream(path.c_str(), OPJ_FALSE);
    const bool done = stream && opj_setup_encoder(codec, &parameters, image) &&
                      opj_start_compress(codec, image, stream) && opj_encode(codec, stream) &&
                      opj_end_compress(codec, stream);
    if (stream) opj_stream_destroy(stream);
    opj_destroy_codec(codec);
    opj_image_destroy(image);
    if (!done || kind != ModernKind::hugeCanvas) return done;
    // The SIZ marker's width and height, and its tile's, are claimed 50000, and the JP2
    // header's height and width.
    std::vector<unsigned char> bytes = readBytes(path);
    const unsigned char huge[4] = {0, 0, 0xc3, 0x50};
    const std::pair<std::string, std::vector<size_t>> claims[] = {{"\xff\x51", {6, 10, 22, 26}},
                                                                  {"ihdr", {4, 8}}};
    for (const auto &[marker, fields] : claims) {
        const auto at = std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end(),
                                    [](unsigned char a, char b) { return a == (unsigned char)b; });
        if (bytes.end() - at < 30) return false;
        for (const size_t field : fields) std::copy(huge, huge + 4, at + long(field));
    }
    return writeBytes(path, bytes.data(), bytes.size());
}

// openjpeg's own full decode, each component's samples brought to 8 bits: grey or RGB, with
// alpha after them.
bool decodeWithOpenjpeg(const std::string &path, std::vector<unsigned char> *rgba, int *width,
                        int *height) {
    const std::vector<unsigned char> start = readBytes(path);
    const bool bare = start.size() > 2 && start[0] == 0xff && start[1] == 0x4f;
    opj_codec_t *codec = opj_create_decompress(bare ? OPJ_CODEC_J2K : OPJ_CODEC_JP2);
    opj_stream_t *stream = opj_stream_create_default_file_stream(path.c_str(), OPJ_TRUE);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    opj_image_t *image = nullptr;
    bool done = stream && opj_setup_decoder(codec, &parameters) &&
                opj_read_header(stream, codec, &image) && opj_decode(codec, stream, image) &&
                opj_end_decompress(codec, stream);
    if (done) {
        const int count = int(image->numcomps);
        const bool alpha = count == 2 || count == 4;
        *width = int(image->comps[0].w);
        *height = int(image->comps[0].h);
        rgba->resize(size_t(*width) * size_t(*height) * 4);
        // sYCC made RGB, its chroma taken at each pixel's 2x2 block.
        for (int y = 0; image->color_space == OPJ_CLRSPC_SYCC && y < *height; y++) {
            for (int x = 0; x < *width; x++) {
                const size_t chroma = size_t(y / 2) * image->comps[1].w + size_t(x / 2);
                const double luma = image->comps[0].data[size_t(y) * size_t(*width) + size_t(x)];
                const double cb = image->comps[1].data[chroma] - 128.0;
                const double cr = image->comps[2].data[chroma] - 128.0;
                const double rgb[3] = {luma + 1.402 * cr, luma - 0.344136 * cb - 0.714136 * cr,
                                       luma + 1.772 * cb};
                unsigned char *pixel = &(*rgba)[(size_t(y) * size_t(*width) + size_t(x)) * 4];
                for (int c = 0; c < 3; c++)
                    pixel[c] = (unsigned char)std::lround(std::fmin(255, std::fmax(0, rgb[c])));
                pixel[3] = 255;
            }
        }
        for (size_t i = 0;
             image->color_space != OPJ_CLRSPC_SYCC && i < size_t(*width) * size_t(*height); i++) {
            for (int c = 0; c < 4; c++) {
                const int from = c == 3 ? (alpha ? count - 1 : -1) : (count >= 3 ? c : 0);
                if (from < 0) {
                    (*rgba)[i * 4 + 3] = 255;
                    continue;
                }
                const int most = (1 << image->comps[from].prec) - 1;
                (*rgba)[i * 4 + size_t(c)] =
                    (unsigned char)((int64_t(image->comps[from].data[i]) * 255 + most / 2) / most);
            }
        }
    }
    if (image) opj_image_destroy(image);
    if (stream) opj_stream_destroy(stream);
    opj_destroy_codec(codec);
    return done;
}

}  // namespace

bool writeModernFile(const std::string &path, ModernFormat format, ModernKind kind, int width,
                     int height, int thumbnail, bool grain,
                     const std::vector<unsigned char> &profile) {
    switch (format) {
    case ModernFormat::heif:
        return writeHeif(path, kind, width, height, thumbnail, grain, profile);
    case ModernFormat::avif:
        return writeAvif(path, kind, width, height, grain, profile);
    case ModernFormat::jxl:
        return writeJxl(path, kind, width, height, grain, profile);
    case ModernFormat::jp2:
        return writeJp2(path, kind, width, height, grain);
    }
    return false;
}

namespace {

// A model of inks for the CMYK profile: each takes its share of its complementary primary
// away, black all three; the result as Lab, which the profile's table holds.
cmsInt32Number inkModel(const cmsUInt16Number in[], cmsUInt16Number out[], void *) {
    double rgb[3];
    const double black = in[3] / 65535.0;
    for (int c = 0; c < 3; c++) rgb[c] = (1 - in[c] / 65535.0) * (1 - black);
    // Linear sRGB to XYZ (D50, as the profile connection space is), then Lab.
    const cmsCIEXYZ xyz{0.4360 * rgb[0] + 0.3851 * rgb[1] + 0.1431 * rgb[2],
                        0.2225 * rgb[0] + 0.7169 * rgb[1] + 0.0606 * rgb[2],
                        0.0139 * rgb[0] + 0.0971 * rgb[1] + 0.7141 * rgb[2]};
    cmsCIELab lab;
    cmsXYZ2Lab(cmsD50_XYZ(), &lab, &xyz);
    cmsFloat2LabEncoded(out, &lab);
    return 1;
}

cmsHPROFILE makeProfile(TestProfile which) {
    const cmsCIExyY d65{0.3127, 0.3290, 1}, d50{0.3457, 0.3585, 1};
    const double srgbCurve[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    cmsToneCurve *curve = nullptr;
    cmsCIExyYTRIPLE primaries{};
    const cmsCIExyY *white = &d65;
    switch (which) {
    case TestProfile::srgb:
        return cmsCreate_sRGBProfile();
    case TestProfile::tabulatedSrgb: {
        cmsToneCurve *exact = cmsBuildParametricToneCurve(nullptr, 4, srgbCurve);
        cmsUInt16Number steps[16];
        for (int i = 0; i < 16; i++)
            steps[i] = cmsUInt16Number(
                cmsEvalToneCurveFloat(exact, cmsFloat32Number(i / 15.0)) * 65535 + 0.5);
        cmsFreeToneCurve(exact);
        curve = cmsBuildTabulatedToneCurve16(nullptr, 16, steps);
        primaries = {{0.64, 0.33, 1}, {0.30, 0.60, 1}, {0.15, 0.06, 1}};
        break;
    }
    case TestProfile::grey22: {
        cmsToneCurve *grey = cmsBuildGamma(nullptr, 2.2);
        cmsHPROFILE profile = cmsCreateGrayProfile(&d50, grey);
        cmsFreeToneCurve(grey);
        return profile;
    }
    case TestProfile::cmyk: {
        cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
        cmsSetProfileVersion(profile, 4.3);
        cmsSetDeviceClass(profile, cmsSigOutputClass);
        cmsSetColorSpace(profile, cmsSigCmykData);
        cmsSetPCS(profile, cmsSigLabData);
        cmsPipeline *pipeline = cmsPipelineAlloc(nullptr, 4, 3);
        cmsStage *table = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
        cmsStageSampleCLut16bit(table, inkModel, nullptr, 0);
        // The table between the plain curves the tag's type has round it.
        cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 4, nullptr));
        cmsPipelineInsertStage(pipeline, cmsAT_END, table);
        cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
        cmsWriteTag(profile, cmsSigAToB0Tag, pipeline);
        cmsPipelineFree(pipeline);
        return profile;
    }
    case TestProfile::displayP3:
        primaries = {{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}};
        curve = cmsBuildParametricToneCurve(nullptr, 4, srgbCurve);
        break;
    case TestProfile::adobeRgb:
        primaries = {{0.640, 0.330, 1}, {0.210, 0.710, 1}, {0.150, 0.060, 1}};
        curve = cmsBuildGamma(nullptr, 563 / 256.0);
        break;
    case TestProfile::proPhoto:
        primaries = {{0.7347, 0.2653, 1}, {0.1596, 0.8404, 1}, {0.0366, 0.0001, 1}};
        curve = cmsBuildGamma(nullptr, 1.8);
        white = &d50;
        break;
    }
    cmsToneCurve *curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(white, &primaries, curves);
    cmsFreeToneCurve(curve);
    return profile;
}

}  // namespace

std::vector<unsigned char> testProfile(TestProfile which) {
    cmsHPROFILE profile = makeProfile(which);
    cmsUInt32Number size = 0;
    std::vector<unsigned char> bytes;
    if (profile && cmsSaveProfileToMem(profile, nullptr, &size)) {
        bytes.resize(size);
        cmsSaveProfileToMem(profile, bytes.data(), &size);
    }
    if (profile) cmsCloseProfile(profile);
    return bytes;
}

bool decodeModernFile(const std::string &path, ModernFormat format,
                      std::vector<unsigned char> *rgba, int *width, int *height) {
    if (format == ModernFormat::jxl) return decodeWithLibjxl(path, rgba, width, height);
    if (format == ModernFormat::jp2) return decodeWithOpenjpeg(path, rgba, width, height);
    return (format == ModernFormat::avif && decodeWithLibavif(path, rgba, width, height)) ||
           decodeWithLibheif(path, rgba, width, height);
}
