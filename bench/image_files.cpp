// Benchmark inputs: photo-like pictures written as PNG and JPEG files.
#include "image_files.h"

#include <jpeglib.h>
#include <png.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace {

// Smooth colour fields with fine grain, so that both encoders work about as hard as on a photo.
std::vector<unsigned char> photoPixels(int width, int height) {
    std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 3);
    std::mt19937 grain(42);
    std::uniform_int_distribution<int> noise(-12, 12);
    size_t at = 0;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            const double u = double(x) / width, v = double(y) / height;
            const double light =
                0.5 + 0.5 * std::sin(6.0 * u + 3.0 * v) * std::cos(4.0 * v - 2.0 * u);
            const int base[3] = {int(60 + 150 * light * u), int(80 + 120 * light),
                                 int(200 - 140 * v * light)};
            for (int c = 0; c < 3; c++) {
                const int value = base[c] + noise(grain);
                rgb[at++] = static_cast<unsigned char>(value < 0 ? 0 : value > 255 ? 255 : value);
            }
        }
    }
    return rgb;
}

}  // namespace

bool writePhotoPng(const std::string &path, int width, int height) {
    std::vector<unsigned char> rgb = photoPixels(width, height);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    const int written = png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr);
    png_image_free(&image);
    return written != 0;
}

bool writePhotoJpeg(const std::string &path, int width, int height, int quality) {
    FILE *file = fopen(path.c_str(), "wb");
    if (!file) return false;
    std::vector<unsigned char> rgb = photoPixels(width, height);
    jpeg_compress_struct compressor{};
    jpeg_error_mgr errors{};
    compressor.err = jpeg_std_error(&errors);
    jpeg_create_compress(&compressor);
    jpeg_stdio_dest(&compressor, file);
    compressor.image_width = static_cast<JDIMENSION>(width);
    compressor.image_height = static_cast<JDIMENSION>(height);
    compressor.input_components = 3;
    compressor.in_color_space = JCS_RGB;
    jpeg_set_defaults(&compressor);
    jpeg_set_quality(&compressor, quality, TRUE);
    jpeg_start_compress(&compressor, TRUE);
    while (compressor.next_scanline < compressor.image_height) {
        JSAMPROW row = &rgb[static_cast<size_t>(compressor.next_scanline) * width * 3];
        jpeg_write_scanlines(&compressor, &row, 1);
    }
    jpeg_finish_compress(&compressor);
    jpeg_destroy_compress(&compressor);
    return fclose(file) == 0;
}
