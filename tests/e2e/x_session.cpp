// End-to-end helpers: a private Xvfb server, the viewer's window, keys and screen captures.
#include "x_session.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

// Long enough for a start under valgrind; every wait polls, so passing runs never take it.
constexpr double kPatienceSeconds = 30;

struct RequiredTool {
    const char *program;
    const char *package;
};

// A missing tool fails the test by name; it must never pass by skipping.
const RequiredTool kTools[] = {
    {"Xvfb", "xvfb"}, {"xdotool", "xdotool"}, {"xwd", "x11-apps"}, {"xwininfo", "x11-utils"}};

bool onPath(const std::string &program) {
    const std::string check = "command -v '" + program + "' >/dev/null 2>&1";
    return system(check.c_str()) == 0;
}

uint32_t bigEndian(const std::string &data, size_t at) {
    const auto byte = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<uint8_t>(data[at + i]));
    };
    return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}

Uint8 channel(uint32_t pixel, uint32_t mask) {
    if (!mask) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) shift++;
    const uint32_t value = (pixel & mask) >> shift, maximum = mask >> shift;
    return static_cast<Uint8>(value * 255 / maximum);
}

void sleepBriefly() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }

}  // namespace

Capture parseXwd(const std::string &dump) {
    Capture capture;
    if (dump.size() < 100) return capture;
    const uint32_t headerSize = bigEndian(dump, 0), width = bigEndian(dump, 16),
                   height = bigEndian(dump, 20), byteOrder = bigEndian(dump, 28),
                   bitsPerPixel = bigEndian(dump, 44), bytesPerLine = bigEndian(dump, 48),
                   redMask = bigEndian(dump, 56), greenMask = bigEndian(dump, 60),
                   blueMask = bigEndian(dump, 64), colours = bigEndian(dump, 76);
    const size_t start = headerSize + colours * 12u;
    if (bitsPerPixel != 32 || dump.size() < start + size_t(bytesPerLine) * height) return capture;
    capture.width = static_cast<int>(width);
    capture.height = static_cast<int>(height);
    capture.pixels.reserve(size_t(width) * height);
    for (uint32_t y = 0; y < height; y++) {
        for (uint32_t x = 0; x < width; x++) {
            const size_t at = start + size_t(y) * bytesPerLine + x * 4u;
            uint32_t pixel = 0;
            for (int i = 0; i < 4; i++) {
                const uint32_t byte = static_cast<uint8_t>(dump[at + size_t(i)]);
                pixel |= byteOrder == 0 ? byte << (8 * i) : byte << (8 * (3 - i));
            }
            capture.pixels.push_back(
                {channel(pixel, redMask), channel(pixel, greenMask), channel(pixel, blueMask)});
        }
    }
    return capture;
}

void EndToEndTest::SetUp() {
    for (const RequiredTool &tool : kTools) {
        ASSERT_TRUE(onPath(tool.program))
            << tool.program << " is missing: install the Debian package " << tool.package;
    }
    dir = makeTempDir();
    home = dir + "/home";
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);

    startServer();
}

void EndToEndTest::startServer() {
    // Xvfb picks a free display and writes its number to standard output. Without -noreset the
    // server resets when its last client leaves, and a viewer connecting then would fail.
    server = startChild(
        "Xvfb", {"-displayfd", "1", "-screen", "0", "640x480x24", "-noreset", "-nolisten", "tcp"});
    ASSERT_TRUE(readUntil(
        server, [](const std::string &out) { return countLines(out) > 0; }, kPatienceSeconds))
        << "Xvfb did not start";
    display = ":" + splitLines(server.output).at(0);
}

void EndToEndTest::TearDown() {
    if (viewer.pid > 0) {
        kill(viewer.pid, SIGKILL);
        waitForExit(viewer, kPatienceSeconds);
    }
    if (server.pid > 0) {
        kill(server.pid, SIGTERM);
        waitForExit(server, kPatienceSeconds);
    }
    const std::string removal = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(removal.c_str()), 0);
}

ProcessResult EndToEndTest::runX(const std::string &program, const std::vector<std::string> &args) {
    return runProgram(program, args, {"DISPLAY=" + display}, kPatienceSeconds);
}

std::string EndToEndTest::image(const std::string &name, SDL_Surface *surface) {
    return saveImage(surface, dir + "/" + name);
}

