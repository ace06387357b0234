// Tests that a long session of stepping and turning keeps memory bounded.
#include <fstream>

#include "support.h"

namespace {

long residentKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    ADD_FAILURE() << "no VmRSS in /proc/self/status";
    return 0;
}

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer holds freed blocks in a quarantine of up to 256 MB to catch late uses.
constexpr long kAllowanceKilobytes = 256 * 1024;
#else
constexpr long kAllowanceKilobytes = 0;
#endif

}  // namespace

using MemoryTest = ViewerTest;

TEST_F(MemoryTest, SteppingAndTurningForLongKeepsMemoryFlat) {
    std::vector<std::string> paths;
    for (int i = 0; i < 10; i++) {
        // Larger than the screen, so every load also fits; every other one paletted.
        SDL_Surface *card = makeTestCard(400 + i, 300 + i, i % 2 ? 8 : 32);
        paths.push_back(saveImage(card, dir + "/card" + std::to_string(i) + ".bmp"));
    }
    listImages(paths);
    press({SDLK_SPACE});  // the first image, shown by the first step

    const SDLKey turns[] = {SDLK_LEFT, SDLK_UP, SDLK_RIGHT, SDLK_DOWN};
    long afterFirstPass = 0;
    for (int pass = 0; pass < 20; pass++) {
        for (int step = 0; step < 9; step++) press({SDLK_SPACE, turns[step % 4]});
        EXPECT_EQ(viewerState.cursor, imageList.lastEntry);
        for (int step = 0; step < 9; step++) press({SDLK_LSHIFT, turns[(step + pass) % 4]});
        EXPECT_EQ(viewerState.cursor, imageList.firstEntry);
        if (pass == 0) afterFirstPass = residentKilobytes();
    }
    const long growth = residentKilobytes() - afterFirstPass;
    // One leaked image per step would add well over 100 MB here.
    EXPECT_LT(growth, 16 * 1024 + kAllowanceKilobytes)
        << "resident memory grew by " << growth << " kB";
}
