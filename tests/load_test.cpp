// Tests of decoding images and fitting them to the screen.
#include <SDL_image.h>
#include <SDL_rotozoom.h>
#include <dirent.h>
#include <png.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "image_files.h"
#include "support.h"

using LoadTest = ViewerTest;

TEST_F(LoadTest, PrintsOneLineAndFitsOnlyWhatIsTooLarge) {
    struct Case {
        int width, height;
        std::string suffix;  // what follows the size and depth on the INFO line
        int fittedWidth, fittedHeight;
        int32_t keepAspect = 0;
    };
    const Case cases[] = {
        {320, 240, "", 320, 240},
        {200, 100, "", 200, 100},
        {321, 240, ", scaled: 1.00, 1.00", 320, 240},
        {100, 600, ", scaled: 3.20, 0.40", 320, 240},
        {640, 120, ", scaled: 0.50, 2.00", 320, 240},
        // In its own shape: the smaller factor twice, the picture between black bars.
        {200, 100, "", 200, 100, 1},
        {100, 600, ", scaled: 0.40, 0.40", 40, 240, 1},
        {640, 120, ", scaled: 0.50, 0.50", 320, 60, 1},
        {640, 480, ", scaled: 0.50, 0.50", 320, 240, 1},
    };
    for (const Case &c : cases) {
        settings.keepAspect = c.keepAspect;
        const std::string path = saveImage(makeSolid(c.width, c.height, kGreen),
                                           dir + "/" + std::to_string(c.width) + ".bmp");
        testing::internal::CaptureStdout();
        SDL_Surface *image = loadImage(path.c_str());
        const std::string output = testing::internal::GetCapturedStdout();
        ASSERT_NE(image, nullptr) << path;
        EXPECT_EQ(output, "INFO: loaded " + path + ": " + std::to_string(c.width) + "x" +
                              std::to_string(c.height) + " 24bpp" + c.suffix + "\n");
        EXPECT_EQ(image->w, c.fittedWidth) << path;
        EXPECT_EQ(image->h, c.fittedHeight) << path;
        EXPECT_EQ(pixelAt(image, image->w / 2, image->h / 2), kGreen) << path;
        SDL_FreeSurface(image);
    }
    // A picture turned upright by its EXIF orientation is fitted as it is shown.
    const std::string turned = dir + "/turned.jpg";
    ASSERT_TRUE(writePhotoJpeg(turned, 600, 100, 90, JpegKind::colour, 6));
    settings.autorotate = 1;
    testing::internal::CaptureStdout();
    SDL_Surface *image = loadImage(turned.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "INFO: loaded " + turned + ": 100x600 24bpp, scaled: 0.40, 0.40\n");
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->w, 40);
    EXPECT_EQ(image->h, 240);
    SDL_FreeSurface(image);
}

TEST_F(LoadTest, FittedImagesKeepTheirOwnColours) {
    // Averaged into true colour with smoothing; without it, a paletted picture keeps its
    // palette, in which red sits at index 0, which the scaler would make transparent.
    for (const auto &[bitsPerPixel, antialias] :
         {std::pair{32, 1}, std::pair{8, 1}, std::pair{32, 0}, std::pair{8, 0}}) {
        settings.antialias = antialias;
        const std::string path = saveImage(makeTestCard(640, 480, bitsPerPixel),
                                           dir + "/card" + std::to_string(bitsPerPixel) + ".bmp");
        testing::internal::CaptureStdout();
        SDL_Surface *image = loadImage(path.c_str());
        testing::internal::GetCapturedStdout();
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->format->BitsPerPixel, bitsPerPixel == 8 && !antialias ? 8 : 32);
        // An opaque image stays opaque: no colour key, no per-pixel blending on every present.
        EXPECT_EQ(image->flags & (SDL_SRCCOLORKEY | SDL_SRCALPHA), 0u) << bitsPerPixel << " bpp";
        presentSurface(image);
        EXPECT_EQ(pixelAt(screen, 40, 40), kRed) << bitsPerPixel << " bpp";
        EXPECT_EQ(pixelAt(screen, 280, 40), kGreen) << bitsPerPixel << " bpp";
        EXPECT_EQ(pixelAt(screen, 40, 200), kBlue) << bitsPerPixel << " bpp";
        EXPECT_EQ(pixelAt(screen, 280, 200), kWhite) << bitsPerPixel << " bpp";
        SDL_FreeSurface(image);
    }
}

