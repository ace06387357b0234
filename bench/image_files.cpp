// Test and benchmark inputs: photo-like pictures written as PNG and JPEG files.
#include "image_files.h"

#include <jpeglib.h>
#include <png.h>

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
