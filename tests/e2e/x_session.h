// End-to-end helpers: a private Xvfb server, the viewer's window, keys and screen captures.
#pragma once

#include <string>
#include <vector>

#include "../support.h"

/// Pixels read back from an xwd capture.
struct Capture {
    int width = 0;
    int height = 0;
    std::vector<Rgb> pixels;
    Rgb at(int x, int y) const { return pixels[static_cast<size_t>(y * width + x)]; }
};

/// Where a window sits on the X screen.
struct WindowGeometry {
    int x = -1, y = -1, width = 0, height = 0;
};

/// Parses an xwd dump of a 32-bit TrueColor visual; an empty capture if it cannot.
Capture parseXwd(const std::string &dump);

/// Runs each test against the built viewer on an Xvfb server of its own, with its own HOME.
class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    /// Starts an Xvfb server of the test's own, on a display of its choosing.
    void startServer();
    /// Starts the viewer with `args` (and a settings file when `settingsText` is not empty),
    /// behind `launcher` (such as valgrind and its options) if given, in a process group of its
    /// own, then waits for its window.
    void startViewer(const std::vector<std::string> &args, const std::string &settingsText = "",
                     const std::vector<std::string> &launcher = {});
    /// The viewer window's position and size on the X screen.
    WindowGeometry geometry();
    /// Focuses the viewer's window and types one key (an xdotool key name).
    void press(const std::string &key);
    /// Captures the viewer's window, or another window of the server.
    Capture capture(const std::string &otherWindow = "");
    /// Captures until `ready` holds for the capture or a few seconds pass; returns the last one.
    Capture waitForCapture(const std::function<bool(const Capture &)> &ready,
                           const std::string &otherWindow = "");
    /// Waits until the pixel at (x, y) of the window has `colour`; returns the capture.
    Capture waitForPixel(int x, int y, Rgb colour);
    /// Waits until the viewer has printed `count` lines; returns its output.
    std::string waitForLines(size_t count);
    /// Waits for the viewer to end and checks its status and that its window is gone.
    void expectEnded(int status);
    /// Whether a window of the viewer exists on the server.
    bool viewerWindowExists();
    /// Runs an X client against this test's server.
    ProcessResult runX(const std::string &program, const std::vector<std::string> &args);
    /// A BMP file of `surface` in the test's folder.
    std::string image(const std::string &name, SDL_Surface *surface);

    std::string dir;
    std::string home;
    std::string display;
    Child server;
    Child viewer;
    std::string window;
};
