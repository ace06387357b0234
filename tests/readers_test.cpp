// Tests of the image readers, in-process: every kind of PNG, WebP, JPEG and GIF against the
// libraries' own simplest readings, the reduced sizes they decode to, and what they leave behind.
#include <SDL_image.h>
#include <dirent.h>
#include <fcntl.h>
#include <gif_lib.h>
#include <libheif/heif.h>
#include <jpeglib.h>
#include <lcms2.h>
#include <png.h>
#include <sys/resource.h>
#include <unistd.h>
#include <webp/decode.h>
#include <webp/demux.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>

#include "display/readers/average.h"
#include "display/readers/colour.h"
#include "display/readers/fit.h"
#include "display/readers/readers.h"
#include "display/readers/surfaces.h"
#include "display/sandbox/warm_up_pictures.h"
#include "image_files.h"
#include "support.h"

// The sizes of the last picture averaged and of its result, as the averager tells them.
static int averaged[4] = {0, 0, 0, 0};
extern "C" void lumoscapeAveragingHook(int width, int height, int outputWidth, int outputHeight) {
    averaged[0] = width;
    averaged[1] = height;
    averaged[2] = outputWidth;
    averaged[3] = outputHeight;
}

namespace {

// The readers, as their table gives them.
SDL_Surface *(*readerOf(const char *name))(int, const DecodeOptions &, ImageInfo *) {
    const Reader *reader = readerNamed(name);
    return reader ? reader->read : nullptr;
}
const auto readPng = readerOf("PNG");
const auto readJpeg = readerOf("JPEG");
const auto readWebp = readerOf("WebP");
const auto readGif = readerOf("GIF");
const auto readHeif = readerOf("HEIF");

const DecodeOptions kScreen{320, 240, 1, 0};

struct Rgba {
    int r, g, b, a;
};

// A pixel as it shows: a colour-keyed palette entry and an opaque surface's alpha byte as SDL
// takes them.
Rgba rgbaAt(SDL_Surface *surface, int x, int y) {
    const Uint8 *at = static_cast<const Uint8 *>(surface->pixels) + size_t(y) * surface->pitch +
                      size_t(x) * surface->format->BytesPerPixel;
    Uint32 value = 0;
    memcpy(&value, at, surface->format->BytesPerPixel);
    Uint8 r, g, b, a;
    SDL_GetRGBA(value, surface->format, &r, &g, &b, &a);
    if (surface->format->BitsPerPixel == 8)
        a = (surface->flags & SDL_SRCCOLORKEY) && value == surface->format->colorkey ? 0 : 255;
    if (!(surface->flags & SDL_SRCALPHA) && surface->format->BitsPerPixel != 8) a = 255;
    return {r, g, b, a};
}

// The exact box filter of the picture (image_files' boxFiltered, which shares nothing with the
// averager), as pixels.
std::vector<Rgba> boxFilter(const std::vector<unsigned char> &rgba, int width, int height,
                            int outWidth, int outHeight) {
    const std::vector<unsigned char> filtered =
        boxFiltered(rgba, width, height, outWidth, outHeight);
    std::vector<Rgba> out;
    for (size_t i = 0; i < filtered.size(); i += 4)
        out.push_back({filtered[i], filtered[i + 1], filtered[i + 2], filtered[i + 3]});
    return out;
}

// The largest difference of a decoded surface from the box filter of the oracle's pixels to
// the surface's expected size, outWidth x outHeight (the full size: the pixels themselves);
// colours count only where a pixel is not wholly transparent. Also their mean, and the PSNR of
// red, green and blue.
int largestDifference(SDL_Surface *decoded, const std::vector<unsigned char> &oracle, int width,
                      int height, int outWidth, int outHeight, double *mean = nullptr,
                      double *psnr = nullptr) {
    EXPECT_EQ(decoded->w, outWidth);
    EXPECT_EQ(decoded->h, outHeight);
    if (decoded->w != outWidth || decoded->h != outHeight) return 256;
    const std::vector<Rgba> expected = boxFilter(oracle, width, height, outWidth, outHeight);
    int largest = 0;
    double total = 0, squares = 0;
    for (int y = 0; y < outHeight; y++) {
        for (int x = 0; x < outWidth; x++) {
            const Rgba got = rgbaAt(decoded, x, y), want = expected[size_t(y * outWidth + x)];
            for (const int apart : {got.r - want.r, got.g - want.g, got.b - want.b})
                squares += double(apart) * apart;
            int difference = std::abs(got.a - want.a);
            if (want.a > 0 && got.a > 0) {
                difference = std::max({difference, std::abs(got.r - want.r),
                                       std::abs(got.g - want.g), std::abs(got.b - want.b)});
            }
            largest = std::max(largest, difference);
            total += difference;
        }
    }
    if (mean) *mean = total / (outWidth * outHeight);
    if (psnr)
        *psnr = 10 * std::log10(255.0 * 255 * 3 * outWidth * outHeight / std::max(squares, 1.0));
    return largest;
}

// What a reader makes of a width x height picture on the test's screen: the averaged size
// where it shrinks, else the full size.
std::pair<int, int> readSize(int width, int height, const DecodeOptions &options = kScreen) {
    const FitPlan plan = planFit(options, width, height);
    return {plan.averagedWidth, plan.averagedHeight};
}

std::vector<unsigned char> libpngRgba(const std::string &path, int *width, int *height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    EXPECT_TRUE(png_image_begin_read_from_file(&image, path.c_str())) << image.message;
    image.format = PNG_FORMAT_RGBA;
    std::vector<unsigned char> rgba(PNG_IMAGE_SIZE(image));
    EXPECT_TRUE(png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr)) << image.message;
    *width = int(image.width);
    *height = int(image.height);
    return rgba;
}

// Decodes `path` with `reader` (options `options`), with the file open only meanwhile.
SDL_Surface *readWith(SDL_Surface *(*reader)(int, const DecodeOptions &, ImageInfo *),
                      const std::string &path, ImageInfo *info,
                      const DecodeOptions &options = kScreen) {
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(file, 0) << path;
    SDL_Surface *decoded = reader(file, options, info);
    close(file);
    return decoded;
}

// Decodes `path` through decodeImage with `options`, its ending naming the format as the
// viewer's does; null with SDL's error on failure.
SDL_Surface *decodePath(const std::string &path, const DecodeOptions &options) {
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ImageInfo info{};
    const size_t dot = path.rfind('.');
    SDL_Surface *decoded = decodeImage(
        file, dot == std::string::npos ? nullptr : path.c_str() + dot + 1, options, &info);
    close(file);
    return decoded;
}

// Writes a width x height RGBA picture as a PNG at `path`.
bool writeRgbaPng(const std::string &path, const std::vector<unsigned char> &rgba, int width,
                  int height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(width);
    image.height = png_uint_32(height);
    image.format = PNG_FORMAT_RGBA;
    return png_image_write_to_file(&image, path.c_str(), 0, rgba.data(), 0, nullptr) != 0;
}

std::string base64(const std::string &bytes) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t at = 0; at < bytes.size(); at += 3) {
        uint32_t group = uint32_t(uint8_t(bytes[at])) << 16;
        if (at + 1 < bytes.size()) group |= uint32_t(uint8_t(bytes[at + 1])) << 8;
        if (at + 2 < bytes.size()) group |= uint8_t(bytes[at + 2]);
        for (size_t digit = 0; digit < 4; digit++)
            text += at + digit <= bytes.size() ? kDigits[(group >> (18 - 6 * digit)) & 63] : '=';
    }
    return text;
}

SDL_Surface *readGifFile(int file, const DecodeOptions &options, ImageInfo *info) {
    return readGif(file, options, info);
}

}  // namespace

using ReadersTest = ViewerTest;

TEST_F(ReadersTest, EveryKindOfPngMatchesLibpngsOwnReading) {
    const std::pair<int, std::vector<int>> types[] = {
        {PNG_COLOR_TYPE_GRAY, {1, 2, 4, 8, 16}}, {PNG_COLOR_TYPE_GRAY_ALPHA, {8, 16}},
        {PNG_COLOR_TYPE_RGB, {8, 16}},           {PNG_COLOR_TYPE_RGB_ALPHA, {8, 16}},
        {PNG_COLOR_TYPE_PALETTE, {1, 2, 4, 8}},
    };
    for (const auto &[type, depths] : types) {
        for (const int depth : depths) {
            for (const PngTransparency transparency :
                 {PngTransparency::none, PngTransparency::oneColour, PngTransparency::levels,
                  PngTransparency::firstEntry, PngTransparency::twoEntries}) {
                const bool palettedOnly = transparency == PngTransparency::levels ||
                                          transparency == PngTransparency::firstEntry ||
                                          transparency == PngTransparency::twoEntries;
                if ((palettedOnly && type != PNG_COLOR_TYPE_PALETTE) ||
                    (transparency == PngTransparency::oneColour && (type & PNG_COLOR_MASK_ALPHA)))
                    continue;
                for (const bool interlaced : {false, true}) {
                    // One that fits, and one read reduced by 2x2 blocks whose last one in
                    // each row and column is partial.
                    for (const auto &[width, height] : {std::pair{37, 23}, std::pair{641, 481}}) {
                        const std::string path = dir + "/form.png";
                        SCOPED_TRACE(testing::Message()
                                     << "type " << type << ", " << depth << " bits, transparency "
                                     << int(transparency) << ", interlaced " << interlaced << ", "
                                     << width);
                        ASSERT_TRUE(writeTestPng(path, width, height,
                                                 {type, depth, transparency, interlaced}));
                        ImageInfo info{};
                        SDL_Surface *decoded = readWith(readPng, path, &info);
                        ASSERT_NE(decoded, nullptr) << SDL_GetError();
                        // libpng's simplified reader misplaces the rows of interlaced 16-bit
                        // pictures: the same picture not interlaced stands in for them.
                        const std::string twin = dir + "/twin.png";
                        ASSERT_TRUE(
                            writeTestPng(twin, width, height, {type, depth, transparency, false}));
                        int oracleWidth = 0, oracleHeight = 0;
                        const auto oracle = libpngRgba(twin, &oracleWidth, &oracleHeight);
                        const bool paletted = decoded->format->BitsPerPixel == 8;
                        // Read whole where they fit, averaged straight to the screen where not.
                        const auto [outWidth, outHeight] = readSize(width, height);
                        EXPECT_LE(
                            largestDifference(decoded, oracle, width, height, outWidth, outHeight),
                            paletted ? 0 : 1);
                        // The INFO line's depth is the one SDL_image gives such a file.
                        SDL_Surface *sdlImage = IMG_Load(path.c_str());
                        ASSERT_NE(sdlImage, nullptr);
                        EXPECT_EQ(info.bitsPerPixel, sdlImage->format->BitsPerPixel);
                        EXPECT_EQ(info.width, width);
                        // Paletted pictures that fit keep SDL_image's paletted surface.
                        EXPECT_EQ(paletted, sdlImage->format->BitsPerPixel == 8 &&
                                                type == PNG_COLOR_TYPE_PALETTE && width < 320);
                        SDL_FreeSurface(sdlImage);
                        SDL_FreeSurface(decoded);
                    }
                }
            }
        }
    }
}

