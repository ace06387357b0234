// Test and benchmark inputs: photo-like pictures written as PNG and JPEG files, and PNGs of
// every form.
#include "image_files.h"

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// Palette entry `i` of a test PNG or GIF: red, green, then colours spread over the cube.
png_color paletteColour(int i) {
    if (i == 0) return {255, 0, 0};
    if (i == 1) return {0, 255, 0};
    return {png_byte(i * 67 % 256), png_byte(i * 131 % 256), png_byte(i * 29 % 256)};
}

// Smooth colour fields with fine grain, so that both encoders work about as hard as on a
// photo; made a row at a time, so that even very large pictures need little memory.
struct PhotoRows {
    int width, height;
    bool grain;
    std::mt19937 generator{42};
    std::uniform_int_distribution<int> noise{-12, 12};

    void row(int y, unsigned char *rgb) {
        for (int x = 0; x < width; x++) {
            const double u = double(x) / width, v = double(y) / height;
            const double light =
                grain ? 0.5 + 0.5 * std::sin(6.0 * u + 3.0 * v) * std::cos(4.0 * v - 2.0 * u)
                      : 0.5 + 0.5 * u * v;
            const int base[3] = {int(60 + 150 * light * u), int(80 + 120 * light),
                                 int(200 - 140 * v * light)};
            for (int c = 0; c < 3; c++) {
                const int value = base[c] + (grain ? noise(generator) : 0);
                *rgb++ = static_cast<unsigned char>(value < 0 ? 0 : value > 255 ? 255 : value);
            }
        }
    }
};

}  // namespace

bool writePhotoPng(const std::string &path, int width, int height) {
    std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 3);
    PhotoRows photo{width, height, true};
    for (int y = 0; y < height; y++) photo.row(y, &rgb[static_cast<size_t>(y) * width * 3]);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    const int written = png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr);
    png_image_free(&image);
    return written != 0;
}

bool writePhotoJpeg(const std::string &path, int width, int height, int quality, JpegKind kind,
                    int orientation, const std::string &exif,
                    const std::vector<unsigned char> &profile) {
    FILE *file = fopen(path.c_str(), "wb");
    if (!file) return false;
    jpeg_compress_struct compressor{};
    jpeg_error_mgr errors{};
    compressor.err = jpeg_std_error(&errors);
    jpeg_create_compress(&compressor);
    jpeg_stdio_dest(&compressor, file);
    compressor.image_width = static_cast<JDIMENSION>(width);
    compressor.image_height = static_cast<JDIMENSION>(height);
    const bool inks =
        kind == JpegKind::cmyk || kind == JpegKind::ycck || kind == JpegKind::plainCmyk;
    compressor.input_components = inks ? 4 : 3;
    compressor.in_color_space = inks ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&compressor);
    jpeg_set_quality(&compressor, quality, TRUE);
    if (kind == JpegKind::greyscale) jpeg_set_colorspace(&compressor, JCS_GRAYSCALE);
    if (kind == JpegKind::rgbCoded) jpeg_set_colorspace(&compressor, JCS_RGB);
    if (kind == JpegKind::progressive) jpeg_simple_progression(&compressor);
    if (kind == JpegKind::ycck) jpeg_set_colorspace(&compressor, JCS_YCCK);
    if (kind == JpegKind::plainCmyk) compressor.write_Adobe_marker = FALSE;
    jpeg_start_compress(&compressor, TRUE);
    if (!profile.empty())
        jpeg_write_icc_profile(&compressor, profile.data(),
                               static_cast<unsigned int>(profile.size()));
    if (!exif.empty()) {
        jpeg_write_marker(&compressor, JPEG_APP0 + 1, reinterpret_cast<const JOCTET *>(exif.data()),
                          static_cast<unsigned int>(exif.size()));
    } else if (orientation) {
        // EXIF: a little-endian TIFF header and one directory entry, the orientation.
        const unsigned char segment[] = {
            'E', 'x',  'i', 'f', 0,
            0,   'I',  'I', 42,  0,
            8,   0,    0,   0,   1,
            0,   0x12, 1,   3,   0,
            1,   0,    0,   0,   static_cast<unsigned char>(orientation),
            0,   0,    0,   0,   0,
            0,   0};
        jpeg_write_marker(&compressor, JPEG_APP0 + 1, segment, sizeof segment);
    }

    PhotoRows photo{width, height, kind != JpegKind::flat};
    std::vector<unsigned char> rgb(static_cast<size_t>(width) * 3);
    std::vector<unsigned char> samples(static_cast<size_t>(width) * 4);
    while (compressor.next_scanline < compressor.image_height) {
        const int y = static_cast<int>(compressor.next_scanline);
        photo.row(y, rgb.data());
        for (int x = 0; kind == JpegKind::card && x < width; x++) {
            const bool right = x >= width / 2, bottom = y >= height / 2;
            rgb[size_t(x) * 3] = right == bottom ? 255 : 0;
            rgb[size_t(x) * 3 + 1] = right ? 255 : 0;
            rgb[size_t(x) * 3 + 2] = bottom ? 255 : 0;
        }
        JSAMPROW row = rgb.data();
        if (inks) {
            // Inverted CMYK with no black, as Adobe's programs write it; or the inks as they
            // are, without Adobe's marker.
            const bool inverted = kind != JpegKind::plainCmyk;
            for (size_t i = 0, o = 0; i < rgb.size(); i += 3, o += 4) {
                for (int c = 0; c < 3; c++)
                    samples[o + size_t(c)] =
                        JSAMPLE(inverted ? rgb[i + size_t(c)] : 255 - rgb[i + size_t(c)]);
                samples[o + 3] = inverted ? 255 : 0;
            }
            row = samples.data();
        }
        jpeg_write_scanlines(&compressor, &row, 1);
    }
    jpeg_finish_compress(&compressor);
    jpeg_destroy_compress(&compressor);
    return fclose(file) == 0;
}

