// Test and benchmark inputs: photo-like pictures written as PNG and JPEG files, and PNGs of
// every form.
#include "image_files.h"

#include <jpeglib.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace {

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

bool writePhotoJpeg(const std::string &path, int width, int height, int quality, JpegKind kind) {
    FILE *file = fopen(path.c_str(), "wb");
    if (!file) return false;
    jpeg_compress_struct compressor{};
    jpeg_error_mgr errors{};
    compressor.err = jpeg_std_error(&errors);
    jpeg_create_compress(&compressor);
    jpeg_stdio_dest(&compressor, file);
    compressor.image_width = static_cast<JDIMENSION>(width);
    compressor.image_height = static_cast<JDIMENSION>(height);
    compressor.input_components = kind == JpegKind::cmyk ? 4 : 3;
    compressor.in_color_space = kind == JpegKind::cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&compressor);
    jpeg_set_quality(&compressor, quality, TRUE);
    if (kind == JpegKind::greyscale) jpeg_set_colorspace(&compressor, JCS_GRAYSCALE);
    if (kind == JpegKind::progressive) jpeg_simple_progression(&compressor);
    jpeg_start_compress(&compressor, TRUE);

    PhotoRows photo{width, height, kind != JpegKind::flat};
    std::vector<unsigned char> rgb(static_cast<size_t>(width) * 3);
    std::vector<unsigned char> samples(static_cast<size_t>(width) * 4);
    while (compressor.next_scanline < compressor.image_height) {
        photo.row(static_cast<int>(compressor.next_scanline), rgb.data());
        JSAMPROW row = rgb.data();
        if (kind == JpegKind::cmyk) {
            // Inverted CMYK with no black, as Adobe's programs write it.
            for (size_t i = 0, o = 0; i < rgb.size(); i += 3, o += 4) {
                samples[o] = rgb[i];
                samples[o + 1] = rgb[i + 1];
                samples[o + 2] = rgb[i + 2];
                samples[o + 3] = 255;
            }
            row = samples.data();
        }
        jpeg_write_scanlines(&compressor, &row, 1);
    }
    jpeg_finish_compress(&compressor);
    jpeg_destroy_compress(&compressor);
    return fclose(file) == 0;
}

namespace {

// Palette entry `i` of a test PNG: red, green, then colours spread over the cube.
png_color paletteColour(int i) {
    if (i == 0) return {255, 0, 0};
    if (i == 1) return {0, 255, 0};
    return {png_byte(i * 67 % 256), png_byte(i * 131 % 256), png_byte(i * 29 % 256)};
}

}  // namespace

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
            opacity.push_back(form.transparency == PngTransparency::levels ? png_byte(255 - i * 8)
                              : i == 1                                     ? 0
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