TEST_F(ReadersTest, AVeryTallPalettedPngIsFittedWithItsColours) {
    // Taller than the scaler can step: shrunk whole first, its vertical bands kept.
    const std::string path = dir + "/tall.png";
    ASSERT_TRUE(
        writeTestPng(path, 64, 40000, {PNG_COLOR_TYPE_PALETTE, 8, PngTransparency::none, false}));
    const int file = open(path.c_str(), O_RDONLY);
    ImageInfo info{};
    SDL_Surface *fitted = decodeImage(file, nullptr, kScreen, &info);
    close(file);
    ASSERT_NE(fitted, nullptr) << SDL_GetError();
    EXPECT_EQ(info.height, 40000);
    EXPECT_EQ(fitted->w, 320);
    EXPECT_EQ(fitted->h, 240);
    // 32 entries over 64 columns, 10 columns each on the screen: red, green, then the third.
    EXPECT_EQ(pixelAt(fitted, 4, 120), kRed);
    EXPECT_EQ(pixelAt(fitted, 14, 5), kGreen);
    EXPECT_EQ(pixelAt(fitted, 24, 234), (Rgb{134, 6, 58}));
    SDL_FreeSurface(fitted);
}

TEST_F(ReadersTest, PalettedPngsCutShortShowBlackWhereNoPassReached) {
    // Read whole: every pixel is the picture's own or black, never palette entry 0 (red).
    for (const bool interlaced : {false, true}) {
        const std::string path = dir + "/bands.png", cut = dir + "/cut.png";
        ASSERT_TRUE(writeTestPng(
            path, 700, 500, {PNG_COLOR_TYPE_PALETTE, 8, PngTransparency::none, interlaced, true}));
        int width = 0, height = 0;
        const std::vector<unsigned char> whole = libpngRgba(path, &width, &height);
        const std::string bytes = readWhole(path);
        for (const double kept : {0.01, 0.1, 0.5}) {
            SCOPED_TRACE(testing::Message() << "interlaced " << interlaced << ", kept " << kept);
            writeFile(cut, bytes.substr(0, size_t(double(bytes.size()) * kept)));
            ImageInfo info{};
            SDL_Surface *decoded = readWith(readPng, cut, &info, {800, 600, 1, 0});
            ASSERT_NE(decoded, nullptr) << SDL_GetError();
            ASSERT_EQ(decoded->w, width);
            int own = 0, black = 0, other = 0;
            for (int y = 0; y < height; y++) {
                for (int x = 0; x < width; x++) {
                    const Rgba got = rgbaAt(decoded, x, y);
                    const unsigned char *want = &whole[(size_t(y) * size_t(width) + size_t(x)) * 4];
                    if (got.r == want[0] && got.g == want[1] && got.b == want[2] && got.a == 255)
                        own++;
                    else if (got.r == 0 && got.g == 0 && got.b == 0 && got.a == 255)
                        black++;
                    else
                        other++;
                }
            }
            EXPECT_EQ(other, 0);
            EXPECT_GT(own, 0);
            EXPECT_GT(black, 0);
            SDL_FreeSurface(decoded);
        }
    }
}

TEST_F(ReadersTest, InterlacedPngsCutShortReduceToWhatTheirWholeReadingShows) {
    // Cut within each pass: the first, whose later rows hold nothing yet, and the later ones,
    // whose rows lie between those of the passes before them. Pass n ends at 2^(n-6) of the
    // data (the first two at 1/64 and 1/32).
    for (const int type : {PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA, PNG_COLOR_TYPE_PALETTE}) {
        const std::string path = dir + "/interlaced.png", cut = dir + "/cut.png";
        ASSERT_TRUE(writeTestPng(path, 700, 500, {type, 8, PngTransparency::none, true, true}));
        const std::string bytes = readWhole(path);
        for (const double kept : {0.01, 0.025, 0.04, 0.1, 0.2, 0.4, 0.8}) {
            SCOPED_TRACE(testing::Message() << "type " << type << ", kept " << kept);
            writeFile(cut, bytes.substr(0, size_t(double(bytes.size()) * kept)));
            ImageInfo info{};
            SDL_Surface *whole = readWith(readPng, cut, &info, {320, 240, 0, 0});
            SDL_Surface *reduced = readWith(readPng, cut, &info);
            ASSERT_NE(whole, nullptr) << SDL_GetError();
            ASSERT_NE(reduced, nullptr) << SDL_GetError();
            std::vector<unsigned char> oracle;
            for (int y = 0; y < whole->h; y++) {
                for (int x = 0; x < whole->w; x++) {
                    const Rgba pixel = rgbaAt(whole, x, y);
                    for (const int value : {pixel.r, pixel.g, pixel.b, pixel.a})
                        oracle.push_back(static_cast<unsigned char>(value));
                }
            }
            const auto [outWidth, outHeight] = readSize(700, 500);
            EXPECT_LE(largestDifference(reduced, oracle, 700, 500, outWidth, outHeight), 1);
            SDL_FreeSurface(reduced);
            SDL_FreeSurface(whole);
        }
    }
}

TEST_F(ReadersTest, EveryKindOfWebpMatchesLibwebpsOwnReading) {
    const std::pair<WebpKind, int> kinds[] = {{WebpKind::lossy, 24},
                                              {WebpKind::lossless, 24},
                                              {WebpKind::alpha, 32},
                                              {WebpKind::animated, 32}};
    for (const auto &[kind, depth] : kinds) {
        // One that fits, one that shrinks, and a panorama that shrinks across only.
        for (const auto &[width, height] :
             {std::pair{64, 48}, std::pair{1280, 960}, std::pair{1280, 200}}) {
            SCOPED_TRACE(testing::Message()
                         << "kind " << int(kind) << ", " << width << "x" << height);
            const std::string path = dir + "/picture.webp";
            ASSERT_TRUE(writeTestWebp(path, width, height, kind));
            ImageInfo info{};
            SDL_Surface *decoded = readWith(readWebp, path, &info);
            ASSERT_NE(decoded, nullptr) << SDL_GetError();
            EXPECT_EQ(info.bitsPerPixel, depth);
            EXPECT_EQ(info.height, height);
            // libwebp's own simplest reading; of an animation, its first frame.
            const std::string bytes = readWhole(path);
            const WebPData data{reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()};
            WebPAnimDecoder *frames = WebPAnimDecoderNew(&data, nullptr);
            ASSERT_NE(frames, nullptr);
            uint8_t *rgba = nullptr;
            int timestamp = 0;
            ASSERT_TRUE(WebPAnimDecoderGetNext(frames, &rgba, &timestamp));
            const std::vector<unsigned char> oracle(rgba, rgba + size_t(width) * height * 4);
            WebPAnimDecoderDelete(frames);
            // Scaled while decoded by libwebp's own averaging, straight to the fitted size.
            double mean = 0;
            const FitPlan plan = planFit(kScreen, width, height);
            const int largest = largestDifference(decoded, oracle, width, height, plan.fittedWidth,
                                                  plan.fittedHeight, &mean);
            if (width < 320) {
                EXPECT_EQ(largest, 0);
            } else {
                EXPECT_LT(mean, 3.0);
            }
            SDL_FreeSurface(decoded);
        }
    }
}

// Each library's own simplest full-size reading of a file, as RGBA (a JPEG's as CMYK when
// asked).
std::vector<unsigned char> jpegRgba(const std::string &path, J_COLOR_SPACE space = JCS_EXT_RGBA) {
    FILE *file = fopen(path.c_str(), "rb");
    jpeg_decompress_struct decoder{};
    jpeg_error_mgr errors{};
    decoder.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&decoder);
    jpeg_stdio_src(&decoder, file);
    jpeg_read_header(&decoder, TRUE);
    decoder.out_color_space = space;
    jpeg_start_decompress(&decoder);
    std::vector<unsigned char> rgba(size_t(decoder.output_width) * decoder.output_height * 4);
    while (decoder.output_scanline < decoder.output_height) {
        JSAMPROW row = &rgba[size_t(decoder.output_scanline) * decoder.output_width * 4];
        jpeg_read_scanlines(&decoder, &row, 1);
    }
    jpeg_finish_decompress(&decoder);
    jpeg_destroy_decompress(&decoder);
    fclose(file);
    return rgba;
}

std::vector<unsigned char> webpRgba(const std::string &path) {
    const std::string bytes = readWhole(path);
    int width = 0, height = 0;
    uint8_t *pixels = WebPDecodeRGBA(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(),
                                     &width, &height);
    std::vector<unsigned char> rgba(pixels, pixels + size_t(width) * size_t(height) * 4);
    WebPFree(pixels);
    return rgba;
}

std::vector<unsigned char> gifRgba(const std::string &path) {
    int error = 0;
    GifFileType *gif = DGifOpenFileName(path.c_str(), &error);
    std::vector<unsigned char> rgba;
    if (gif && DGifSlurp(gif) == GIF_OK) {
        const SavedImage &first = gif->SavedImages[0];
        const ColorMapObject *map =
            first.ImageDesc.ColorMap ? first.ImageDesc.ColorMap : gif->SColorMap;
        for (int i = 0; i < first.ImageDesc.Width * first.ImageDesc.Height; i++) {
            const GifColorType &colour = map->Colors[first.RasterBits[i]];
            rgba.insert(rgba.end(), {colour.Red, colour.Green, colour.Blue, 255});
        }
    }
    DGifCloseFile(gif, &error);
    return rgba;
}

