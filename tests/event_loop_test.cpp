// Tests of the event loop, driven by pushed SDL events.
#include "support.h"

class EventLoopTest : public ViewerTest {
protected:
    void SetUp() override {
        ViewerTest::SetUp();
        listImages({saveImage(makeSolid(100, 100, kRed), dir + "/a.bmp"),
                    saveImage(makeSolid(100, 100, kGreen), dir + "/b.bmp")});
        testing::internal::CaptureStdout();
        showNext();
        testing::internal::GetCapturedStdout();
    }
    // Runs the loop until the pushed events end it; returns what it printed.
    std::string runUntilQuit() {
        pushEventType(SDL_QUIT);
        testing::internal::CaptureStdout();
        EXPECT_EQ(runEventLoop(), 0);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(EventLoopTest, QuitKeysAndQuitEventShutDownWithStatusZero) {
    for (SDLKey key : {SDLK_ESCAPE, SDLK_q}) {
        pushKey(key);
        pushKey(SDLK_SPACE);  // must never be reached
        testing::internal::CaptureStdout();
        EXPECT_EQ(runEventLoop(), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
        EXPECT_EQ(viewerState.current, nullptr);
        EXPECT_EQ(viewerState.prefetched, nullptr);
        EXPECT_EQ(viewerState.cursor, imageList.firstEntry);
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0);
        viewerState.screen = screen;
    }
    runUntilQuit();
    EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
}

TEST_F(EventLoopTest, UnboundKeysKeyUpsAndMouseEventsDrawNothing) {
    markScreen();
    pushKey(SDLK_a);
    pushKey(SDLK_RSHIFT);
    pushKey(SDLK_SPACE, SDL_KEYUP);
    pushEventType(SDL_MOUSEMOTION);
    pushEventType(SDL_MOUSEBUTTONDOWN);
    EXPECT_EQ(runUntilQuit(), "");
    EXPECT_EQ(pixelAt(screen, 160, 120), kMark);
}

TEST_F(EventLoopTest, ExposeRedrawsWithoutDecoding) {
    markScreen();
    pushEventType(SDL_VIDEOEXPOSE);
    EXPECT_EQ(runUntilQuit(), "");
    EXPECT_EQ(pixelAt(screen, 160, 120), kRed);
    EXPECT_EQ(pixelAt(screen, 0, 0), kBlack);
}

TEST_F(EventLoopTest, SpaceAndLeftShiftStep) {
    pushKey(SDLK_SPACE);
    pushKey(SDLK_SPACE);  // refused at the last entry
    pushKey(SDLK_LSHIFT);
    const std::string printed = runUntilQuit();
    EXPECT_EQ(printed, "INFO: loaded " + dir + "/a.bmp: 100x100 24bpp\n");
    EXPECT_EQ(pixelAt(screen, 160, 120), kRed);
}