TEST_F(LoadTest, UndecodableFileIsReportedAndShutsSdlDown) {
    const std::string text = dir + "/text.png", fifo = dir + "/fifo.png";
    writeFile(text, "this is not an image\n");
    // What took an image's place after start-up: a FIFO no one writes to would block the
    // viewer in open(), and a device is no file to decode.
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, std::string> files[] = {
        {text, "Error: loadImage: Unsupported image format\n"},
        {fifo, "Error: loadImage: " + fifo + " is not a regular file\n"},
        {"/dev/zero", "Error: loadImage: /dev/zero is not a regular file\n"},
    };
    for (const auto &[path, line] : files) {
        SCOPED_TRACE(path);
        testing::internal::CaptureStdout();
        SDL_Surface *image = loadImage(path.c_str());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), line);
        EXPECT_EQ(image, nullptr);
        EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0);
    }
}

TEST_F(LoadTest, ManyLoadsLeaveNoDescriptorBehind) {
    const std::string card = saveImage(makeTestCard(40, 30), dir + "/card.bmp");
    testing::internal::CaptureStdout();
    SDL_FreeSurface(loadImage(card.c_str()));  // the decoding process and its first worker
    const int before = openDescriptorCount();
    for (int i = 0; i < 200; i++) SDL_FreeSurface(loadImage(card.c_str()));
    const int after = openDescriptorCount();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(after, before);
}

static FILE *exitReport = nullptr;

static void reportVideoStateAtExit() {
    fprintf(exitReport, "video still up at exit: %u\n", SDL_WasInit(SDL_INIT_VIDEO));
    fclose(exitReport);
}

TEST_F(LoadTest, VanishedFileEndsWithStatusOneAfterShuttingSdlDown) {
    const std::string path = dir + "/gone.png", log = dir + "/stdout.txt";
    const std::string report = dir + "/report.txt";
    EXPECT_EXIT(
        {
            if (!freopen(log.c_str(), "w", stdout)) _exit(3);
            exitReport = fopen(report.c_str(), "w");
            atexit(reportVideoStateAtExit);
            loadImage(path.c_str());
        },
        testing::ExitedWithCode(1), "");
    std::ifstream out(log), atExit(report);
    std::string line;
    std::getline(out, line);
    EXPECT_EQ(line, "Error: reading file " + path + ": No such file or directory");
    std::getline(atExit, line);
    EXPECT_EQ(line, "video still up at exit: 0");
}