TEST_F(ReadersTest, EveryReaderAveragesToTheScreenAsAnExactBoxFilterWould) {
    struct Format {
        const char *name;
        std::function<bool(const std::string &, int, int)> write;
        std::function<std::vector<unsigned char>(const std::string &)> oracle;
        SDL_Surface *(*reader)(int, const DecodeOptions &, ImageInfo *);
        int largest;  // difference from the box filter, per channel
        double mean;
    };
    const auto png = [](PngForm form) {
        return [form](const std::string &path, int width, int height) {
            return writeTestPng(path, width, height, form);
        };
    };
    const auto libpng = [](const std::string &path) {
        int width = 0, height = 0;
        return libpngRgba(path, &width, &height);
    };
    // libwebp's scaling (which interpolates an axis that grows, where the box filter repeats)
    // follows rules of its own, near the exact one, and a JPEG decoded at an eighth has its
    // 8x8 blocks averaged first; PNG and GIF rows are averaged by the viewer itself.
    const Format formats[] = {
        {"RGB PNG", png({PNG_COLOR_TYPE_RGB, 8, PngTransparency::none, false}), libpng, readPng, 1,
         0.5},
        {"RGBA PNG", png({PNG_COLOR_TYPE_RGB_ALPHA, 8, PngTransparency::none, false}), libpng,
         readPng, 1, 0.5},
        {"paletted PNG", png({PNG_COLOR_TYPE_PALETTE, 8, PngTransparency::oneColour, false}),
         libpng, readPng, 1, 0.5},
        {"grey PNG with a transparent level",
         png({PNG_COLOR_TYPE_GRAY, 8, PngTransparency::oneColour, false}), libpng, readPng, 1, 0.5},
        {"interlaced PNG", png({PNG_COLOR_TYPE_RGB, 8, PngTransparency::none, true}), libpng,
         readPng, 1, 0.5},
        {"JPEG",
         [](const std::string &path, int width, int height) {
             return writePhotoJpeg(path, width, height, 90);
         },
         [](const std::string &path) { return jpegRgba(path); }, readJpeg, 10, 2.0},
        {"WebP",
         [](const std::string &path, int width, int height) {
             return writeTestWebp(path, width, height, WebpKind::lossless);
         },
         webpRgba, readWebp, 12, 1.5},
        {"GIF",
         [](const std::string &path, int width, int height) {
             return writeTestGif(path, width, height, false, false);
         },
         gifRgba, readGifFile, 1, 0.5},
    };
    // Exact multiples, one more than a multiple, primes, a single column and a single row,
    // panoramas both ways, and an axis that grows; those far from the screen's shape also
    // fitted in their own.
    const std::pair<int, int> sizes[] = {{640, 480}, {641, 481},  {997, 733},  {1, 1000},
                                         {1000, 1},  {5000, 300}, {300, 2000}, {1280, 100}};
    for (const Format &format : formats) {
        for (const auto &[width, height] : sizes) {
            for (const int keepAspect : {0, 1}) {
                if (keepAspect && width * 3 < height * 4 + 1000 && height * 4 < width * 3 + 1000)
                    continue;
                SCOPED_TRACE(testing::Message() << format.name << " " << width << "x" << height
                                                << (keepAspect ? " in its own shape" : ""));
                DecodeOptions options = kScreen;
                options.keepAspect = keepAspect;
                const std::string path = dir + "/picture";
                ASSERT_TRUE(format.write(path, width, height));
                ImageInfo info{};
                SDL_Surface *decoded = readWith(format.reader, path, &info, options);
                ASSERT_NE(decoded, nullptr) << SDL_GetError();
                const FitPlan plan = planFit(options, width, height);
                // libwebp scales both ways itself; the others average what shrinks.
                const bool scaled = format.reader == readWebp;
                double mean = 0;
                EXPECT_LE(
                    largestDifference(decoded, format.oracle(path), width, height,
                                      scaled ? plan.fittedWidth : plan.averagedWidth,
                                      scaled ? plan.fittedHeight : plan.averagedHeight, &mean),
                    format.largest);
                EXPECT_LE(mean, format.mean);
                SDL_FreeSurface(decoded);
            }
        }
    }
}

TEST_F(ReadersTest, APartialLastBlockCountsForItsShareOnly) {
    // Grey with a one-pixel white border: on the screen the border is a faint line, the share
    // of the edge pixels it covers (a third, here), not a white one.
    const int width = 961, height = 721;
    std::vector<unsigned char> rgba(size_t(width) * height * 4);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            const bool border = x == 0 || y == 0 || x == width - 1 || y == height - 1;
            unsigned char *pixel = &rgba[(size_t(y) * width + size_t(x)) * 4];
            pixel[0] = pixel[1] = pixel[2] = border ? 255 : 100;
            pixel[3] = 255;
        }
    }
    const std::string path = dir + "/border.png";
    ASSERT_TRUE(writeRgbaPng(path, rgba, width, height));
    SDL_Surface *fitted = decodePath(path, kScreen);
    ASSERT_NE(fitted, nullptr) << SDL_GetError();
    ASSERT_EQ(fitted->w, 320);
    const std::vector<Rgba> expected = boxFilter(rgba, width, height, 320, 240);
    for (const auto &[x, y] : {std::pair{319, 120}, std::pair{0, 120}, std::pair{160, 239}}) {
        EXPECT_LE(std::abs(rgbaAt(fitted, x, y).r - expected[size_t(y * 320 + x)].r), 1);
        EXPECT_LT(rgbaAt(fitted, x, y).r, 160) << x << "," << y;  // not a white line
    }
    SDL_FreeSurface(fitted);
}

TEST_F(ReadersTest, AnAveragerAskedToGrowAnAxisKeepsEveryPixelOfIt) {
    // A decoder may give fewer pixels than its file claimed: the axis that would grow keeps
    // them, the other is averaged as asked, in order and in any order alike.
    struct Case {
        int width, height, outputWidth, outputHeight;
    };
    for (const Case &shape : {Case{5, 12, 40, 4}, Case{12, 5, 4, 40}, Case{3, 3, 9, 9}}) {
        for (const bool anyOrder : {false, true}) {
            std::vector<unsigned char> rgba(size_t(shape.width) * shape.height * 4);
            for (size_t i = 0; i < rgba.size(); i++) rgba[i] = (i % 4 == 3) ? 255 : (i * 37) % 251;
            AreaAverager averager{};
            ASSERT_TRUE(startAveraging(&averager, shape.width, shape.height, shape.outputWidth,
                                       shape.outputHeight, true, anyOrder));
            for (int y = 0; y < shape.height; y++)
                averageRow(&averager, y, &rgba[size_t(y) * shape.width * 4], 4);
            SDL_Surface *result = finishAveraging(&averager);
            ASSERT_NE(result, nullptr);
            const int outWidth = std::min(shape.width, shape.outputWidth);
            const int outHeight = std::min(shape.height, shape.outputHeight);
            ASSERT_EQ(result->w, outWidth);
            ASSERT_EQ(result->h, outHeight);
            const std::vector<Rgba> expected =
                boxFilter(rgba, shape.width, shape.height, outWidth, outHeight);
            for (int y = 0; y < outHeight; y++)
                for (int x = 0; x < outWidth; x++)
                    EXPECT_LE(
                        std::abs(rgbaAt(result, x, y).g - expected[size_t(y * outWidth + x)].g), 1)
                        << x << "," << y << " anyOrder " << anyOrder;
            SDL_FreeSurface(result);
        }
    }
    // Or none at all.
    for (const Case &empty : {Case{0, 5, 4, 4}, Case{5, 0, 4, 4}}) {
        AreaAverager averager{};
        EXPECT_FALSE(startAveraging(&averager, empty.width, empty.height, empty.outputWidth,
                                    empty.outputHeight, true, false));
        EXPECT_STREQ(SDL_GetError(), ("a decoded picture of " + std::to_string(empty.width) + "x" +
                                      std::to_string(empty.height) + " cannot be shown")
                                         .c_str());
    }
}

TEST_F(ReadersTest, AColourKeyCountsAsTransparentWhenAPictureIsShrunk) {
    // Half keyed red, half green, as SDL_image makes a picture with a transparent colour: the
    // average is green, half opaque, with nothing of the key's red.
    SDL_Surface *keyed = SDL_CreateRGBSurface(SDL_SWSURFACE, 4, 4, 8, 0, 0, 0, 0);
    ASSERT_NE(keyed, nullptr);
    SDL_Color colours[2] = {{255, 0, 0, 0}, {0, 255, 0, 0}};
    SDL_SetColors(keyed, colours, 0, 2);
    for (int y = 0; y < 4; y++)
        for (int x = 0; x < 4; x++)
            static_cast<Uint8 *>(keyed->pixels)[y * keyed->pitch + x] = x < 2 ? 0 : 1;
    SDL_SetColorKey(keyed, SDL_SRCCOLORKEY, 0);
    SDL_Surface *shrunk = averageSurface(keyed, 1, 1);
    ASSERT_NE(shrunk, nullptr);
    const Rgba pixel = rgbaAt(shrunk, 0, 0);
    EXPECT_EQ(pixel.r, 0);
    EXPECT_EQ(pixel.g, 255);
    EXPECT_NEAR(pixel.a, 128, 1);
    SDL_FreeSurface(shrunk);
    SDL_FreeSurface(keyed);
}

TEST_F(ReadersTest, WhereAnAxisGrowsATransparentNeighbourLendsNoColour) {
    // Transparent black above, red below, 640x120: the rows are doubled across the seam.
    const int width = 640, height = 120;
    std::vector<unsigned char> rgba(size_t(width) * height * 4, 0);
    for (size_t i = size_t(width) * (height / 2) * 4; i < rgba.size(); i += 4) {
        rgba[i] = 255;
        rgba[i + 3] = 255;
    }
    const std::string path = dir + "/seam.png";
    ASSERT_TRUE(writeRgbaPng(path, rgba, width, height));
    SDL_Surface *fitted = decodePath(path, kScreen);
    ASSERT_NE(fitted, nullptr) << SDL_GetError();
    ASSERT_EQ(fitted->h, 240);
    int seam = 0;
    for (int y = 0; y < fitted->h; y++) {
        const Rgba shown = rgbaAt(fitted, 160, y);
        if (shown.a == 0) continue;
        seam += shown.a < 255;
        EXPECT_EQ(shown.r, 255) << "row " << y << " alpha " << shown.a;
    }
    EXPECT_GT(seam, 0);
    SDL_FreeSurface(fitted);
}

