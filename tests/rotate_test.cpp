// Tests of turning the shown image with the arrow keys.
#include <array>
#include <cstdlib>

#include "support.h"

namespace {

using Corners = std::array<Rgb, 4>;  // top left, top right, bottom left, bottom right

// Where the red, green, blue and white quadrants of the test card end up.
const Corners kUnturned{kRed, kGreen, kBlue, kWhite};
const Corners kCounterClockwise{kGreen, kWhite, kRed, kBlue};
const Corners kClockwise{kBlue, kRed, kWhite, kGreen};
const Corners kHalfTurn{kWhite, kBlue, kGreen, kRed};

}  // namespace

class RotateTest : public ViewerTest {
protected:
    // Lists a test card and a plain image after it, and shows the card.
    void showCard(int width, int height, int bitsPerPixel) {
        listImages({saveImage(makeTestCard(width, height, bitsPerPixel), dir + "/card.bmp"),
                    saveImage(makeSolid(50, 50, kGreen), dir + "/next.bmp")});
        testing::internal::CaptureStdout();
        showNext();
        testing::internal::GetCapturedStdout();
    }
    // Samples the middle of each quadrant of a width x height area centred on the screen.
    Corners shownCorners(int width, int height) {
        const int left = (screen->w - width) / 2, top = (screen->h - height) / 2;
        return {pixelAt(screen, left + width / 4, top + height / 4),
                pixelAt(screen, left + 3 * width / 4, top + height / 4),
                pixelAt(screen, left + width / 4, top + 3 * height / 4),
                pixelAt(screen, left + 3 * width / 4, top + 3 * height / 4)};
    }
    void expectTurnedSize(int width, int height) {
        ASSERT_NE(viewerState.rotated, nullptr);
        EXPECT_LE(std::abs(viewerState.rotated->w - width), 3) << viewerState.rotated->w;
        EXPECT_LE(std::abs(viewerState.rotated->h - height), 3) << viewerState.rotated->h;
    }
};

TEST_F(RotateTest, ArrowKeysTurnAScreenSizeImage) {
    struct Case {
        std::initializer_list<SDLKey> keys;
        int angle;
        int width, height;  // of the turned copy, about
        Corners corners;
    };
    const Case cases[] = {
        {{SDLK_LEFT}, 90, 180, 240, kCounterClockwise},
        {{SDLK_RIGHT}, -90, 180, 240, kClockwise},
        {{SDLK_UP}, 180, 320, 240, kHalfTurn},
        {{SDLK_DOWN}, 180, 320, 240, kHalfTurn},
        {{SDLK_LEFT, SDLK_LEFT, SDLK_LEFT, SDLK_LEFT, SDLK_LEFT}, 450, 180, 240, kCounterClockwise},
        {{SDLK_RIGHT, SDLK_UP}, 90, 180, 240, kCounterClockwise},
    };
    for (int bitsPerPixel : {32, 8}) {
        showCard(320, 240, bitsPerPixel);
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << bitsPerPixel << " bpp, angle " << c.angle);
            EXPECT_EQ(press(c.keys), "");
            EXPECT_EQ(viewerState.angle, c.angle);
            expectTurnedSize(c.width, c.height);
            EXPECT_EQ(shownCorners(c.width, c.height), c.corners);
            if (c.width == 180) {
                EXPECT_EQ(pixelAt(screen, 60, 120), kBlack);
                EXPECT_EQ(pixelAt(screen, 259, 120), kBlack);
            }
            viewerState.angle = 0;
        }
        TearDown();
        SetUp();
    }
}

TEST_F(RotateTest, FullTurnsDropTheCopyAndShowTheOriginal) {
    showCard(320, 240, 32);
    for (auto keys : {std::initializer_list<SDLKey>{SDLK_UP, SDLK_DOWN},
                      {SDLK_RIGHT, SDLK_RIGHT, SDLK_RIGHT, SDLK_RIGHT}}) {
        press(keys);
        EXPECT_EQ(viewerState.angle % 360, 0);
        EXPECT_EQ(viewerState.rotated, nullptr);
        EXPECT_EQ(shownCorners(320, 240), kUnturned);
    }
    EXPECT_EQ(viewerState.angle, 0);  // 360, then back down by four quarter turns
}

TEST_F(RotateTest, QuarterTurnShrinksOnlyWhenTheWidthExceedsTheScreenHeight) {
    showCard(200, 100, 32);
    press({SDLK_LEFT});
    expectTurnedSize(100, 200);
    EXPECT_EQ(shownCorners(100, 200), kCounterClockwise);
}

TEST_F(RotateTest, OnAScreenTallerThanWideAQuarterTurnKeepsItsShapeOnlyWhenAsked) {
    // The height is compared with the screen's width only for a picture in its own shape.
    for (const int32_t keepAspect : {0, 1}) {
        useScreen(240, 320);
        settings.keepAspect = keepAspect;
        showCard(240, 320, 32);
        press({SDLK_LEFT});
        expectTurnedSize(keepAspect ? 240 : 320, keepAspect ? 180 : 240);
        TearDown();
        SetUp();
    }
}

TEST_F(RotateTest, ExposeShowsTheTurnedCopyWithoutTurningAgain) {
    showCard(320, 240, 32);
    press({SDLK_RIGHT});
    SDL_Surface *turned = viewerState.rotated;
    markScreen();
    pushEventType(SDL_VIDEOEXPOSE);
    EXPECT_EQ(press({}), "");
    EXPECT_EQ(viewerState.rotated, turned);
    EXPECT_EQ(shownCorners(180, 240), kClockwise);
}

TEST_F(RotateTest, StepsShowImagesUnturnedAndRefusedStepsKeepTheTurn) {
    showCard(320, 240, 32);
    press({SDLK_LEFT});
    press({SDLK_SPACE});
    EXPECT_EQ(viewerState.angle, 0);
    EXPECT_EQ(viewerState.rotated, nullptr);
    EXPECT_EQ(pixelAt(screen, 160, 120), kGreen);

    press({SDLK_UP});
    SDL_Surface *turned = viewerState.rotated;
    EXPECT_EQ(press({SDLK_SPACE}), "");  // refused at the last image
    EXPECT_EQ(viewerState.angle, 180);
    EXPECT_EQ(viewerState.rotated, turned);

    press({SDLK_LSHIFT});
    EXPECT_EQ(viewerState.angle, 0);
    EXPECT_EQ(shownCorners(320, 240), kUnturned);
    press({SDLK_LSHIFT, SDLK_LEFT});  // the step back is refused and keeps nothing to undo
    EXPECT_EQ(viewerState.angle, 90);
    EXPECT_EQ(shownCorners(180, 240), kCounterClockwise);
}