namespace {

// What the loader prints and fits for a width x height image on a 320x240 screen.
struct FullSizePath {
    std::string line;
    int width, height;
    double horizontal, vertical;
};

FullSizePath fullSizePath(const std::string &path, int width, int height, int bitsPerPixel) {
    FullSizePath expected{};
    expected.horizontal = 320.0 / width;
    expected.vertical = 240.0 / height;
    char factors[64];
    snprintf(factors, sizeof factors, ", scaled: %.2f, %.2f", expected.horizontal,
             expected.vertical);
    expected.line = "INFO: loaded " + path + ": " + std::to_string(width) + "x" +
                    std::to_string(height) + " " + std::to_string(bitsPerPixel) + "bpp" + factors +
                    "\n";
    zoomSurfaceSize(width, height, expected.horizontal, expected.vertical, &expected.width,
                    &expected.height);
    return expected;
}

std::string loadedLine(const std::string &path, SDL_Surface **image) {
    testing::internal::CaptureStdout();
    *image = loadImage(path.c_str());
    return testing::internal::GetCapturedStdout();
}

int distance(Rgb a, Rgb b) {
    return std::max({std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
}

}  // namespace

TEST_F(LoadTest, TransparentColourOfAPalettedImageShowsTheBlackScreen) {
    // Palette entry 1, the right half, is the PNG's one transparent colour: fitted and handed
    // back from the decoding process, it is still the picture's colour key (without smoothing)
    // or transparent (averaged).
    const std::string path = dir + "/keyed.png";
    ASSERT_TRUE(writeTestPng(path, 640, 480,
                             {PNG_COLOR_TYPE_PALETTE, 1, PngTransparency::oneColour, false}));
    for (const int antialias : {0, 1}) {
        settings.antialias = antialias;
        SDL_Surface *image = nullptr;
        EXPECT_EQ(loadedLine(path, &image), fullSizePath(path, 640, 480, 8).line);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->format->BitsPerPixel, antialias ? 32 : 8);
        EXPECT_TRUE(image->flags & (antialias ? SDL_SRCALPHA : SDL_SRCCOLORKEY));
        markScreen();
        presentSurface(image);
        EXPECT_EQ(pixelAt(screen, 80, 120), kRed);
        EXPECT_EQ(pixelAt(screen, 240, 120), kBlack);
        SDL_FreeSurface(image);
    }
}

TEST_F(LoadTest, LargeJpegsGiveTheLineSizeAndFormatOfTheFullSizePath) {
    struct Case {
        int width, height;
        JpegKind kind;
    };
    // The panoramas are wider than the full-size decoder can make a surface.
    const Case cases[] = {
        {4000, 3000, JpegKind::colour},      {641, 481, JpegKind::colour},
        {100, 3000, JpegKind::colour},       {2000, 1500, JpegKind::greyscale},
        {2000, 1500, JpegKind::progressive}, {18000, 3000, JpegKind::flat},
        {30000, 2000, JpegKind::flat},
    };
    for (const Case &c : cases) {
        const std::string path = dir + "/" + std::to_string(c.width) + "-" +
                                 std::to_string(static_cast<int>(c.kind)) + ".jpg";
        SCOPED_TRACE(path);
        ASSERT_TRUE(writePhotoJpeg(path, c.width, c.height, 90, c.kind));
        const FullSizePath expected = fullSizePath(path, c.width, c.height, 24);
        SDL_Surface *image = nullptr;
        EXPECT_EQ(loadedLine(path, &image), expected.line);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->w, expected.width);
        EXPECT_EQ(image->h, expected.height);
        EXPECT_EQ(image->flags & (SDL_SRCCOLORKEY | SDL_SRCALPHA), 0u);

        SDL_Surface *decoded = IMG_Load(path.c_str());
        if (c.width < 16384) {
            ASSERT_NE(decoded, nullptr);
            EXPECT_EQ(decoded->format->BitsPerPixel, 24);
            SDL_Surface *fitted =
                zoomSurface(decoded, expected.horizontal, expected.vertical, SMOOTHING_ON);
            EXPECT_EQ(image->format->BitsPerPixel, fitted->format->BitsPerPixel);
            EXPECT_EQ(image->format->Rmask, fitted->format->Rmask);
            EXPECT_EQ(image->format->Bmask, fitted->format->Bmask);
            // Grain of +-12 a pixel: one sample and a block's average differ by about that.
            EXPECT_LE(distance(pixelAt(image, image->w / 2, image->h / 2),
                               pixelAt(fitted, fitted->w / 2, fitted->h / 2)),
                      24);
            SDL_FreeSurface(fitted);
        } else {
            EXPECT_EQ(decoded, nullptr) << "the full-size decoder now takes panoramas";
        }
        SDL_FreeSurface(decoded);
        presentSurface(image);
        EXPECT_NE(pixelAt(screen, 160, 120), kBlack);
        SDL_FreeSurface(image);
    }
}

