// Writes the load fuzzer's seeds: one small valid file of each format SDL_image decodes.
#include <SDL.h>
#include <SDL_image.h>
#include <dirent.h>
#include <tiffio.h>
#include <webp/encode.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "image_files.h"

namespace {

// Seeds are larger than the fuzzer's 64x48 screen, so that fitting runs too.
constexpr int kWidth = 80;
constexpr int kHeight = 60;

std::string folder;

std::vector<unsigned char> rgbPixels() {
    std::vector<unsigned char> rgb(size_t(kWidth) * kHeight * 3);
    for (size_t i = 0; i < rgb.size(); i++) rgb[i] = static_cast<unsigned char>(i * 7 % 251);
    return rgb;
}

bool writeBytes(const std::string &name, const std::string &bytes) {
    FILE *file = fopen((folder + "/" + name).c_str(), "wb");
    if (!file) return false;
    const bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && written;
}

std::string little16(int value) { return {char(value & 0xff), char(value >> 8 & 0xff)}; }

bool writeBmp(const std::string &name, int bitsPerPixel) {
    SDL_Surface *surface =
        SDL_CreateRGBSurface(SDL_SWSURFACE, kWidth, kHeight, bitsPerPixel, 0, 0, 0, 0);
    if (!surface) return false;
    if (bitsPerPixel == 8) {
        SDL_Color colours[4] = {{200, 0, 0, 0}, {0, 200, 0, 0}, {0, 0, 200, 0}, {250, 250, 250, 0}};
        SDL_SetColors(surface, colours, 0, 4);
    }
    for (int y = 0; y < kHeight; y++) {
        SDL_Rect band{0, Sint16(y), Uint16(kWidth), 1};
        SDL_FillRect(surface, &band, SDL_MapRGB(surface->format, Uint8(y * 4), 90, 200));
    }
    const bool written = SDL_SaveBMP(surface, (folder + "/" + name).c_str()) == 0;
    SDL_FreeSurface(surface);
    return written;
}

bool writePnm() {
    const std::vector<unsigned char> rgb = rgbPixels();
    const std::string size = std::to_string(kWidth) + " " + std::to_string(kHeight) + "\n";
    std::string grey, bits, text = "P3\n" + size + "255\n";
    for (size_t i = 0; i < rgb.size(); i += 3) grey += char(rgb[i]);
    for (int y = 0; y < kHeight; y++) bits += std::string((kWidth + 7) / 8, char(0x5a + y));
    for (size_t i = 0; i < 30; i++) text += std::to_string(rgb[i]) + (i % 3 == 2 ? "\n" : " ");
    return writeBytes("seed.ppm", "P6\n" + size + "255\n" + std::string(rgb.begin(), rgb.end())) &&
           writeBytes("seed.pgm", "P5\n" + size + "255\n" + grey) &&
           writeBytes("seed.pbm", "P4\n" + size + bits) && writeBytes("seed-text.ppm", text);
}

bool writeXpm() {
    std::string xpm = "/* XPM */\nstatic char *seed[] = {\n\"" + std::to_string(kWidth) + " " +
                      std::to_string(kHeight) +
                      " 3 1\",\n\". c #000000\",\"x c #FF8000\",\"  c None\",\n";
    for (int y = 0; y < kHeight; y++) {
        std::string row;
        for (int x = 0; x < kWidth; x++) row += ".x "[(x + y) % 3];
        xpm += "\"" + row + "\"" + (y + 1 < kHeight ? ",\n" : "\n");
    }
    return writeBytes("seed.xpm", xpm + "};\n");
}

// Uncompressed true-colour TGA, and the same run-length coded.
bool writeTga() {
    const std::vector<unsigned char> rgb = rgbPixels();
    const auto header = [](int type) {
        return std::string{0, 0, char(type), 0, 0, 0, 0, 0, 0, 0, 0, 0} + little16(kWidth) +
               little16(kHeight) + std::string{24, 0x20};
    };
    std::string plain = header(2), coded = header(10);
    for (size_t i = 0; i < rgb.size(); i += 3)
        plain += {char(rgb[i + 2]), char(rgb[i + 1]), char(rgb[i])};
    for (int y = 0; y < kHeight; y++) {
        for (int x = 0; x < kWidth; x += 16) coded += {char(0x8f), char(y), char(x), 40};
    }
    return writeBytes("seed.tga", plain) && writeBytes("seed-rle.tga", coded);
}

// An 8-bit PCX with its palette at the end; every byte written as a run of one.
bool writePcx() {
    std::string pcx{10, 5, 1, 8, 0, 0, 0, 0};
    pcx += little16(kWidth - 1) + little16(kHeight - 1) + little16(72) + little16(72);
    pcx += std::string(48, '\0') + std::string{0, 1} + little16(kWidth) + little16(1);
    pcx += std::string(128 - pcx.size(), '\0');
    for (int y = 0; y < kHeight; y++) {
        for (int x = 0; x < kWidth; x++) pcx += {char(0xc1), char((x * y) & 0xff)};
    }
    pcx += char(12);
    for (int i = 0; i < 256; i++) pcx += {char(i), char(255 - i), char(i / 2)};
    return writeBytes("seed.pcx", pcx);
}

// A GIF small enough to write by hand: 2x2 pixels, 2 colours, one LZW code a pixel.
bool writeGif() {
    const std::string gif(
        "GIF89a\x02\x00\x02\x00\x80\x00\x00\xff\x00\x00\x00\x00\xff"
        ",\x00\x00\x00\x00\x02\x00\x02\x00\x00\x02\x03\x44\x34\x05\x00;",
        38);
    return writeBytes("seed.gif", gif);
}

bool writeTiff() {
    TIFF *tiff = TIFFOpen((folder + "/seed.tif").c_str(), "w");
    if (!tiff) return false;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, kWidth);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, kHeight);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 8);
    std::vector<unsigned char> rgb = rgbPixels();
    bool written = true;
    for (int y = 0; y < kHeight; y++)
        written =
            written && TIFFWriteScanline(tiff, &rgb[size_t(y) * kWidth * 3], uint32_t(y)) == 1;
    TIFFClose(tiff);
    return written;
}