void EndToEndTest::startViewer(const std::vector<std::string> &args,
                               const std::string &settingsText,
                               const std::vector<std::string> &launcher) {
    if (!settingsText.empty()) writeFile(home + "/.lumoscaperc", settingsText);
    std::vector<std::string> command = launcher;
    for (const std::string &word : viewerCommand()) command.push_back(word);
    command.insert(command.end(), args.begin(), args.end());
    const std::string program = command.front();
    command.erase(command.begin());
    viewer = startChild(program, command, {"DISPLAY=" + display, "HOME=" + home}, false,
                        [] { setpgid(0, 0); });
    // The first line comes after the video mode is set, so the window found then is final
    // (SDL on top of SDL2 may replace its first window while it sets the mode up).
    ASSERT_TRUE(readUntil(
        viewer, [](const std::string &out) { return countLines(out) > 0; }, kPatienceSeconds))
        << "the viewer printed nothing";
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(int(kPatienceSeconds))) {
        const ProcessResult found =
            runX("xdotool", {"search", "--onlyvisible", "--class", "lumoscape"});
        if (found.exitStatus == 0 && !found.output.empty()) {
            window = splitLines(found.output).back();
            return;
        }
        sleepBriefly();
    }
    FAIL() << "the viewer's window did not appear; it printed: " << viewer.output;
}

WindowGeometry EndToEndTest::geometry() {
    const ProcessResult info = runX("xwininfo", {"-id", window});
    WindowGeometry result;
    for (const std::string &line : splitLines(info.output)) {
        const auto value = [&](const char *label, int *into) {
            const size_t at = line.find(label);
            if (at != std::string::npos) *into = std::stoi(line.substr(at + strlen(label)));
        };
        value("Absolute upper-left X:", &result.x);
        value("Absolute upper-left Y:", &result.y);
        value("Width:", &result.width);
        value("Height:", &result.height);
    }
    return result;
}

void EndToEndTest::press(const std::string &key) {
    // Keys sent to an unfocused window are lost, so focus it and wait for the focus first.
    const ProcessResult typed = runX("xdotool", {"windowfocus", "--sync", window, "key", key});
    ASSERT_EQ(typed.exitStatus, 0) << typed.output;
}

// Only windows are captured: with windows of several visuals on the screen, as SDL on top of
// SDL2 makes, xwd's dump of the root window comes out garbled.
Capture EndToEndTest::capture(const std::string &otherWindow) {
    const ProcessResult dumped =
        runX("xwd", {"-id", otherWindow.empty() ? window : otherWindow, "-silent"});
    EXPECT_EQ(dumped.exitStatus, 0);
    return parseXwd(dumped.output);
}

Capture EndToEndTest::waitForCapture(const std::function<bool(const Capture &)> &ready,
                                     const std::string &otherWindow) {
    const auto start = std::chrono::steady_clock::now();
    Capture last = capture(otherWindow);
    while (!ready(last) &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(int(kPatienceSeconds))) {
        sleepBriefly();
        last = capture(otherWindow);
    }
    return last;
}

Capture EndToEndTest::waitForPixel(int x, int y, Rgb colour) {
    Capture shot = waitForCapture(
        [&](const Capture &c) { return c.width > x && c.height > y && c.at(x, y) == colour; });
    EXPECT_TRUE(shot.width > x && shot.height > y)
        << "capture of " << shot.width << "x" << shot.height;
    if (shot.width > x && shot.height > y) {
        EXPECT_EQ(shot.at(x, y), colour) << "at " << x << ", " << y;
    }
    return shot;
}

std::string EndToEndTest::waitForLines(size_t count) {
    EXPECT_TRUE(readUntil(
        viewer, [&](const std::string &out) { return countLines(out) >= count; }, kPatienceSeconds))
        << "expected " << count << " lines, got: " << viewer.output;
    return viewer.output;
}

bool EndToEndTest::viewerWindowExists() {
    return runX("xdotool", {"search", "--class", "lumoscape"}).exitStatus == 0;
}

void EndToEndTest::expectEnded(int status) {
    EXPECT_EQ(waitForExit(viewer, kPatienceSeconds), status) << viewer.output;
    viewer.pid = -1;
    EXPECT_FALSE(viewerWindowExists()) << "the viewer's window outlived it";
}