TEST_F(LoadTest, CmykJpegsKeepTheirDepthAndPanoramasNeedSmoothing) {
    // SDL_image reports CMYK JPEGs as 32 bits per pixel, and the INFO line keeps that.
    const std::string cmyk = dir + "/cmyk.jpg";
    ASSERT_TRUE(writePhotoJpeg(cmyk, 2000, 1500, 90, JpegKind::cmyk));
    SDL_Surface *image = nullptr;
    EXPECT_EQ(loadedLine(cmyk, &image), fullSizePath(cmyk, 2000, 1500, 32).line);
    ASSERT_NE(image, nullptr);
    SDL_FreeSurface(image);

    // Without smoothing a panorama is decoded at full size, which SDL cannot hold.
    const std::string panorama = dir + "/panorama.jpg";
    ASSERT_TRUE(writePhotoJpeg(panorama, 18000, 3000, 90, JpegKind::flat));
    settings.antialias = 0;
    EXPECT_EQ(loadedLine(panorama, &image).rfind("Error: loadImage: ", 0), 0u);
    EXPECT_EQ(image, nullptr);
}

TEST_F(LoadTest, FileContentNotItsNameChoosesTheDecoder) {
    const std::string jpegNamedPng = dir + "/photo.png", pngNamedJpeg = dir + "/photo.jpg";
    ASSERT_TRUE(writePhotoJpeg(jpegNamedPng, 641, 481, 90));
    ASSERT_TRUE(writePhotoPng(pngNamedJpeg, 641, 481));
    for (const std::string &path : {jpegNamedPng, pngNamedJpeg}) {
        SDL_Surface *image = nullptr;
        EXPECT_EQ(loadedLine(path, &image), fullSizePath(path, 641, 481, 24).line);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->w, 320);
        SDL_FreeSurface(image);
    }
}

TEST_F(LoadTest, FittedPicturesAreAtLeastAsCloseToABoxAverageAsPlainZooming) {
    const int width = 2000, height = 1500;
    for (const char *name : {"photo.jpg", "photo.png"}) {
        SCOPED_TRACE(name);
        const std::string path = dir + "/" + name;
        ASSERT_TRUE(name[6] == 'j' ? writePhotoJpeg(path, width, height, 90)
                                   : writePhotoPng(path, width, height));
        SDL_Surface *full = IMG_Load(path.c_str());
        ASSERT_NE(full, nullptr);
        SDL_Surface *zoomed = zoomSurface(full, 320.0 / width, 240.0 / height, SMOOTHING_ON);
        SDL_Surface *fitted = nullptr;
        loadedLine(path, &fitted);
        ASSERT_NE(fitted, nullptr);
        ASSERT_EQ(fitted->w, 320);
        ASSERT_EQ(fitted->h, 240);

        // Mean absolute difference per channel from the average of each pixel's source area.
        double zoomedError = 0, fittedError = 0;
        for (int y = 0; y < 240; y++) {
            for (int x = 0; x < 320; x++) {
                const int left = x * width / 320, right = (x + 1) * width / 320;
                const int top = y * height / 240, bottom = (y + 1) * height / 240;
                double sum[3] = {0, 0, 0};
                for (int sy = top; sy < bottom; sy++) {
                    for (int sx = left; sx < right; sx++) {
                        const Rgb c = pixelAt(full, sx, sy);
                        sum[0] += c.r, sum[1] += c.g, sum[2] += c.b;
                    }
                }
                const double area = (right - left) * (bottom - top);
                const Rgb z = pixelAt(zoomed, x, y), f = pixelAt(fitted, x, y);
                zoomedError += std::abs(z.r - sum[0] / area) + std::abs(z.g - sum[1] / area) +
                               std::abs(z.b - sum[2] / area);
                fittedError += std::abs(f.r - sum[0] / area) + std::abs(f.g - sum[1] / area) +
                               std::abs(f.b - sum[2] / area);
            }
        }
        zoomedError /= 320 * 240 * 3;
        fittedError /= 320 * 240 * 3;
        RecordProperty(std::string("zoomed ") + name, std::to_string(zoomedError));
        RecordProperty(std::string("fitted ") + name, std::to_string(fittedError));
        EXPECT_LE(fittedError, zoomedError);
        EXPECT_LT(fittedError, 2.0);
        SDL_FreeSurface(fitted);
        SDL_FreeSurface(zoomed);
        SDL_FreeSurface(full);
    }
}