// Lossy only: SDL_image 1.2 does not decode lossless WebP.
bool writeWebp() {
    const std::vector<unsigned char> rgb = rgbPixels();
    uint8_t *encoded = nullptr;
    const size_t size = WebPEncodeRGB(rgb.data(), kWidth, kHeight, kWidth * 3, 80, &encoded);
    const bool written =
        size && writeBytes("seed.webp", std::string(reinterpret_cast<char *>(encoded), size));
    WebPFree(encoded);
    return written;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    folder = argv[1];
    const bool written =
        writeBmp("seed.bmp", 24) && writeBmp("seed-paletted.bmp", 8) &&
        writePhotoPng(folder + "/seed.png", kWidth, kHeight) &&
        writePhotoJpeg(folder + "/seed.jpg", kWidth, kHeight, 80) &&
        writePhotoJpeg(folder + "/seed-grey.jpg", kWidth, kHeight, 80, JpegKind::greyscale) &&
        writePhotoJpeg(folder + "/seed-progressive.jpg", kWidth, kHeight, 80,
                       JpegKind::progressive) &&
        writePhotoJpeg(folder + "/seed-cmyk.jpg", kWidth, kHeight, 80, JpegKind::cmyk) &&
        writePnm() && writeXpm() && writeTga() && writePcx() && writeGif() && writeTiff() &&
        writeWebp();
    if (!written) {
        fprintf(stderr, "%s: cannot write the seeds into %s\n", argv[0], folder.c_str());
        return 1;
    }
    // A seed the decoder refuses would only start the fuzzer from noise.
    int refused = 0;
    DIR *seeds = opendir(folder.c_str());
    while (const dirent *seed = seeds ? readdir(seeds) : nullptr) {
        if (seed->d_name[0] == '.') continue;
        SDL_Surface *image = IMG_Load((folder + "/" + seed->d_name).c_str());
        if (!image) {
            fprintf(stderr, "%s: %s does not decode: %s\n", argv[0], seed->d_name, IMG_GetError());
            refused++;
        }
        SDL_FreeSurface(image);
    }
    if (seeds) closedir(seeds);
    return refused ? 1 : 0;
}
