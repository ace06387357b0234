// Tests of stepping through the list with the next image decoded ahead.
#include "support.h"

class StepTest : public ViewerTest {
protected:
    void SetUp() override {
        ViewerTest::SetUp();
        a = saveImage(makeSolid(100, 100, kRed), dir + "/a.bmp");
        b = saveImage(makeSolid(100, 100, kGreen), dir + "/b.bmp");
        c = saveImage(makeSolid(100, 100, kBlue), dir + "/c.bmp");
        listImages({a, b, c});
    }
    // Runs a step; returns its result and records the INFO lines it printed.
    int step(int (*operation)()) {
        testing::internal::CaptureStdout();
        const int moved = operation();
        printed = testing::internal::GetCapturedStdout();
        EXPECT_LE(heldSurfaces(), 3);
        return moved;
    }
    std::string loaded(const std::string &path) {
        return "INFO: loaded " + path + ": 100x100 24bpp\n";
    }
    Rgb shown() { return pixelAt(screen, 160, 120); }

    std::string a, b, c, printed;
};

TEST_F(StepTest, ForwardStepsShowThePrefetchedImageAndLoadTheNext) {
    EXPECT_EQ(step(showNext), 1);
    EXPECT_EQ(printed, loaded(a) + loaded(b));
    EXPECT_EQ(shown(), kRed);
    EXPECT_EQ(viewerState.cursor, imageList.firstEntry);

    SDL_Surface *prefetchedB = viewerState.prefetched;
    EXPECT_EQ(step(showNext), 1);
    EXPECT_EQ(printed, loaded(c));
    EXPECT_EQ(viewerState.current, prefetchedB);
    EXPECT_EQ(shown(), kGreen);

    EXPECT_EQ(step(showNext), 1);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(viewerState.prefetched, nullptr);
    EXPECT_EQ(shown(), kBlue);

    markScreen();
    EXPECT_EQ(step(showNext), 0);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(viewerState.cursor, imageList.lastEntry);
    EXPECT_EQ(shown(), kMark) << "a refused step must not draw";
}

TEST_F(StepTest, BackwardStepsDecodeBeforeDrawingAndKeepTheLeftImageAhead) {
    step(showNext);
    step(showNext);
    step(showNext);
    SDL_Surface *imageOfC = viewerState.current;

    EXPECT_EQ(step(showPrevious), 1);
    EXPECT_EQ(printed, loaded(b));
    EXPECT_EQ(viewerState.prefetched, imageOfC);
    EXPECT_EQ(shown(), kGreen);

    EXPECT_EQ(step(showNext), 1);
    EXPECT_EQ(printed, "") << "stepping forward again must not decode";
    EXPECT_EQ(viewerState.current, imageOfC);
    EXPECT_EQ(viewerState.prefetched, nullptr);

    step(showPrevious);
    EXPECT_EQ(step(showPrevious), 1);
    EXPECT_EQ(printed, loaded(a));
    EXPECT_EQ(shown(), kRed);

    markScreen();
    EXPECT_EQ(step(showPrevious), 0);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(viewerState.cursor, imageList.firstEntry);
    EXPECT_EQ(shown(), kMark);
}

TEST_F(StepTest, UndecodableLookAheadEndsWithStatusOne) {
    const std::string broken = dir + "/broken.png";
    writeFile(broken, "\x89PNG\r\n\x1a\n garbage");
    imageList.firstEntry->nextEntry->filePath = broken;
    EXPECT_EXIT(showNext(), testing::ExitedWithCode(1), "");
}

TEST_F(StepTest, FilesThatCannotBeShownArePassedOverBothWaysWhenSkipped) {
    settings.skipBroken = 1;
    const std::string broken = dir + "/broken.png";
    writeFile(broken, "\x89PNG\r\n\x1a\n garbage");
    const std::string vanished = dir + "/vanished.bmp";
    const std::string refused = "Error: loadImage: ";
    const std::string gone = "Error: reading file " + vanished + ": No such file or directory\n";
    freeImageList();
    listImages({broken, a, vanished, b, broken});

    EXPECT_EQ(step(showNext), 1);
    ASSERT_EQ(splitLines(printed).size(), 4u) << printed;
    EXPECT_EQ(printed.rfind(refused, 0), 0u) << printed;
    EXPECT_NE(printed.find(loaded(a) + gone + loaded(b)), std::string::npos) << printed;
    EXPECT_EQ(shown(), kRed);
    EXPECT_NE(SDL_WasInit(SDL_INIT_VIDEO), 0u) << "the display must stay";

    EXPECT_EQ(step(showNext), 1);
    EXPECT_EQ(printed.rfind(refused, 0), 0u) << "the last file is tried ahead: " << printed;
    EXPECT_EQ(shown(), kGreen);
    EXPECT_EQ(viewerState.prefetched, nullptr);
    EXPECT_EQ(step(showNext), 0);
    EXPECT_EQ(printed, "") << "a file that failed is not tried again";

    EXPECT_EQ(step(showPrevious), 1);
    EXPECT_EQ(printed, loaded(a));
    EXPECT_EQ(shown(), kRed);
    markScreen();
    EXPECT_EQ(step(showPrevious), 0);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(shown(), kMark);
    EXPECT_EQ(step(showNext), 1);
    EXPECT_EQ(printed, "") << "the image ahead is the next one shown";
    EXPECT_EQ(shown(), kGreen);
}

TEST_F(StepTest, AListOfFilesNoneOfWhichCanBeShownEndsWithStatusOneWhenSkipped) {
    settings.skipBroken = 1;
    writeFile(dir + "/text.png", "not a picture");
    freeImageList();
    listImages({dir + "/text.png", dir + "/vanished.bmp"});
    EXPECT_EXIT(showNext(), testing::ExitedWithCode(1), "");
}