TEST_F(LoadTest, KindsOfFileEachReaderTakesAreShownWithSdlImagesLine) {
    struct Case {
        std::string name;
        std::function<bool(const std::string &)> write;
        int width, height, bitsPerPixel;
        std::string reference = "";  // the file SDL_image reads the picture from, if not this
    };
    const std::string png = dir + "/source.png", fitting = dir + "/fitting.png";
    ASSERT_TRUE(writePhotoPng(png, 400, 300));
    ASSERT_TRUE(writePhotoPng(fitting, 300, 200));
    const std::string whole = readWhole(png);
    const auto bytes = [](std::string text) {
        return [text](const std::string &path) {
            writeFile(path, text);
            return true;
        };
    };
    const Case cases[] = {
        {"small.jpg", [](const std::string &p) { return writePhotoJpeg(p, 200, 100, 90); }, 200,
         100, 24},
        {"valid.xpm", [](const std::string &p) { return writeSample("xpm", p, 80, 60); }, 80, 60,
         8},
        {"valid.gif", [](const std::string &p) { return writeSample("gif", p, 2, 2); }, 2, 2, 8},
        {"tall.gif", [](const std::string &p) { return writeTestGif(p, 100, 300, false, true); },
         100, 300, 8},
        // SDL on top of SDL2 reads a 16-bit BMP without masks as the 5-5-5 it is.
        {"16bit.bmp", [](const std::string &p) { return writeSample("16bit.bmp", p, 80, 60); }, 80,
         60, SDL_Linked_Version()->patch < 50 ? 16 : 15},
        // A PNG whose last chunk never came, and one with junk after it: the picture is whole.
        {"no-end.png", bytes(whole.substr(0, whole.size() - 12)), 400, 300, 24},
        {"junk.png", bytes(whole + std::string(100, '\x7f')), 400, 300, 24},
        // A damaged checksum of the picture data stops nothing: the rows after it are read.
        {"bad-crc.png",
         [&](const std::string &p) {
             std::string damaged = readWhole(fitting);
             const size_t data = damaged.find("IDAT");
             const size_t length = (size_t(Uint8(damaged[data - 4])) << 24) |
                                   (size_t(Uint8(damaged[data - 3])) << 16) |
                                   (size_t(Uint8(damaged[data - 2])) << 8) |
                                   size_t(Uint8(damaged[data - 1]));
             damaged[data + 4 + length] = char(damaged[data + 4 + length] ^ 0x55);
             writeFile(p, damaged);
             return damaged.find("IDAT", data + 4) != std::string::npos;  // more follow
         },
         300, 200, 24, fitting},
        // Rows padded to four bytes in the file, and to SDL's pitch in the picture handed back.
        {"odd.bmp",
         [](const std::string &p) { return !saveImage(makeTestCard(33, 21), p).empty(); }, 33, 21,
         24},
        {"alpha.png",
         [](const std::string &p) {
             return writeTestPng(p, 37, 23,
                                 {PNG_COLOR_TYPE_RGB_ALPHA, 8, PngTransparency::none, false});
         },
         37, 23, 32},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir + "/" + c.name;
        ASSERT_TRUE(c.write(path));
        SDL_Surface *image = nullptr;
        const std::string line = loadedLine(path, &image);
        ASSERT_NE(image, nullptr) << line;
        const bool fits = c.width <= 320 && c.height <= 240;
        EXPECT_EQ(line, fits ? "INFO: loaded " + path + ": " + std::to_string(c.width) + "x" +
                                   std::to_string(c.height) + " " + std::to_string(c.bitsPerPixel) +
                                   "bpp\n"
                             : fullSizePath(path, c.width, c.height, c.bitsPerPixel).line);
        // Where SDL_image reads the file too, the line is the one it used to give.
        if (SDL_Surface *sdlImage = IMG_Load(path.c_str())) {
            EXPECT_EQ(sdlImage->format->BitsPerPixel, c.bitsPerPixel);
            SDL_FreeSurface(sdlImage);
        }
        // Drawn, and not black: the first two pixels of its top row, one of which has colour
        // in every one of these pictures.
        markScreen();
        presentSurface(image);
        const int left = std::max(0, (320 - image->w) / 2), top = std::max(0, (240 - image->h) / 2);
        const Rgb first = pixelAt(screen, left, top), second = pixelAt(screen, left + 1, top);
        EXPECT_NE(first, kMark);
        EXPECT_TRUE(first != kBlack || second != kBlack);
        // Pictures that fit are handed back pixel for pixel, with their transparency.
        if (fits && c.bitsPerPixel >= 24) {
            SDL_Surface *reference =
                IMG_Load(c.reference.empty() ? path.c_str() : c.reference.c_str());
            ASSERT_NE(reference, nullptr);
            EXPECT_EQ(image->flags & SDL_SRCALPHA, reference->flags & SDL_SRCALPHA);
            for (int y = 0; y < image->h; y++) {
                for (int x = 0; x < image->w; x++) {
                    Uint8 got[4], want[4];
                    const auto rgba = [](SDL_Surface *surface, int px, int py, Uint8 *out) {
                        Uint32 value = 0;
                        memcpy(&value,
                               static_cast<Uint8 *>(surface->pixels) + py * surface->pitch +
                                   px * surface->format->BytesPerPixel,
                               surface->format->BytesPerPixel);
                        SDL_GetRGBA(value, surface->format, &out[0], &out[1], &out[2], &out[3]);
                    };
                    rgba(image, x, y, got);
                    rgba(reference, x, y, want);
                    ASSERT_EQ(memcmp(got, want, 4), 0) << x << "," << y;
                }
            }
            SDL_FreeSurface(reference);
        }
        SDL_FreeSurface(image);
    }
}

