// Memcheck run: the real viewer under valgrind, stepped and turned across many images on Xvfb.
#include "x_session.h"

using MemcheckTest = EndToEndTest;

TEST_F(MemcheckTest, SteppingAndTurningIsCleanUnderValgrind) {
    ASSERT_EQ(system("command -v valgrind >/dev/null"), 0) << "install the Debian package valgrind";
    std::vector<std::string> paths;
    for (int i = 0; i < 11; i++) {
        // Every image needs fitting; every other one is paletted.
        paths.push_back(
            image("card" + std::to_string(i) + ".bmp", makeTestCard(330 + i, 250, i % 2 ? 8 : 32)));
    }
    const std::string log = dir + "/valgrind.log";
    // SDL on top of SDL2 would draw through the GL driver, whose own reads valgrind flags; the
    // software renderer is what a board without a GPU uses anyway. Classic SDL ignores both.
    startViewer(paths, "",
                {"env", "SDL_RENDER_DRIVER=software", "SDL_FRAMEBUFFER_ACCELERATION=0", "valgrind",
                 "--error-exitcode=99", "--leak-check=full", "--errors-for-leak-kinds=definite",
                 "--show-leak-kinds=definite", "--suppressions=" LUMOSCAPE_VALGRIND_SUPPRESSIONS,
                 "--log-file=" + log});
    const char *turns[] = {"Left", "Up", "Right", "Down"};
    for (int step = 0; step < 10; step++) {
        press(turns[step % 4]);
        press("space");
    }
    for (int step = 0; step < 10; step++) {
        press("shift");
        press(turns[(step + 1) % 4]);
    }
    // Every decode prints a line: 2 at start, 9 ahead of forward steps, 10 for backward ones.
    waitForLines(21);
    press("Escape");
    expectEnded(0);
    const std::string report = readWhole(log);
    EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
}