bool writeLineArtPng(const std::string &path, int width, int height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(width);
    image.height = png_uint_32(height);
    image.format = PNG_FORMAT_RGB_COLORMAP;
    image.colormap_entries = 2;
    const png_byte colours[] = {255, 255, 255, 0, 0, 0};
    // Lines of "letters" 9 pixels high: strokes one or two pixels wide, words and gaps.
    std::vector<png_byte> indices(size_t(width) * size_t(height));
    for (int y = 0; y < height; y++) {
        const int line = y % 14;
        for (int x = 0; x < width; x++) {
            const int letter = x % 8, word = (x / 8 + y / 14 * 3) % 7;
            const bool stroke = line < 9 && word < 5 &&
                                (letter == 1 || (letter == 5 && (line + x / 8) % 3 != 0) ||
                                 (line == 0 && letter > 1 && letter < 5) ||
                                 (line == 4 && (x / 8) % 2 == 0 && letter < 6));
            indices[size_t(y) * size_t(width) + size_t(x)] = stroke ? 1 : 0;
        }
    }
    const bool written =
        png_image_write_to_file(&image, path.c_str(), 0, indices.data(), 0, colours) != 0;
    png_image_free(&image);
    return written;
}

std::vector<unsigned char> boxFiltered(const std::vector<unsigned char> &rgba, int width,
                                       int height, int outWidth, int outHeight) {
    std::vector<unsigned char> out;
    out.reserve(size_t(outWidth) * size_t(outHeight) * 4);
    const double across = double(width) / outWidth, down = double(height) / outHeight;
    for (int oy = 0; oy < outHeight; oy++) {
        const double top = oy * down, bottom = (oy + 1) * down;
        for (int ox = 0; ox < outWidth; ox++) {
            const double left = ox * across, right = (ox + 1) * across;
            double sum[4] = {0, 0, 0, 0};
            for (int y = int(top); y < height && y < bottom; y++) {
                const double rows = std::min(bottom, y + 1.0) - std::max(top, double(y));
                for (int x = int(left); x < width && x < right; x++) {
                    const double area =
                        rows * (std::min(right, x + 1.0) - std::max(left, double(x)));
                    const unsigned char *p = &rgba[(size_t(y) * size_t(width) + size_t(x)) * 4];
                    for (int c = 0; c < 3; c++) sum[c] += area * p[c] * p[3];
                    sum[3] += area * p[3];
                }
            }
            for (int c = 0; c < 3; c++)
                out.push_back(sum[3] > 0 ? static_cast<unsigned char>(std::lround(sum[c] / sum[3]))
                                         : 0);
            out.push_back(static_cast<unsigned char>(std::lround(sum[3] / (across * down))));
        }
    }
    return out;
}

