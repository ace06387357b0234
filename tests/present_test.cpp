// Tests of putting surfaces on the screen.
#include "support.h"

using PresentTest = ViewerTest;

TEST_F(PresentTest, SmallSurfaceIsCentredOnBlack) {
    SDL_Surface *image = makeSolid(200, 100, kRed);
    SDL_FillRect(screen, nullptr, SDL_MapRGB(screen->format, 9, 9, 9));
    presentSurface(image);
    EXPECT_EQ(pixelAt(screen, 60, 70), kRed);
    EXPECT_EQ(pixelAt(screen, 259, 169), kRed);
    EXPECT_EQ(pixelAt(screen, 59, 70), kBlack);
    EXPECT_EQ(pixelAt(screen, 60, 69), kBlack);
    EXPECT_EQ(pixelAt(screen, 260, 169), kBlack);
    EXPECT_EQ(pixelAt(screen, 259, 170), kBlack);
    EXPECT_EQ(pixelAt(screen, 0, 0), kBlack);
    SDL_FreeSurface(image);
}

TEST_F(PresentTest, LargerSurfaceIsCentredAndClipped) {
    // A 401x301 card sits at (-40, -30): odd differences truncate toward zero.
    SDL_Surface *card = makeTestCard(401, 301);
    presentSurface(card);
    EXPECT_EQ(pixelAt(screen, 0, 0), kRed);
    EXPECT_EQ(pixelAt(screen, 159, 119), kRed);
    EXPECT_EQ(pixelAt(screen, 160, 0), kGreen);
    EXPECT_EQ(pixelAt(screen, 0, 120), kBlue);
    EXPECT_EQ(pixelAt(screen, 319, 239), kWhite);
    SDL_FreeSurface(card);
}
