// Test helpers: a swapped-in screen, generated images, captured output and child processes.
#pragma once

#include <SDL.h>
#include <gtest/gtest.h>

#include <sys/types.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "child_process.h"
#include "display/display.h"

/// A 50-byte XCF whose one property steps back over itself: SDL_image's reader reads it for
/// ever.
const std::string kEndlessDecode =
    LUMOSCAPE_SOURCE_DIR "/tests/fuzz/library-crashes/xcf-endless-properties.xcf";

/// An RGB colour as read back from a surface.
struct Rgb {
    Uint8 r, g, b;
    bool operator==(const Rgb &other) const { return r == other.r && g == other.g && b == other.b; }
    bool operator!=(const Rgb &other) const { return !(*this == other); }
};
void PrintTo(const Rgb &colour, std::ostream *out);

constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kRed{255, 0, 0};
constexpr Rgb kGreen{0, 255, 0};
constexpr Rgb kBlue{0, 0, 255};
constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kMark{9, 9, 9};

/// Reads the colour of one pixel of any surface.
Rgb pixelAt(SDL_Surface *surface, int x, int y);
/// A surface of one colour; `bitsPerPixel` 8 makes a paletted one.
SDL_Surface *makeSolid(int width, int height, Rgb colour, int bitsPerPixel = 32);
/// A surface whose four quadrants are red (top left), green (top right), blue (bottom
/// left) and white (bottom right); `bitsPerPixel` 8 puts red at palette index 0.
SDL_Surface *makeTestCard(int width, int height, int bitsPerPixel = 32);
/// Writes `surface` as a BMP file and frees it; returns the path.
std::string saveImage(SDL_Surface *surface, const std::string &path);
/// Writes a 32-bit `surface` (as makeSolid and makeTestCard make) as an RGB PNG file and
/// frees it; returns the path.
std::string savePng(SDL_Surface *surface, const std::string &path);
/// A fresh, empty temporary directory.
std::string makeTempDir();
/// Empties the image list, freeing its entries.
void freeImageList();
/// Writes `text` into a file.
void writeFile(const std::string &path, const std::string &text);
/// The whole content of a file; empty when it cannot be read.
std::string readWhole(const std::string &path);
/// How many descriptors this process has open.
int openDescriptorCount();
/// Lines of `text`, without their line ends.
std::vector<std::string> splitLines(const std::string &text);

/// Outcome of a child process.
struct ProcessResult {
    int exitStatus;      ///< exit status, or -1 when killed by a signal
    std::string output;  ///< everything written to standard output
};
/// Runs a program to its end, standard error merged into the output.
ProcessResult runProgram(const std::string &program, const std::vector<std::string> &args,
                         const std::vector<std::string> &environment = {}, double seconds = 20);

/// The viewer the tests run: $LUMOSCAPE_BINARY if set (a cross-built one, say), else the
/// build's own.
std::string viewerBinary();
/// The words that start the viewer: $LUMOSCAPE_RUNNER's (an emulator such as qemu-aarch64),
/// if set, then viewerBinary().
std::vector<std::string> viewerCommand();
/// Whether the viewer runs under an emulator, which ignores a program's own memory limits and
/// runs it several times slower.
bool viewerEmulated();
/// Starts the viewer with `args`, as startChild starts a program.
Child startViewerChild(const std::vector<std::string> &args,
                       const std::vector<std::string> &environment = {}, bool mergeErrors = false,
                       const std::function<void()> &inChild = {});

/// Runs the built viewer with `args` and extra `NAME=value` environment entries; once it has
/// printed `stopAfterLines` lines (if not 0) it is sent SIGTERM, unless one of them is an error,
/// after which it ends by itself. It is killed after a time limit.
ProcessResult runViewer(const std::vector<std::string> &args,
                        const std::vector<std::string> &environment = {}, int stopAfterLines = 0,
                        int timeoutSeconds = 20);

/// Runs the display on SDL's dummy driver with a 32-bit screen surface of the test's own,
/// so colours can be compared exactly and the screen outlives SDL_Quit; resets all state.
class ViewerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    /// Puts the paths into the image list in this order.
    void listImages(const std::vector<std::string> &paths);
    /// Replaces the screen by one of another size.
    void useScreen(int width, int height);
    /// Number of distinct surfaces held in the image slots.
    int heldSurfaces() const;
    /// Puts a key event into SDL's queue.
    static void pushKey(SDLKey key, Uint8 type = SDL_KEYDOWN);
    /// Puts an event with no payload into SDL's queue.
    static void pushEventType(Uint8 type);
    /// Pushes key presses and dispatches every queued event; returns what was printed.
    std::string press(std::initializer_list<SDLKey> keys);
    /// Fills the screen with a colour no viewer action draws, to tell whether anything drew.
    void markScreen();

    SDL_Surface *screen = nullptr;
    std::string dir;
};