TEST_F(LoadTest, ImagesTallerThanTheZoomCanStepAreShrunkFirstThenFitted) {
    // The zoom steps through rows in 16.16 fixed point and used to crash past 32,767 rows.
    const std::string png = savePng(makeTestCard(720, 34323), dir + "/strip.png");
    const std::string bmp = saveImage(makeTestCard(300, 60000, 8), dir + "/strip.bmp");
    for (const auto &[path, bitsPerPixel] : {std::pair{png, 24}, std::pair{bmp, 8}}) {
        SCOPED_TRACE(path);
        const int width = path == png ? 720 : 300, height = path == png ? 34323 : 60000;
        SDL_Surface *image = nullptr;
        EXPECT_EQ(loadedLine(path, &image), fullSizePath(path, width, height, bitsPerPixel).line);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->w, 320);
        EXPECT_EQ(image->h, 240);
        presentSurface(image);
        EXPECT_EQ(pixelAt(screen, 80, 60), kRed);
        EXPECT_EQ(pixelAt(screen, 240, 60), kGreen);
        EXPECT_EQ(pixelAt(screen, 80, 180), kBlue);
        EXPECT_EQ(pixelAt(screen, 240, 180), kWhite);
        SDL_FreeSurface(image);
    }

    // Rows of palette entries 0 (red) and 2 (blue) in turn: shrunk by their colours they blend
    // to purple; by their palette indices they would make entry 1, green.
    SDL_Surface *stripes = makeTestCard(300, 40000, 8);
    for (int y = 0; y < 40000; y++) {
        // Past 32,767 rows the rectangle's position no longer fits: the pixels are set directly.
        Uint8 *pixels = static_cast<Uint8 *>(stripes->pixels) + size_t(y) * stripes->pitch;
        memset(pixels, y % 2 ? 2 : 0, 300);  // the card's palette: red, green, blue, white
    }
    const std::string striped = saveImage(stripes, dir + "/stripes.bmp");
    SDL_Surface *image = nullptr;
    loadedLine(striped, &image);
    ASSERT_NE(image, nullptr);
    const Rgb blend = pixelAt(image, 160, 120);
    EXPECT_GT(blend.r, 60) << "rgb " << int(blend.r) << " " << int(blend.g) << " " << int(blend.b);
    EXPECT_GT(blend.b, 60);
    EXPECT_EQ(blend.g, 0);
    SDL_FreeSurface(image);
}