bool writeTestPng(const std::string &path, int width, int height, const PngForm &form) {
    FILE *file = fopen(path.c_str(), "wb");
    if (!file) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        fclose(file);
        return false;
    }
    png_init_io(png, file);
    if (form.stored) png_set_compression_level(png, 0);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), form.bitDepth, form.colourType,
                 form.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    const int maximum = (1 << form.bitDepth) - 1;
    const int channels = png_get_channels(png, info);
    const int entries = std::min(maximum + 1, 32);
    // Samples of the pictures that are not paletted: every value of the depth comes up.
    const auto sample = [&](int x, int y, int channel) {
        return ((x * 5 + y * 3 + channel * 7) * (maximum / 63 + 1) + channel * maximum / 3) %
               (maximum + 1);
    };
    if (form.colourType == PNG_COLOR_TYPE_PALETTE) {
        std::vector<png_color> palette;
        std::vector<png_byte> opacity;
        for (int i = 0; i < entries; i++) {
            palette.push_back(paletteColour(i));
            const bool transparent =
                (i == 1 && (form.transparency == PngTransparency::oneColour ||
                            form.transparency == PngTransparency::twoEntries)) ||
                (i == 0 && (form.transparency == PngTransparency::firstEntry ||
                            form.transparency == PngTransparency::twoEntries));
            opacity.push_back(form.transparency == PngTransparency::levels ? png_byte(255 - i * 8)
                              : transparent                                ? 0
                                                                           : 255);
        }
        png_set_PLTE(png, info, palette.data(), entries);
        if (form.transparency != PngTransparency::none)
            png_set_tRNS(png, info, opacity.data(), entries, nullptr);
    } else if (form.transparency == PngTransparency::oneColour) {
        png_color_16 colour{};
        colour.gray = png_uint_16(sample(0, 0, 0));
        colour.red = png_uint_16(sample(0, 0, 0));
        colour.green = png_uint_16(sample(0, 0, 1));
        colour.blue = png_uint_16(sample(0, 0, 2));
        png_set_tRNS(png, info, nullptr, 0, &colour);
    }
    // Said to be sRGB, as 8-bit pictures are taken to be: libpng's simplified reader takes a
    // 16-bit one that says nothing for linear. Unless the test gives a colour space.
    if (!form.profile.empty()) {
        png_set_iCCP(png, info, "test", PNG_COMPRESSION_TYPE_BASE, form.profile.data(),
                     png_uint_32(form.profile.size()));
    } else if (form.gamma > 0) {
        png_set_gAMA(png, info, form.gamma);
        if (form.chromaticities)
            png_set_cHRM(png, info, 0.3127, 0.3290, 0.680, 0.320, 0.265, 0.690, 0.150, 0.060);
        if (form.srgbChromaticities)
            png_set_cHRM(png, info, 0.3127, 0.3290, 0.64, 0.33, 0.30, 0.60, 0.15, 0.06);
    } else {
        png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
    }
    png_write_info(png, info);
    if (form.bitDepth == 16) png_set_swap(png);
    // One row of whole samples, packed by libpng when the depth is under 8 bits.
    const int bytesPerSample = form.bitDepth == 16 ? 2 : 1;
    std::vector<png_byte> row(size_t(width) * size_t(channels) * size_t(bytesPerSample));
    if (form.bitDepth < 8) png_set_packing(png);
    const int passes = png_set_interlace_handling(png);
    for (int pass = 0; pass < passes; pass++) {
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++) {
                for (int c = 0; c < channels; c++) {
                    const int value = form.colourType == PNG_COLOR_TYPE_PALETTE
                                          ? x * entries / width
                                          : sample(x, y, c);
                    const size_t at =
                        (size_t(x) * size_t(channels) + size_t(c)) * size_t(bytesPerSample);
                    row[at] = png_byte(value & 0xff);
                    if (bytesPerSample == 2) row[at + 1] = png_byte(value >> 8);
                }
            }
            png_write_row(png, row.data());
        }
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return fclose(file) == 0;
}

