// Tests of decoding images and fitting them to the screen.
#include <cstdio>
#include <fstream>

#include "support.h"

using LoadTest = ViewerTest;

TEST_F(LoadTest, PrintsOneLineAndFitsOnlyWhatIsTooLarge) {
    struct Case {
        int width, height;
        std::string suffix;  // what follows the size and depth on the INFO line
        int fittedWidth, fittedHeight;
    };
    const Case cases[] = {
        {320, 240, "", 320, 240},
        {200, 100, "", 200, 100},
        {321, 240, ", scaled: 1.00, 1.00", 320, 240},
        {100, 600, ", scaled: 3.20, 0.40", 320, 240},
        {640, 120, ", scaled: 0.50, 2.00", 320, 240},
    };
    for (const Case &c : cases) {
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
}

TEST_F(LoadTest, FittedImagesKeepTheirOwnColours) {
    for (int bitsPerPixel : {32, 8}) {
        // In the paletted card red sits at index 0, which the scaler would make transparent.
        const std::string path = saveImage(makeTestCard(640, 480, bitsPerPixel),
                                           dir + "/card" + std::to_string(bitsPerPixel) + ".bmp");
        testing::internal::CaptureStdout();
        SDL_Surface *image = loadImage(path.c_str());
        testing::internal::GetCapturedStdout();
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->format->BitsPerPixel, bitsPerPixel == 8 ? 8 : 32);
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
    const std::string path = dir + "/text.png";
    writeFile(path, "this is not an image\n");
    testing::internal::CaptureStdout();
    SDL_Surface *image = loadImage(path.c_str());
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(image, nullptr);
    EXPECT_EQ(output.rfind("Error: loadImage: ", 0), 0u) << output;
    EXPECT_EQ(output.find('\n'), output.size() - 1) << output;
    EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
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