TEST_F(ReadersTest, LargePicturesAreDecodedAtTheSmallestSizeThatCoversWhatTheScreenShows) {
    struct Case {
        std::string name;
        std::function<bool(const std::string &)> write;
        SDL_Surface *(*reader)(int, const DecodeOptions &, ImageInfo *);
        int decodedWidth, decodedHeight;  // what the averager is given; 0 for no averaging
        int32_t autorotate = 0;
    };
    const auto jpeg = [](int width, int height, JpegKind kind) {
        return
            [=](const std::string &path) { return writePhotoJpeg(path, width, height, 80, kind); };
    };
    const auto png = [](int width, int height) {
        return [=](const std::string &path) { return writePhotoPng(path, width, height); };
    };
    const Case cases[] = {
        // An eighth covers 320x240 for the photo; a picture of up to 4 MP that an eighth does
        // not cover is decoded whole; past that, a quarter is needed down the panoramas, and
        // the whole picture where an axis grows.
        {"photo.jpg", jpeg(4000, 3000, JpegKind::colour), readJpeg, 500, 375},
        {"middle.jpg", jpeg(1600, 1200, JpegKind::colour), readJpeg, 1600, 1200},
        {"4-mp.jpg", jpeg(2048, 2048, JpegKind::colour), readJpeg, 2048, 2048},
        {"past-4-mp.jpg", jpeg(2048, 2049, JpegKind::colour), readJpeg, 512, 513},
        {"grey.jpg", jpeg(4000, 3000, JpegKind::greyscale), readJpeg, 500, 375},
        {"cmyk.jpg", jpeg(4000, 3000, JpegKind::cmyk), readJpeg, 500, 375},
        {"rgb-panorama.jpg", jpeg(8000, 1000, JpegKind::rgbCoded), readJpeg, 2000, 250},
        {"grey-panorama.jpg", jpeg(16000, 1000, JpegKind::greyscale), readJpeg, 4000, 250},
        {"low-panorama.jpg", jpeg(17000, 200, JpegKind::flat), readJpeg, 17000, 200},
        {"tall.jpg", jpeg(100, 3000, JpegKind::colour), readJpeg, 100, 3000},
        // Stored 8000x1000 and shown turned: its 1000 columns must cover the 320 shown across.
        {"turned-panorama.jpg",
         [](const std::string &path) {
             return writePhotoJpeg(path, 8000, 1000, 80, JpegKind::colour, 6);
         },
         readJpeg, 3000, 375, 1},
        {"photo.png", png(4000, 3000), readPng, 4000, 3000},
        {"panorama.png", png(20000, 600), readPng, 20000, 600},
        {"tall.png", png(100, 40000), readPng, 100, 40000},
        // libwebp scales while it decodes.
        {"photo.webp",
         [](const std::string &path) { return writeTestWebp(path, 1280, 960, WebpKind::lossy); },
         readWebp, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir + "/" + c.name;
        ASSERT_TRUE(c.write(path));
        ImageInfo info{};
        std::fill(std::begin(averaged), std::end(averaged), 0);
        DecodeOptions options = kScreen;
        options.autorotate = c.autorotate;
        SDL_Surface *decoded = readWith(c.reader, path, &info, options);
        ASSERT_NE(decoded, nullptr) << SDL_GetError();
        const FitPlan plan = planFit(options, info.width, info.height);
        const bool scaledByLibrary = c.decodedWidth == 0;
        EXPECT_EQ(averaged[0], c.decodedWidth);
        EXPECT_EQ(averaged[1], c.decodedHeight);
        EXPECT_EQ(decoded->w, scaledByLibrary ? plan.fittedWidth : plan.averagedWidth);
        EXPECT_EQ(decoded->h, scaledByLibrary ? plan.fittedHeight : plan.averagedHeight);
        SDL_FreeSurface(decoded);
        // Through decodeImage, the fitted size exactly.
        const int file = open(path.c_str(), O_RDONLY);
        decoded = decodeImage(file, nullptr, options, &info);
        close(file);
        ASSERT_NE(decoded, nullptr) << SDL_GetError();
        EXPECT_EQ(decoded->w, plan.fittedWidth);
        EXPECT_EQ(decoded->h, plan.fittedHeight);
        SDL_FreeSurface(decoded);
        // Without smoothing nothing is averaged: the full size, where SDL can hold it, and a
        // reason that says why where it cannot.
        decoded = readWith(c.reader, path, &info, {320, 240, 0, 0});
        EXPECT_EQ(decoded ? decoded->w : 0, info.width < 16384 ? info.width : 0);
        if (!decoded) {
            EXPECT_NE(std::string(SDL_GetError()).find("larger than SDL 1.2 can hold"),
                      std::string::npos)
                << SDL_GetError();
        }
        SDL_FreeSurface(decoded);
    }
    // Past the scaler's floor of a thousandth, no fitted size is within the screen: refused.
    const std::string line = dir + "/line.png";
    ASSERT_TRUE(
        writeTestPng(line, 400000, 1, {PNG_COLOR_TYPE_GRAY, 8, PngTransparency::none, false}));
    const int file = open(line.c_str(), O_RDONLY);
    ImageInfo info{};
    EXPECT_EQ(decodeImage(file, nullptr, kScreen, &info), nullptr);
    close(file);
    EXPECT_STREQ(SDL_GetError(), "a 400000x1 picture is too long to be fitted to the screen");
}

TEST_F(ReadersTest, JpegsOfEveryKindShowTheirPictureTheRightWayUp) {
    // A card of four quadrants, with each EXIF orientation: turned upright only when asked.
    // Its corners clockwise from the top left, and for each orientation the corner of the
    // stored picture that shows at each of them.
    const Rgb card[4] = {kRed, kGreen, kWhite, kBlue};
    const int shown[9][4] = {{},           {0, 1, 2, 3}, {1, 0, 3, 2}, {2, 3, 0, 1}, {3, 2, 1, 0},
                             {0, 3, 2, 1}, {3, 0, 1, 2}, {2, 1, 0, 3}, {1, 2, 3, 0}};
    for (int orientation = 1; orientation <= 8; orientation++) {
        SCOPED_TRACE(testing::Message() << "orientation " << orientation);
        const std::string path = dir + "/card.jpg";
        ASSERT_TRUE(writePhotoJpeg(path, 160, 80, 95, JpegKind::card, orientation));
        for (const int autorotate : {0, 1}) {
            ImageInfo info{};
            SDL_Surface *decoded = readWith(readJpeg, path, &info, {320, 240, 1, autorotate});
            ASSERT_NE(decoded, nullptr) << SDL_GetError();
            EXPECT_EQ(info.width, autorotate && orientation >= 5 ? 80 : 160);
            EXPECT_EQ(decoded->w, info.width);
            // The edge pixels themselves: a turn or mirror off by one shows there first.
            const int at[4][2] = {
                {0, 0}, {decoded->w - 1, 0}, {decoded->w - 1, decoded->h - 1}, {0, decoded->h - 1}};
            for (int corner = 0; corner < 4; corner++) {
                const Rgb want = card[shown[autorotate ? orientation : 1][corner]];
                const Rgb got = pixelAt(decoded, at[corner][0], at[corner][1]);
                EXPECT_LE(
                    std::abs(got.r - want.r) + std::abs(got.g - want.g) + std::abs(got.b - want.b),
                    30)
                    << "corner " << corner;
            }
            SDL_FreeSurface(decoded);
        }
    }

    // EXIF as cameras and editors write it: either byte order, the orientation as a SHORT or a
    // LONG, after other tags or far into the segment; and what is no orientation, ignored.
    struct Exif {
        const char *what;
        bool big;
        int type;       // 3 SHORT, 4 LONG
        int before;     // tags ahead of the orientation
        int directory;  // offset of the directory in the TIFF data
        int value;      // the orientation stored
        const char *mark;
        int turned;  // the orientation expected, 1 when it is ignored
    };
    const Exif exifs[] = {
        {"little-endian", false, 3, 0, 8, 6, "II", 6},
        {"big-endian", true, 3, 0, 8, 6, "MM", 6},
        {"big-endian LONG", true, 4, 0, 8, 6, "MM", 6},
        {"little-endian LONG", false, 4, 0, 8, 8, "II", 8},
        {"after three tags", true, 3, 3, 8, 3, "MM", 3},
        {"far offset", false, 3, 1, 3000, 6, "II", 6},
        {"directory past the end", false, 3, 0, 70000, 6, "II", 1},
        {"orientation 0", false, 3, 0, 8, 0, "II", 1},
        {"orientation 9", true, 3, 0, 8, 9, "MM", 1},
        {"no byte-order mark", false, 3, 0, 8, 6, "XX", 1},
        {"a type that is no number", false, 2, 0, 8, 6, "II", 1},
    };
    for (const Exif &exif : exifs) {
        SCOPED_TRACE(exif.what);
        const auto number = [&](uint32_t value, int bytes) {
            std::string out;
            for (int i = 0; i < bytes; i++) {
                const int shift = 8 * (exif.big ? bytes - 1 - i : i);
                out += char((value >> shift) & 0xff);
            }
            return out;
        };
        const auto entry = [&](int tag, int type, uint32_t value) {
            return number(uint32_t(tag), 2) + number(uint32_t(type), 2) + number(1, 4) +
                   (type == 4 ? number(value, 4) : number(value, 2) + std::string(2, '\0'));
        };
        std::string tiff =
            std::string(exif.mark, 2) + number(42, 2) + number(uint32_t(exif.directory), 4);
        tiff += std::string(size_t(std::max(0, std::min(exif.directory, 4000) - 8)), '\0');
        tiff += number(uint32_t(exif.before + 1), 2);
        for (int tag = 0; tag < exif.before; tag++) tiff += entry(0x010f + tag, 3, 1);
        tiff += entry(0x0112, exif.type, uint32_t(exif.value)) + number(0, 4);
        const std::string path = dir + "/exif.jpg";
        ASSERT_TRUE(writePhotoJpeg(path, 160, 80, 95, JpegKind::card, 0,
                                   std::string("Exif\0\0", 6) + tiff));
        ImageInfo info{};
        SDL_Surface *decoded = readWith(readJpeg, path, &info, {320, 240, 1, 1});
        ASSERT_NE(decoded, nullptr) << SDL_GetError();
        const Rgb topLeft = pixelAt(decoded, 0, 0);
        const Rgb want = card[shown[exif.turned][0]];
        EXPECT_LE(std::abs(topLeft.r - want.r) + std::abs(topLeft.g - want.g) +
                      std::abs(topLeft.b - want.b),
                  30);
        EXPECT_EQ(info.width, exif.turned >= 5 ? 80 : 160);
        SDL_FreeSurface(decoded);
    }

    // Inks as Adobe stores them (inverted, also as YCCK with luma and black sampled 2x2) and
    // as others do (not inverted, with no marker) all print as the picture's colours.
    for (const JpegKind inks : {JpegKind::ycck, JpegKind::plainCmyk}) {
        const std::string path = dir + "/inks.jpg";
        ASSERT_TRUE(writePhotoJpeg(path, 161, 81, 95, JpegKind::card));
        ImageInfo info{};
        SDL_Surface *reference = readWith(readJpeg, path, &info);
        ASSERT_TRUE(writePhotoJpeg(path, 161, 81, 95, inks));
        // The card's colours come from the photo rows only for the ink kinds: compare those.
        ASSERT_TRUE(writePhotoJpeg(dir + "/rgb.jpg", 161, 81, 95, JpegKind::colour));
        SDL_FreeSurface(reference);
        reference = readWith(readJpeg, dir + "/rgb.jpg", &info);
        SDL_Surface *decoded = readWith(readJpeg, path, &info);
        ASSERT_NE(decoded, nullptr) << SDL_GetError();
        EXPECT_EQ(info.bitsPerPixel, 32);
        for (const auto &[x, y] : {std::pair{0, 0}, std::pair{80, 40}, std::pair{160, 80}}) {
            const Rgb got = pixelAt(decoded, x, y), want = pixelAt(reference, x, y);
            EXPECT_LE(
                std::abs(got.r - want.r) + std::abs(got.g - want.g) + std::abs(got.b - want.b), 30)
                << int(inks) << " at " << x << "," << y;
        }
        SDL_FreeSurface(reference);
        SDL_FreeSurface(decoded);
    }

    // CMYK prints as the colours it was made from; a file without its end marker is whole.
    const std::string cmyk = dir + "/cmyk.jpg", rgb = dir + "/rgb.jpg", cut = dir + "/cut.jpg";
    ASSERT_TRUE(writePhotoJpeg(cmyk, 64, 48, 95, JpegKind::card));
    std::string bytes = readWhole(cmyk);
    ASSERT_EQ(bytes.substr(bytes.size() - 2), "\xff\xd9");
    writeFile(cut, bytes.substr(0, bytes.size() - 2));
    ASSERT_TRUE(writePhotoJpeg(cmyk, 64, 48, 95, JpegKind::cmyk));
    ASSERT_TRUE(writePhotoJpeg(rgb, 64, 48, 95, JpegKind::colour));
    ImageInfo info{};
    for (const auto &[path, depth] : {std::pair{cmyk, 32}, std::pair{cut, 24}}) {
        SDL_Surface *decoded = readWith(readJpeg, path, &info);
        ASSERT_NE(decoded, nullptr) << path << ": " << SDL_GetError();
        EXPECT_EQ(info.bitsPerPixel, depth);
        SDL_Surface *reference = readWith(readJpeg, path == cmyk ? rgb : path, &info);
        const Rgb got = pixelAt(decoded, 20, 20), want = pixelAt(reference, 20, 20);
        EXPECT_LE(std::abs(got.r - want.r) + std::abs(got.g - want.g) + std::abs(got.b - want.b),
                  24)
            << path;
        SDL_FreeSurface(reference);
        SDL_FreeSurface(decoded);
    }
}

TEST_F(ReadersTest, GifsOfEveryFormMatchGiflibsOwnReading) {
    struct Form {
        const char *what;
        int width;
        GifColours colours;
        bool looping;
    };
    const Form forms[] = {
        {"a global table", 64, GifColours::global, false},
        {"a looping animation's extension first", 64, GifColours::global, true},
        {"a local table only", 64, GifColours::local, false},
        {"an odd width", 333, GifColours::global, false},
        {"no table at all", 64, GifColours::none, false},
    };
    for (const Form &form : forms) {
        SCOPED_TRACE(form.what);
        const std::string path = dir + "/form.gif";
        ASSERT_TRUE(writeTestGif(path, form.width, 20, false, false, form.colours, form.looping));
        int error = 0;
        GifFileType *gif = DGifOpenFileName(path.c_str(), &error);
        ASSERT_NE(gif, nullptr);
        ASSERT_EQ(DGifSlurp(gif), GIF_OK);
        const SavedImage &first = gif->SavedImages[0];
        const ColorMapObject *map =
            first.ImageDesc.ColorMap ? first.ImageDesc.ColorMap : gif->SColorMap;
        ImageInfo info{};
        SDL_Surface *decoded = readWith(readGifFile, path, &info, {800, 600, 1, 0});
        ASSERT_NE(decoded, nullptr) << SDL_GetError();
        ASSERT_EQ(decoded->w, form.width);
        EXPECT_FALSE(decoded->flags & SDL_SRCCOLORKEY);
        for (int y = 0; y < 20; y += 19) {
            for (int x = 0; x < form.width; x++) {
                const int index = first.RasterBits[y * form.width + x];
                // Without any table, a grey ramp.
                const Rgb want = map ? Rgb{map->Colors[index].Red, map->Colors[index].Green,
                                           map->Colors[index].Blue}
                                     : Rgb{Uint8(index), Uint8(index), Uint8(index)};
                ASSERT_EQ(pixelAt(decoded, x, y), want) << x << "," << y;
            }
        }
        SDL_FreeSurface(decoded);
        DGifCloseFile(gif, &error);
    }
}

TEST_F(ReadersTest, GifsGiveTheirFirstPictureWithItsKeyAndShowOneCutShortAsFarAsItGoes) {
    for (const bool interlaced : {false, true}) {
        SCOPED_TRACE(interlaced ? "interlaced" : "not interlaced");
        const std::string path = dir + "/bands.gif";
        ASSERT_TRUE(writeTestGif(path, 512, 300, true, interlaced));
        // Where it fits: paletted, its transparent entry the colour key.
        ImageInfo info{};
        SDL_Surface *decoded = readWith(readGifFile, path, &info, {800, 600, 1, 0});
        ASSERT_NE(decoded, nullptr) << SDL_GetError();
        EXPECT_EQ(info.height, 300);
        EXPECT_EQ(info.bitsPerPixel, 8);
        EXPECT_EQ(decoded->format->palette->ncolors, 256);
        ASSERT_TRUE(decoded->flags & SDL_SRCCOLORKEY);
        EXPECT_EQ(decoded->format->colorkey, 1u);
        EXPECT_EQ(pixelAt(decoded, 0, 299), kRed);    // entry 0
        EXPECT_EQ(pixelAt(decoded, 2, 150), kGreen);  // entry 1, the transparent one
        SDL_FreeSurface(decoded);
        // Where it shrinks: averaged through its palette, the transparent entry counting for
        // nothing, against the box filter of giflib's own reading.
        int error = 0;
        GifFileType *gif = DGifOpenFileName(path.c_str(), &error);
        ASSERT_NE(gif, nullptr);
        ASSERT_EQ(DGifSlurp(gif), GIF_OK);
        std::vector<unsigned char> oracle;
        for (int i = 0; i < 512 * 300; i++) {
            const int index = gif->SavedImages[0].RasterBits[i];
            const GifColorType &colour = gif->SColorMap->Colors[index];
            oracle.insert(oracle.end(), {colour.Red, colour.Green, colour.Blue,
                                         static_cast<unsigned char>(index == 1 ? 0 : 255)});
        }
        DGifCloseFile(gif, &error);
        decoded = readWith(readGifFile, path, &info);
        ASSERT_NE(decoded, nullptr) << SDL_GetError();
        const auto [outWidth, outHeight] = readSize(512, 300);
        EXPECT_LE(largestDifference(decoded, oracle, 512, 300, outWidth, outHeight), 1);
        SDL_FreeSurface(decoded);

        // Cut in the middle: the rows it reached are shown, the others transparent on the
        // black screen; cut before any row, it is refused.
        const std::string bytes = readWhole(path);
        writeFile(path, bytes.substr(0, bytes.size() / 2));
        decoded = readWith(readGifFile, path, &info, {800, 600, 1, 0});
        ASSERT_NE(decoded, nullptr) << SDL_GetError();
        EXPECT_EQ(info.bitsPerPixel, 8);
        EXPECT_EQ(rgbaAt(decoded, 0, 0).r, 255);  // a row of the first pass
        EXPECT_EQ(rgbaAt(decoded, 0, 0).a, 255);
        EXPECT_EQ(rgbaAt(decoded, 0, 299).a, 0);  // never reached
        SDL_FreeSurface(decoded);
        writeFile(path, bytes.substr(0, 800));
        EXPECT_EQ(readWith(readGifFile, path, &info), nullptr);
        EXPECT_STREQ(SDL_GetError(), "GIF file ends before its first picture is complete");
    }
}

TEST_F(ReadersTest, ManyDecodesLeaveNoDescriptorOrMemoryBehind) {
    struct Case {
        const char *name;
        std::function<bool(const std::string &)> write;
        DecodeOptions options = kScreen;
    };
    // Refused for its full-size width unsmoothed, after its profile and conversion were made.
    const DecodeOptions unsmoothed{320, 240, 0, 0};
    const Case cases[] = {
        {"wide-tagged-cmyk.jpg",
         [](const std::string &p) {
             return writePhotoJpeg(p, 16400, 8, 80, JpegKind::cmyk, 0, "",
                                   testProfile(TestProfile::cmyk));
         },
         unsmoothed},
        {"photo.jpg", [](const std::string &p) { return writePhotoJpeg(p, 1000, 750, 80); }},
        {"small.jpg", [](const std::string &p) { return writePhotoJpeg(p, 100, 75, 80); }},
        {"cmyk.jpg",
         [](const std::string &p) { return writePhotoJpeg(p, 800, 600, 80, JpegKind::cmyk); }},
        {"photo.png", [](const std::string &p) { return writePhotoPng(p, 1000, 750); }},
        {"alpha.webp",
         [](const std::string &p) { return writeTestWebp(p, 800, 600, WebpKind::alpha); }},
        {"bands.gif", [](const std::string &p) { return writeTestGif(p, 300, 300, true, false); }},
        {"card.bmp",
         [](const std::string &p) { return !saveImage(makeTestCard(400, 300), p).empty(); }},
    };
    std::vector<std::pair<std::string, DecodeOptions>> paths;
    for (const Case &c : cases) {
        const std::string path = dir + "/" + c.name;
        ASSERT_TRUE(c.write(path)) << c.name;
        paths.emplace_back(path, c.options);
        // The same file cut short, and its first bytes on noise: refusals of each reader.
        const std::string bytes = readWhole(path);
        paths.emplace_back(dir + "/cut-" + c.name, c.options);
        writeFile(paths.back().first, bytes.substr(0, bytes.size() / 3));
        paths.emplace_back(dir + "/noise-" + c.name, c.options);
        writeFile(paths.back().first, bytes.substr(0, 16) + std::string(4000, '\x5a'));
    }
    const auto resident = [] {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
        return 0L;
    };
    long afterFirstRound = 0;
    const int before = openDescriptorCount();
    for (int round = 0; round < 30; round++) {
        for (const auto &[path, options] : paths) {
            const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            ImageInfo info{};
            SDL_FreeSurface(decodeImage(file, "bmp", options, &info));
            close(file);
        }
        if (round == 0) afterFirstRound = resident();
    }
    EXPECT_EQ(openDescriptorCount(), before);
#if defined(__SANITIZE_ADDRESS__)
    const long allowance = 256 * 1024;  // AddressSanitizer's quarantine of freed blocks
#else
    const long allowance = 0;
#endif
    // A picture lost a decode would add tens of megabytes here.
    EXPECT_LT(resident() - afterFirstRound, 8 * 1024 + allowance);
}

TEST_F(ReadersTest, RefusalsOfSdlImagesReadersGiveAReason) {
    // libtiff tells its reasons to standard error, where nobody reads them.
    const std::pair<std::string, std::string> files[] = {
        {"broken.tif", std::string("II*\0\x08\0\0\0\x01\0\x00\x01\x03\0", 14)},
        {"text.tif", std::string("MM\0*garbage that is no directory", 33)},
    };
    for (const auto &[name, bytes] : files) {
        writeFile(dir + "/" + name, bytes);
        const int file = open((dir + "/" + name).c_str(), O_RDONLY);
        ImageInfo info{};
        EXPECT_EQ(decodeImage(file, nullptr, kScreen, &info), nullptr);
        close(file);
        EXPECT_EQ(std::string(SDL_GetError()).rfind("TIFF: ", 0), 0u) << SDL_GetError();
    }
}

TEST_F(ReadersTest, EveryKindOfHeifAvifJpegXlAndJpeg2000MatchesItsLibrarysOwnDecode) {
    constexpr ModernFormat heif = ModernFormat::heif, avif = ModernFormat::avif,
                           jxl = ModernFormat::jxl, jp2 = ModernFormat::jp2;
    using Kind = ModernKind;
    // An AVIF that is turned or mirrored is judged by libheif's decode, which upsamples its
    // chroma by the nearest sample where libavif interpolates: some levels apart where its
    // colours change fastest. A wrong turn or mirror is more than 30 apart on average.
    struct Tolerance {
        int largest;
        double mean;
    };
    constexpr Tolerance exact{8, 1.4}, upsampledApart{24, 7.0}, lowBand{8, 2.5};
    struct Case {
        ModernFormat format;
        Kind kind;
        int depth;
        Tolerance tolerance;
    };
    const Case cases[] = {
        {heif, Kind::still, 24, exact},
        {heif, Kind::alpha, 32, exact},
        {heif, Kind::deep, 24, exact},
        {heif, Kind::turned, 24, exact},
        {heif, Kind::mirrored, 24, exact},
        {avif, Kind::still, 24, exact},
        {avif, Kind::alpha, 32, exact},
        {avif, Kind::deep, 24, exact},
        {avif, Kind::grid, 24, exact},
        {avif, Kind::sharedGrid, 24, exact},
        {avif, Kind::turned, 24, upsampledApart},
        {avif, Kind::mirrored, 24, upsampledApart},
        {avif, Kind::flipped, 24, upsampledApart},
        {avif, Kind::turnedMirrored, 24, upsampledApart},
        {avif, Kind::croppedTop, 24, upsampledApart},
        {avif, Kind::animated, 32, exact},
        {jxl, Kind::still, 24, exact},
        {jxl, Kind::alpha, 32, exact},
        {jxl, Kind::deep, 24, exact},
        {jxl, Kind::turned, 24, exact},
        {jxl, Kind::mirrored, 24, exact},
        {jxl, Kind::animated, 32, exact},
        {jxl, Kind::recompressed, 24, exact},
        // Shrunk, a JPEG 2000 is decoded at a reduced resolution: its wavelet's low band, not a
        // box filter, centred half a pixel of the full picture off the box's centre (its
        // chroma at half resolution, a whole pixel off).
        {jp2, Kind::still, 24, lowBand},
        {jp2, Kind::alpha, 32, lowBand},
        {jp2, Kind::deep, 24, lowBand},
        {jp2, Kind::tiled, 24, lowBand},
        {jp2, Kind::greyAlpha, 32, lowBand},
        {jp2, Kind::codestream, 24, lowBand},
        {jp2, Kind::ycc, 24, upsampledApart},
        {jp2, Kind::lossy, 24, lowBand},
    };
    const DecodeOptions smallScreen{40, 40, 1, 0};
    for (const Case &test : cases) {
        // One that fits, one that shrinks, and one of odd sides that shrinks across only; a
        // grid's cells are at least 64 pixels square.
        const int scale = test.kind == Kind::grid || test.kind == Kind::sharedGrid ? 8 : 1;
        for (const auto &[width, height] :
             {std::pair{32, 20}, std::pair{128, 96}, std::pair{161, 25}}) {
            SCOPED_TRACE(testing::Message() << "format " << int(test.format) << ", kind "
                                            << int(test.kind) << ", " << width << "x" << height);
            const std::string path = dir + "/picture";
            ASSERT_TRUE(writeModernFile(path, test.format, test.kind, width * scale / 2 * 2,
                                        height * scale / 2 * 2));
            std::vector<unsigned char> oracle;
            int shownWidth = 0, shownHeight = 0;
            ASSERT_TRUE(decodeModernFile(path, test.format, &oracle, &shownWidth, &shownHeight));
            const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            ImageInfo info{};
            SDL_Surface *decoded = decodeImage(file, nullptr, smallScreen, &info);
            close(file);
            ASSERT_NE(decoded, nullptr) << SDL_GetError();
            EXPECT_EQ(info.width, shownWidth);
            EXPECT_EQ(info.height, shownHeight);
            EXPECT_EQ(info.bitsPerPixel, test.depth);
            const FitPlan plan = planFit(smallScreen, shownWidth, shownHeight);
            double mean = 0;
            const int largest = largestDifference(decoded, oracle, shownWidth, shownHeight,
                                                  plan.fittedWidth, plan.fittedHeight, &mean);
            EXPECT_LE(largest, test.tolerance.largest);
            EXPECT_LT(mean, test.tolerance.mean);
            SDL_FreeSurface(decoded);
        }
    }
    // A JPEG XL of over a megabyte, which libjxl is given in parts, and one whose rows libjxl
    // hands over in runs longer than the parts its pixels are taken in (a JPEG recompressed);
    // on a screen its 1:8 image covers, and on screens it does not.
    const std::string large = dir + "/large.jxl";
    for (const auto &[kind, width, height] :
         {std::tuple{Kind::still, 2400, 1800}, std::tuple{Kind::recompressed, 600, 450}}) {
        ASSERT_TRUE(writeModernFile(large, jxl, kind, width, height, 0, true));
        if (kind == Kind::still) {
            ASSERT_GT(readWhole(large).size(), size_t(1) << 20);
        }
        std::vector<unsigned char> oracle;
        int shownWidth = 0, shownHeight = 0;
        ASSERT_TRUE(decodeModernFile(large, jxl, &oracle, &shownWidth, &shownHeight));
        for (const DecodeOptions &fittedTo :
             {kScreen, DecodeOptions{2000, 2000, 1, 0}, DecodeOptions{160, 120, 1, 0}}) {
            SCOPED_TRACE(testing::Message()
                         << width << "x" << height << " on " << fittedTo.screenWidth);
            SDL_Surface *decoded = decodePath(large, fittedTo);
            ASSERT_NE(decoded, nullptr) << SDL_GetError();
            const FitPlan plan = planFit(fittedTo, shownWidth, shownHeight);
            double psnr = 0;
            const int largest =
                largestDifference(decoded, oracle, shownWidth, shownHeight, plan.fittedWidth,
                                  plan.fittedHeight, nullptr, &psnr);
            // Where the picture's 1:8 image covers the screen's share, only it is decoded: close
            // to the box filter of the whole, but not equal to it to the level as a whole
            // decode averaged is.
            if (width / 8 >= plan.averagedWidth && height / 8 >= plan.averagedHeight) {
                EXPECT_GE(psnr, 45.0);
                EXPECT_LT(psnr, 80.0);
            } else {
                EXPECT_LE(largest, exact.largest);
            }
            SDL_FreeSurface(decoded);
        }
    }
    // A JPEG 2000 so much larger than the screen that it has fewer resolution levels than
    // halvings would still cover it: decoded at its smallest level, then averaged.
    const std::string far = dir + "/far.jp2";
    ASSERT_TRUE(writeModernFile(far, jp2, Kind::lossy, 2048, 1536));
    std::vector<unsigned char> oracle;
    int farWidth = 0, farHeight = 0;
    ASSERT_TRUE(decodeModernFile(far, jp2, &oracle, &farWidth, &farHeight));
    const DecodeOptions tiny{16, 16, 1, 0};
    SDL_Surface *decoded = decodePath(far, tiny);
    ASSERT_NE(decoded, nullptr) << SDL_GetError();
    EXPECT_LE(largestDifference(decoded, oracle, farWidth, farHeight, 16, 16), lowBand.largest);
    SDL_FreeSurface(decoded);
}

TEST_F(ReadersTest, SvgsAreDrawnStraightAtTheSizeShownFromTheSizeTheyStateOrAreRefused) {
    // Red on the left half and blue on the right of whatever size the picture is drawn at.
    const auto halves = [](const std::string &prolog, const std::string &attributes) {
        return prolog + "<svg xmlns='http://www.w3.org/2000/svg' " + attributes +
               "><rect width='50%' height='100%' fill='#f00'/>"
               "<rect x='50%' width='50%' height='100%' fill='#00f'/></svg>";
    };
    const std::string prolog =
        "\xef\xbb\xbf<?xml version='1.0'?>\n<!-- <html> -->\n"
        "<!DOCTYPE svg [ <!ENTITY arrow '>'> ]>\n";
    struct Case {
        const char *name;
        std::string bytes;
        bool gzipped;
        int width, height;            // as stated, for the INFO line
        int shownWidth, shownHeight;  // as drawn on a 320x240 screen
    };
    const Case cases[] = {
        {"pixels", halves("", "width='640' height='480'"), false, 640, 480, 320, 240},
        {"gzipped", halves("", "width='640' height='480'"), true, 640, 480, 320, 240},
        {"inches", halves("", "width='2in' height='1in'"), false, 192, 96, 192, 96},
        {"a view box only", halves("", "viewBox='0 0 100 50'"), false, 100, 50, 100, 50},
        {"no size", halves("", ""), false, 300, 150, 300, 150},
        // Each axis by its own factor, as every picture is fitted.
        {"a prolog", halves(prolog, "width='33' height='2000'"), false, 33, 2000, 320, 240},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        const std::string path = dir + "/picture";
        if (test.gzipped)
            ASSERT_TRUE(writeGzipped(path, test.bytes));
        else
            writeFile(path, test.bytes);
        ImageInfo info{};
        const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        SDL_Surface *drawn = decodeImage(file, nullptr, kScreen, &info);
        close(file);
        ASSERT_NE(drawn, nullptr) << SDL_GetError();
        EXPECT_EQ(info.width, test.width);
        EXPECT_EQ(info.height, test.height);
        EXPECT_EQ(info.bitsPerPixel, 32);
        ASSERT_EQ(drawn->w, test.shownWidth);
        ASSERT_EQ(drawn->h, test.shownHeight);
        const Rgba left = rgbaAt(drawn, 0, drawn->h / 2);
        const Rgba right = rgbaAt(drawn, drawn->w - 1, drawn->h / 2);
        EXPECT_TRUE(left.r == 255 && left.g == 0 && left.b == 0 && left.a == 255);
        EXPECT_TRUE(right.r == 0 && right.g == 0 && right.b == 255 && right.a == 255);
        SDL_FreeSurface(drawn);
    }
    // Pictures it names are not loaded, by path or by address; only one it holds is drawn.
    const std::string red = savePng(makeSolid(8, 8, {255, 0, 0}), dir + "/red.png");
    const std::string redData = "data:image/png;base64," + base64(readWhole(red));
    writeFile(dir + "/refers.svg",
              "<svg xmlns='http://www.w3.org/2000/svg' width='30' height='10'>"
              "<image href='red.png' width='10' height='10'/>"
              "<image x='10' href='file://" +
                  red +
                  "' width='10' height='10'/>"
                  "<image x='20' href='" +
                  redData + "' width='10' height='10'/></svg>");
    SDL_Surface *refers = decodePath(dir + "/refers.svg", kScreen);
    ASSERT_NE(refers, nullptr) << SDL_GetError();
    EXPECT_EQ(rgbaAt(refers, 5, 5).a, 0);
    EXPECT_EQ(rgbaAt(refers, 15, 5).a, 0);
    EXPECT_EQ(rgbaAt(refers, 25, 5).a, 255);
    SDL_FreeSurface(refers);
    // Refusals, each with its reason: no size, too large a size, a gzipped bomb, a file that is
    // no XML, and a picture of a billion uses of one shape, which librsvg counts.
    std::string uses =
        "<svg xmlns='http://www.w3.org/2000/svg' width='9' height='9'><defs>"
        "<rect id='u0' width='1' height='1'/>";
    for (int level = 1; level <= 9; level++) {
        uses += "<g id='u" + std::to_string(level) + "'>";
        for (int i = 0; i < 10; i++) uses += "<use href='#u" + std::to_string(level - 1) + "'/>";
        uses += "</g>";
    }
    uses += "</defs><use href='#u9'/></svg>";
    const std::pair<std::string, const char *> refusals[] = {
        {halves("", "width='0' height='10'"), "SVG: the picture states no size it can be drawn at"},
        {halves("", "width='100000' height='100000'"),
         "SVG: a 100000x100000 picture is larger than lumoscape decodes"},
        {"gzip", "SVG: the file unpacks to more than 64 MB"},
        {"<svg xmlns='http://www.w3.org/2000/svg'><rect", "SVG: "},
        {uses, "SVG: exceeded more than 500000 referenced elements"},
    };
    for (const auto &[bytes, reason] : refusals) {
        SCOPED_TRACE(reason);
        const std::string path = dir + "/refused.svg";
        if (bytes == "gzip")
            ASSERT_TRUE(writeGzipped(path, halves("", "") + std::string(65 << 20, ' ')));
        else
            writeFile(path, bytes);
        EXPECT_EQ(decodePath(path, kScreen), nullptr);
        EXPECT_EQ(std::string(SDL_GetError()).rfind(reason, 0), 0u) << SDL_GetError();
    }
    // Told by content: the root element, past what may come before it, or gzipped.
    const auto sniff = readerNamed("SVG")->sniff;
    const std::string packed = dir + "/packed";
    const std::pair<std::string, bool> starts[] = {
        {"<svg>", true},
        {prolog + "<svg:svg xmlns:svg='http://www.w3.org/2000/svg'>", true},
        {"<svgs>", false},
        {"<html><svg>", false},
        {"<?xml version='1.0'?><!-- <svg> --><html>", false},
        {"<!DOCTYPE html [ <!ENTITY svg '<svg>'> ]><html>", false},
        {"gzip:<svg width='1'/>", true},
        {"gzip:<html/>", false},
        {"", false},
    };
    for (const auto &[start, isSvg] : starts) {
        SCOPED_TRACE(start);
        std::string bytes = start;
        if (start.rfind("gzip:", 0) == 0) {
            ASSERT_TRUE(writeGzipped(packed, start.substr(5)));
            bytes = readWhole(packed);
        }
        EXPECT_EQ(sniff(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size()),
                  isSvg);
    }
}

TEST_F(ReadersTest, AHeifThumbnailIsDecodedInsteadOnlyWhereItCoversTheScreenInTheRightShape) {
    struct Case {
        const char *name;
        ModernKind kind;
        int thumbnail;  // the box the thumbnail fits in
        DecodeOptions screen;
        int decodedWidth;  // of the picture averaged, 0 for none
    };
    const Case cases[] = {
        {"covers the screen", ModernKind::still, 100, {40, 40, 1, 0}, 100},
        {"exactly the screen's size", ModernKind::still, 100, {100, 74, 1, 0}, 100},
        // The thumbnail is 100x74, and the screen shows 100x75.
        {"a row short", ModernKind::still, 100, {100, 100, 1, 0}, 400},
        {"smaller than the screen", ModernKind::still, 100, {160, 160, 1, 0}, 400},
        {"of another shape", ModernKind::skewedThumbnail, 100, {40, 40, 1, 0}, 400},
        {"no smoothing", ModernKind::still, 100, {40, 40, 0, 0}, 0},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        const std::string path = dir + "/thumbnail.heic";
        ASSERT_TRUE(writeModernFile(path, ModernFormat::heif, test.kind, 400, 300, test.thumbnail));
        // The file has its thumbnail, so that its size and shape are what decide.
        heif_context *context = heif_context_alloc();
        heif_image_handle *primary = nullptr;
        ASSERT_EQ(heif_context_read_from_file(context, path.c_str(), nullptr).code, heif_error_Ok);
        ASSERT_EQ(heif_context_get_primary_image_handle(context, &primary).code, heif_error_Ok);
        EXPECT_EQ(heif_image_handle_get_number_of_thumbnails(primary), 1);
        heif_image_handle_release(primary);
        heif_context_free(context);
        std::vector<unsigned char> oracle;
        int width = 0, height = 0;
        ASSERT_TRUE(decodeModernFile(path, ModernFormat::heif, &oracle, &width, &height));
        std::fill(std::begin(averaged), std::end(averaged), 0);
        ImageInfo info{};
        SDL_Surface *decoded = readWith(readHeif, path, &info, test.screen);
        ASSERT_NE(decoded, nullptr) << SDL_GetError();
        // The picture's own size whichever was decoded.
        EXPECT_EQ(info.width, 400);
        EXPECT_EQ(info.height, 300);
        EXPECT_EQ(averaged[0], test.decodedWidth);
        if (test.screen.antialias) {
            double mean = 0;
            const FitPlan plan = planFit(test.screen, width, height);
            largestDifference(decoded, oracle, width, height, plan.fittedWidth, plan.fittedHeight,
                              &mean);
            EXPECT_LT(mean, 3.0);  // the thumbnail was scaled by libheif, then encoded
        }
        SDL_FreeSurface(decoded);
    }
}

TEST_F(ReadersTest, PicturesLargerThanTheReadersTakeOrThanMemoryAllowsAreRefusedWithAReason) {
    struct Case {
        uint64_t width, height;
        int bytesPerPixel;
        bool taken;
    };
    const Case cases[] = {
        {16384, 16384, 1, true},
        {16384, 16385, 1, false},
        {65535, 4096, 1, true},
        {65536, 1, 1, false},
        {1, 65536, 1, false},
        {0, 10, 1, false},
        {4000, 3000, 4, true},
#if !defined(__SANITIZE_ADDRESS__)
        // 49 GB, past the limit set here; AddressSanitizer's own reservations would be too.
        {4000, 3000, 1 << 12, false},
#endif
    };
    rlimit saved{};
    getrlimit(RLIMIT_DATA, &saved);
    rlimit limited = saved;
#if !defined(__SANITIZE_ADDRESS__)
    limited.rlim_cur = std::min<rlim_t>(saved.rlim_max, rlim_t(32) << 30);
#endif
    setrlimit(RLIMIT_DATA, &limited);
    for (const Case &test : cases) {
        SCOPED_TRACE(testing::Message() << test.width << "x" << test.height);
        SDL_ClearError();
        EXPECT_EQ(pictureIsTakeable("AVIF", test.width, test.height, test.bytesPerPixel),
                  test.taken);
        const std::string reason = SDL_GetError();
        EXPECT_EQ(reason.rfind("AVIF: a " + std::to_string(test.width) + "x" +
                                   std::to_string(test.height) + " picture ",
                               0) == 0,
                  !test.taken)
            << reason;
    }
    setrlimit(RLIMIT_DATA, &saved);
}

// A surface's pixels as RGBA, as they show.
static std::vector<unsigned char> pixelsOf(SDL_Surface *surface) {
    std::vector<unsigned char> rgba;
    for (int y = 0; y < surface->h; y++) {
        for (int x = 0; x < surface->w; x++) {
            const Rgba pixel = rgbaAt(surface, x, y);
            rgba.insert(rgba.end(),
                        {static_cast<unsigned char>(pixel.r), static_cast<unsigned char>(pixel.g),
                         static_cast<unsigned char>(pixel.b), static_cast<unsigned char>(pixel.a)});
        }
    }
    return rgba;
}

// lcms2's own conversion of a whole RGBA picture from `profile` to sRGB, alpha kept; of grey
// levels (red) when `grey`, of CMYK (inverted as Adobe's) when `cmyk`.
static std::vector<unsigned char> lcmsToSrgb(const std::vector<unsigned char> &pixels,
                                             const std::vector<unsigned char> &profile, bool grey,
                                             bool cmyk = false) {
    cmsHPROFILE source = cmsOpenProfileFromMem(profile.data(), cmsUInt32Number(profile.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    const cmsUInt32Number input = grey ? TYPE_GRAY_8 : cmyk ? TYPE_CMYK_8_REV : TYPE_RGBA_8;
    cmsHTRANSFORM transform =
        cmsCreateTransform(source, input, srgb, TYPE_RGBA_8, INTENT_PERCEPTUAL,
                           grey || cmyk ? 0 : cmsFLAGS_COPY_ALPHA);
    std::vector<unsigned char> in = pixels, out = pixels;
    if (grey) {
        in.clear();
        for (size_t i = 0; i < pixels.size(); i += 4) in.push_back(pixels[i]);
    }
    cmsDoTransform(transform, in.data(), out.data(), cmsUInt32Number(pixels.size() / 4));
    if (grey || cmyk) {
        for (size_t i = 3; i < out.size(); i += 4) out[i] = 255;
    }
    cmsDeleteTransform(transform);
    cmsCloseProfile(srgb);
    cmsCloseProfile(source);
    return out;
}

// An RGB profile of D65 and these primaries with a plain gamma, as a PNG's gAMA and cHRM say.
static std::vector<unsigned char> gammaProfile(double gamma, const cmsCIExyYTRIPLE &primaries) {
    const cmsCIExyY white{0.3127, 0.3290, 1};
    cmsToneCurve *curve = cmsBuildGamma(nullptr, gamma);
    cmsToneCurve *curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(curve);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::vector<unsigned char> bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

TEST_F(ReadersTest, TaggedPicturesOfEveryFormatShowAsLcmsConvertsTheWholePictureToSrgb) {
    const std::vector<unsigned char> p3 = testProfile(TestProfile::displayP3);
    const cmsCIExyYTRIPLE srgbPrimaries{{0.64, 0.33, 1}, {0.30, 0.60, 1}, {0.15, 0.06, 1}};
    const cmsCIExyYTRIPLE p3Primaries{{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}};
    const int width = 120, height = 90;
    struct Case {
        const char *name;
        std::function<bool(const std::string &)> write;
        std::vector<unsigned char> profile;  // what the picture's colours are in
        bool grey, cmyk;
        bool smooth = false;  // close to its conversion when fitted too
    };
    const auto png = [&](int type, std::vector<unsigned char> profile, double gamma = 0,
                         bool chromaticities = false) {
        return [=](const std::string &path) {
            PngForm form{type, 8, PngTransparency::none, false};
            form.profile = profile, form.gamma = gamma, form.chromaticities = chromaticities;
            return writeTestPng(path, width, height, form);
        };
    };
    const auto modern = [&](ModernFormat format) {
        return [=](const std::string &path) {
            return writeModernFile(path, format, ModernKind::still, width, height, 0, false, p3);
        };
    };
    const Case cases[] = {
        {"Display P3 PNG", png(PNG_COLOR_TYPE_RGB, p3), p3, false, false},
        {"Adobe RGB PNG", png(PNG_COLOR_TYPE_RGB, testProfile(TestProfile::adobeRgb)),
         testProfile(TestProfile::adobeRgb), false, false},
        {"ProPhoto PNG with alpha", png(PNG_COLOR_TYPE_RGBA, testProfile(TestProfile::proPhoto)),
         testProfile(TestProfile::proPhoto), false, false},
        {"grey PNG of a grey profile", png(PNG_COLOR_TYPE_GRAY, testProfile(TestProfile::grey22)),
         testProfile(TestProfile::grey22), true, false},
        {"PNG of gAMA 0.625 only", png(PNG_COLOR_TYPE_RGB, {}, 0.625),
         gammaProfile(1 / 0.625, srgbPrimaries), false, false},
        {"PNG of gAMA and cHRM", png(PNG_COLOR_TYPE_RGB, {}, 1 / 2.2, true),
         gammaProfile(2.2, p3Primaries), false, false},
        {"Display P3 JPEG",
         [&](const std::string &path) {
             return writePhotoJpeg(path, width, height, 95, JpegKind::colour, 0, "", p3);
         },
         p3, false, false},
        {"CMYK JPEG with a profile",
         [&](const std::string &path) {
             return writePhotoJpeg(path, width, height, 95, JpegKind::cmyk, 0, "",
                                   testProfile(TestProfile::cmyk));
         },
         testProfile(TestProfile::cmyk), false, true},
        {"Display P3 WebP",
         [&](const std::string &path) {
             return writeTestWebp(path, width, height, WebpKind::lossless, p3);
         },
         p3, false, false},
        {"Display P3 HEIF", modern(ModernFormat::heif), p3, false, false, true},
        {"Display P3 AVIF", modern(ModernFormat::avif), p3, false, false, true},
        {"Display P3 JPEG XL", modern(ModernFormat::jxl), p3, false, false, true},
        {"AVIF said by its nclx to be Display P3",
         [&](const std::string &path) {
             return writeModernFile(path, ModernFormat::avif, ModernKind::nclxP3, width, height);
         },
         p3, false, false, true},
    };
    // Shown unscaled, each pixel is converted as lcms2 converts it. Fitted, the picture is
    // converted after it is averaged: for the smooth pictures of the newer formats' writers a
    // few levels apart at most where the colours change fastest.
    const DecodeOptions wholeScreen{1000, 1000, 1, 0}, stored{1000, 1000, 1, 0, 1};
    const DecodeOptions smallScreen{40, 30, 1, 0};
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        const std::string path = dir + "/tagged";
        ASSERT_TRUE(test.write(path));
        SDL_Surface *full = decodePath(path, stored);
        ASSERT_NE(full, nullptr) << SDL_GetError();
        const std::vector<unsigned char> values =
            test.cmyk ? jpegRgba(path, JCS_CMYK) : pixelsOf(full);
        const std::vector<unsigned char> expected =
            lcmsToSrgb(values, test.profile, test.grey, test.cmyk);
        SDL_FreeSurface(full);
        for (const DecodeOptions &options : {wholeScreen, smallScreen}) {
            const bool fitted = options.screenWidth < width;
            if (fitted && !test.smooth) continue;
            SDL_Surface *shown = decodePath(path, options);
            ASSERT_NE(shown, nullptr) << SDL_GetError();
            const int outWidth = fitted ? 40 : width, outHeight = fitted ? 30 : height;
            double mean = 0;
            EXPECT_LE(largestDifference(shown, expected, width, height, outWidth, outHeight, &mean),
                      fitted ? 6 : 1);
            EXPECT_LT(mean, fitted ? 1.0 : 0.2);
            SDL_FreeSurface(shown);
        }
        // The stored values are not sRGB's: each case converts something.
        SDL_Surface *raw = decodePath(path, stored);
        EXPECT_GT(largestDifference(raw, expected, width, height, width, height), 8);
        SDL_FreeSurface(raw);
    }
}

TEST_F(ReadersTest, UntaggedSrgbAndBadlyTaggedPicturesShowTheirStoredValuesExactly) {
    struct Case {
        std::string name;
        std::function<bool(const std::string &)> write;
    };
    std::vector<Case> cases;
    // Every kind of file without a profile, of every reader but SDL_image's XCF reader, which
    // keeps buffers the viewer's decoding process takes along as it ends, but this test's
    // process would be told of.
    for (const SampleKind &kind : sampleKinds) {
        if (kind.name.find("p3") != std::string::npos || kind.name == "gamma.png" ||
            kind.name == "cmyk-profile.jpg" || kind.name == "xcf")
            continue;
        cases.push_back({kind.name, [kind](const std::string &path) {
                             return writeSample(kind.name, path, 120, 90);
                         }});
    }
    const auto jpeg = [](std::vector<unsigned char> profile, JpegKind kind = JpegKind::colour) {
        return [=](const std::string &path) {
            return writePhotoJpeg(path, 120, 90, 90, kind, 0, "", profile);
        };
    };
    // A profile whose header and tag table hold, every tag's data overwritten.
    std::vector<unsigned char> noise = testProfile(TestProfile::displayP3);
    const size_t tags =
        size_t(noise[128]) << 24 | size_t(noise[129]) << 16 | size_t(noise[130]) << 8 | noise[131];
    for (size_t i = 132 + tags * 12; i < noise.size(); i++)
        noise[i] = static_cast<unsigned char>(i * 131 + 7);
    // One whose header names a colour space there is none of.
    std::vector<unsigned char> nameless = testProfile(TestProfile::displayP3);
    for (const size_t at : {16, 17, 18, 19}) nameless[at] = at == 16 ? 0xfe : 0xff;
    const std::vector<Case> tagged = {
        {"sRGB JPEG", jpeg(testProfile(TestProfile::srgb))},
        {"JPEG of sRGB's curve in 16 steps, a level off",
         jpeg(testProfile(TestProfile::tabulatedSrgb))},
        {"sRGB-profiled PNG",
         [](const std::string &path) {
             PngForm form{PNG_COLOR_TYPE_RGB, 8, PngTransparency::none, false};
             form.profile = testProfile(TestProfile::srgb);
             return writeTestPng(path, 120, 90, form);
         }},
        {"JPEG of a broken profile", jpeg(noise)},
        {"JPEG of a profile of no colour space", jpeg(nameless)},
        // What ImageMagick writes for sRGB: 1/2.2, alone or with sRGB's chromaticities.
        {"PNG of gamma 0.45455",
         [](const std::string &path) {
             PngForm form{PNG_COLOR_TYPE_RGB, 8, PngTransparency::none, false};
             form.gamma = 0.45455;
             return writeTestPng(path, 120, 90, form);
         }},
        {"PNG of gamma 0.4510 and sRGB's chromaticities",
         [](const std::string &path) {
             PngForm form{PNG_COLOR_TYPE_RGB, 8, PngTransparency::none, false};
             form.gamma = 0.4510;
             form.srgbChromaticities = true;
             return writeTestPng(path, 120, 90, form);
         }},
        {"PNG of a broken profile",
         [&](const std::string &path) {
             PngForm form{PNG_COLOR_TYPE_RGB, 8, PngTransparency::none, false};
             form.profile = noise;
             return writeTestPng(path, 120, 90, form);
         }},
        {"colour JPEG of a grey profile", jpeg(testProfile(TestProfile::grey22))},
        {"grey JPEG of a colour profile",
         jpeg(testProfile(TestProfile::displayP3), JpegKind::greyscale)},
        {"CMYK JPEG of a colour profile",
         jpeg(testProfile(TestProfile::displayP3), JpegKind::cmyk)},
        {"JPEG of a profile's segments cut short",
         [&](const std::string &path) {
             // One segment of a profile said to be in two.
             if (!writePhotoJpeg(path, 120, 90, 90, JpegKind::colour, 0, "",
                                 testProfile(TestProfile::displayP3)))
                 return false;
             std::string bytes = readWhole(path);
             const size_t marker = bytes.find(std::string("ICC_PROFILE\0", 12));
             if (marker == std::string::npos) return false;
             bytes[marker + 13] = 2;
             writeFile(path, bytes);
             return true;
         }},
    };
    cases.insert(cases.end(), tagged.begin(), tagged.end());
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        const std::string path = dir + "/picture." + test.name;
        ASSERT_TRUE(test.write(path));
        for (const DecodeOptions &options :
             {DecodeOptions{40, 30, 1, 0}, DecodeOptions{1000, 1000, 1, 0}}) {
            SDL_Surface *shown = decodePath(path, options);
            DecodeOptions raw = options;
            raw.rawColours = 1;
            SDL_Surface *stored = decodePath(path, raw);
            ASSERT_NE(shown, nullptr) << SDL_GetError();
            ASSERT_NE(stored, nullptr) << SDL_GetError();
            EXPECT_EQ(pixelsOf(shown), pixelsOf(stored));
            SDL_FreeSurface(shown);
            SDL_FreeSurface(stored);
        }
    }
}

TEST_F(ReadersTest, WarmUpPicturesAreTheirFilesByteForByteAndEachDecodes) {
    const struct {
        const unsigned char *bytes;
        size_t size;
        const char *file;
    } pictures[] = {{kJpeg, kJpegSize, "photo.jpg"},
                    {kWebp, kWebpSize, "lossy.webp"},
                    {kDeflateTiff, kDeflateTiffSize, "deflate.tiff"},
                    {kAlphaHeif, kAlphaHeifSize, "alpha.heic"},
                    {kAnimatedAvif, kAnimatedAvifSize, "animated.avif"},
                    {kAnimatedJxl, kAnimatedJxlSize, "animated.jxl"}};
    for (const auto &picture : pictures) {
        SCOPED_TRACE(picture.file);
        const std::string path =
            LUMOSCAPE_SOURCE_DIR "/src/display/sandbox/warm-up/" + std::string(picture.file);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(picture.bytes), picture.size),
                  readWhole(path));
        const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ImageInfo info{};
        SDL_Surface *decoded = decodeImage(file, nullptr, kScreen, &info);
        close(file);
        EXPECT_NE(decoded, nullptr) << SDL_GetError();
        SDL_FreeSurface(decoded);
    }
}