bool writeTestWebp(const std::string &path, int width, int height, WebpKind kind,
                   const std::vector<unsigned char> &profile) {
    std::vector<unsigned char> rgba(size_t(width) * size_t(height) * 4);
    PhotoRows photo{width, height, true};
    std::vector<unsigned char> rgb(size_t(width) * 3);
    for (int y = 0; y < height; y++) {
        photo.row(y, rgb.data());
        for (int x = 0; x < width; x++) {
            unsigned char *pixel = &rgba[(size_t(y) * size_t(width) + size_t(x)) * 4];
            memcpy(pixel, &rgb[size_t(x) * 3], 3);
            pixel[3] = kind == WebpKind::alpha || kind == WebpKind::animated
                           ? static_cast<unsigned char>(255 - x * 255 / width)
                           : 255;
        }
    }
    uint8_t *encoded = nullptr;
    size_t size = 0;
    WebPData animation{};
    if (kind == WebpKind::animated) {
        WebPAnimEncoderOptions options;
        WebPConfig config;
        WebPPicture frame;
        if (!WebPAnimEncoderOptionsInit(&options) || !WebPConfigInit(&config) ||
            !WebPPictureInit(&frame))
            return false;
        WebPAnimEncoder *encoder = WebPAnimEncoderNew(width, height, &options);
        frame.width = width;
        frame.height = height;
        frame.use_argb = 1;
        bool made = encoder && WebPPictureImportRGBA(&frame, rgba.data(), width * 4) &&
                    WebPAnimEncoderAdd(encoder, &frame, 0, &config);
        std::fill(rgba.begin(), rgba.end(), 0);
        for (size_t i = 3; i < rgba.size(); i += 4) rgba[i] = 255;
        made = made && WebPPictureImportRGBA(&frame, rgba.data(), width * 4) &&
               WebPAnimEncoderAdd(encoder, &frame, 100, &config) &&
               WebPAnimEncoderAdd(encoder, nullptr, 200, nullptr) &&
               WebPAnimEncoderAssemble(encoder, &animation);
        WebPPictureFree(&frame);
        WebPAnimEncoderDelete(encoder);
        if (!made) return false;
        encoded = const_cast<uint8_t *>(animation.bytes);
        size = animation.size;
    } else if (kind == WebpKind::lossless) {
        size = WebPEncodeLosslessRGBA(rgba.data(), width, height, width * 4, &encoded);
    } else {
        size = WebPEncodeRGBA(rgba.data(), width, height, width * 4, 90, &encoded);
    }
    // A profile goes into an ICCP chunk of an extended file.
    WebPData tagged = {nullptr, 0};
    if (size && !profile.empty()) {
        const WebPData picture{encoded, size}, colours{profile.data(), profile.size()};
        WebPMux *mux = WebPMuxCreate(&picture, 1);
        if (!mux || WebPMuxSetChunk(mux, "ICCP", &colours, 1) != WEBP_MUX_OK ||
            WebPMuxAssemble(mux, &tagged) != WEBP_MUX_OK)
            size = 0;
        WebPMuxDelete(mux);
    }
    FILE *file = size ? fopen(path.c_str(), "wb") : nullptr;
    const bool written =
        file && (tagged.bytes ? fwrite(tagged.bytes, 1, tagged.size, file) == tagged.size
                              : fwrite(encoded, 1, size, file) == size);
    WebPDataClear(&tagged);
    if (file && fclose(file) != 0) return false;
    if (kind == WebpKind::animated) {
        WebPDataClear(&animation);
    } else {
        WebPFree(encoded);
    }
    return written;
}

bool writeTestGif(const std::string &path, int width, int height, bool transparent, bool interlaced,
                  GifColours colours, bool looping) {
    int error = 0;
    GifFileType *gif = EGifOpenFileName(path.c_str(), false, &error);
    if (!gif) return false;
    GifColorType entries[256];
    for (int i = 0; i < 256; i++) {
        const png_color colour = paletteColour(i);
        entries[i] = GifColorType{colour.red, colour.green, colour.blue};
    }
    ColorMapObject *map = GifMakeMapObject(256, entries);
    EGifSetGifVersion(gif, true);
    bool written = map && EGifPutScreenDesc(gif, width, height, 8, 0,
                                            colours == GifColours::local ? nullptr : map) == GIF_OK;
    if (written && looping) {
        // NETSCAPE2.0: loop for ever, as nearly every animated GIF says.
        const GifByteType application[] = {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
        const GifByteType loop[] = {1, 0, 0};
        written = EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE) == GIF_OK &&
                  EGifPutExtensionBlock(gif, sizeof application, application) == GIF_OK &&
                  EGifPutExtensionBlock(gif, sizeof loop, loop) == GIF_OK &&
                  EGifPutExtensionTrailer(gif) == GIF_OK;
    }
    if (written && transparent) {
        GraphicsControlBlock control{DISPOSAL_UNSPECIFIED, false, 0, 1};
        GifByteType block[4];
        EGifGCBToExtension(&control, block);
        written = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, block) == GIF_OK;
    }
    written = written && EGifPutImageDesc(gif, 0, 0, width, height, interlaced,
                                          colours == GifColours::local ? map : nullptr) == GIF_OK;
    std::vector<GifPixelType> row(static_cast<size_t>(width));
    for (int x = 0; x < width; x++) row[size_t(x)] = GifPixelType(x * 256 / width);
    // Every row alike: the order an interlaced picture stores them in does not matter.
    for (int y = 0; written && y < height; y++)
        written = EGifPutLine(gif, row.data(), width) == GIF_OK;
    GifFreeMapObject(map);
    if (EGifCloseFile(gif, &error) != GIF_OK || !written) return false;
    if (colours != GifColours::none) return true;
    // giflib writes no picture without a table: the global one is taken out afterwards.
    FILE *file = fopen(path.c_str(), "rb");
    if (!file) return false;
    std::string bytes;
    for (int c; (c = fgetc(file)) != EOF;) bytes += char(c);
    fclose(file);
    bytes.erase(13, 3 * 256);
    bytes[10] = char(bytes[10] & 0x7f);
    file = fopen(path.c_str(), "wb");
    return file && fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() && fclose(file) == 0;
}
