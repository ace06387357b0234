// Benchmarks on a real X server: wake-ups of an idle viewer and the time from a key to pixels.
#include "on_x.h"

#include <SDL.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <png.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <tuple>

#include "child_process.h"
#include "image_files.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Reads until `lines` lines have come or `seconds` pass; whether they came.
bool readLines(Child &process, size_t lines, double seconds) {
    return readUntil(
        process, [&](const std::string &printed) { return countLines(printed) >= lines; }, seconds);
}

void stop(Child &process) {
    if (process.pid <= 0) return;
    kill(process.pid, SIGTERM);
    waitForExit(process, 30);
    process.pid = -1;
}

// The mapped top-level window whose class is the viewer's, or 0.
Window findViewer(Display *display) {
    Window root = DefaultRootWindow(display), parent = 0, *children = nullptr, found = 0;
    unsigned int count = 0;
    if (!XQueryTree(display, root, &root, &parent, &children, &count)) return 0;
    for (unsigned int i = 0; i < count && !found; i++) {
        XClassHint hint{};
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(display, children[i], &attributes) &&
            attributes.map_state == IsViewable && XGetClassHint(display, children[i], &hint)) {
            if (hint.res_class && !strcmp(hint.res_class, "lumoscape")) found = children[i];
            XFree(hint.res_name);
            XFree(hint.res_class);
        }
    }
    if (children) XFree(children);
    return found;
}

int ignoreError(Display *, XErrorEvent *) { return 0; }

// Whether the middle of the window shows mostly red (true) or mostly green (false).
bool showsRed(Display *display, Window window, int x, int y) {
    XImage *image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image) return false;
    const unsigned long pixel = XGetPixel(image, 0, 0);
    const bool red = (pixel & image->red_mask) && !(pixel & image->green_mask);
    XDestroyImage(image);
    return red;
}

bool writeSolid(const std::string &path, Uint8 r, Uint8 g) {
    SDL_Surface *surface =
        SDL_CreateRGBSurface(SDL_SWSURFACE, 320, 240, 24, 0xff, 0xff00, 0xff0000, 0);
    if (!surface) return false;
    SDL_FillRect(surface, nullptr, SDL_MapRGB(surface->format, r, g, 0));
    const bool written = SDL_SaveBMP(surface, path.c_str()) == 0;
    SDL_FreeSurface(surface);
    return written;
}

// Seconds from an Escape, sent while the image ahead is an XCF whose reader reads for ever, to
// the viewer's end; the median of `runs`.
double escapeDuringDecode(Display *connection, const std::string &binary,
                          const std::vector<std::string> &environment, const std::string &shown,
                          const std::string &folder, int runs) {
    const std::string hanging = folder + "/endless.xcf";
    FILE *file = fopen(hanging.c_str(), "wb");
    if (!file) return -1;
    // Its one property steps back over itself.
    static const unsigned char endless[50] = {
        'g', 'i', 'm', 'p', ' ', 'x', 'c', 'f', ' ', 'f', 'i', 'l', 'e', 0,    0,    0,    0,
        4,   0,   0,   0,   4,   0,   0,   0,   0,   0,   0,   0,   99,  0xff, 0xff, 0xff, 0xf8};
    fwrite(endless, 1, sizeof endless, file);
    fclose(file);
    const KeyCode escape = XKeysymToKeycode(connection, XK_Escape);
    std::vector<double> times;
    for (int run = 0; connection && run < runs; run++) {
        Child viewer = startChild(binary, {shown, hanging}, environment);
        Window window = 0;
        const auto begun = Clock::now();
        while (secondsSince(begun) < 30 &&
               !((window = findViewer(connection)) && showsRed(connection, window, 160, 120)))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        XSetInputFocus(connection, window, RevertToParent, CurrentTime);
        XSync(connection, False);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto pressed = Clock::now();
        XTestFakeKeyEvent(connection, escape, True, 0);
        XTestFakeKeyEvent(connection, escape, False, 0);
        XFlush(connection);
        if (waitForExit(viewer, 5) == 0) times.push_back(secondsSince(pressed));
    }
    unlink(hanging.c_str());
    std::sort(times.begin(), times.end());
    return times.empty() ? -1 : times[times.size() / 2];
}

// Processor seconds of every process this one has reaped.
double reapedProcessorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Medians of `runs` starts of `binary` with `arguments`: seconds from exec to red pixels in the
// middle of its window, and the processor seconds of all its processes, orphans included,
// from exec to its end once they showed.
std::pair<double, double> startsToPixels(Display *connection, const std::string &binary,
                                         const std::vector<std::string> &arguments,
                                         const std::vector<std::string> &environment, int runs,
                                         int redX, int redY) {
    // Its processes that outlive it (a decoder worker ends as its helper does) come here.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::vector<double> times, processor;
    for (int run = 0; connection && run < runs; run++) {
        const double before = reapedProcessorSeconds();
        const auto begun = Clock::now();
        Child first = startChild(binary, arguments, environment);
        // SDL on top of SDL2 may replace its first window: the window is looked up each time.
        while (secondsSince(begun) < 30) {
            const Window shown = findViewer(connection);
            if (shown && showsRed(connection, shown, redX, redY)) break;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        times.push_back(secondsSince(begun));
        stop(first);
        // Its orphans end at once, killed as their parent ends: each is waited for a while (the
        // X server, a child too, stays).
        for (int idle = 0; idle < 10;) {
            const pid_t orphan = waitpid(-1, nullptr, WNOHANG);
            if (orphan < 0) break;
            if (orphan == 0) {
                idle++;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        processor.push_back(reapedProcessorSeconds() - before);
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    if (times.empty()) return {-1, -1};
    std::sort(times.begin(), times.end());
    std::sort(processor.begin(), processor.end());
    return {times[times.size() / 2], processor[processor.size() / 2]};
}

}  // namespace

XFigures measureOnX(const std::string &binary, const std::string &bare,
                    const std::vector<std::string> &environment, const std::string &folder,
                    int starts, int idleSeconds, int steps) {
    XFigures figures;
    const std::string red = folder + "/red.bmp", green = folder + "/green.bmp";
    if (!writeSolid(red, 255, 0) || !writeSolid(green, 0, 255)) return figures;
    Child server = startChild(
        "Xvfb", {"-displayfd", "1", "-screen", "0", "640x480x24", "-noreset", "-nolisten", "tcp"});
    if (!readLines(server, 1, 30)) {
        fprintf(stderr, "Xvfb did not start (Debian package xvfb)\n");
        stop(server);
        return figures;
    }
    const std::string display = ":" + server.output.substr(0, server.output.find('\n'));
    std::vector<std::string> arguments;
    for (int i = 0; i <= steps; i++) arguments.push_back(i % 2 ? green : red);
    std::vector<std::string> viewerEnvironment = environment;
    viewerEnvironment.push_back("DISPLAY=" + display);
    viewerEnvironment.push_back("HOME=" + folder);
    viewerEnvironment.push_back("SDL_VIDEODRIVER=x11");  // the benchmarks run on the dummy driver
    viewerEnvironment.push_back("LANG=C.UTF-8");
    Display *connection = XOpenDisplay(display.c_str());
    // A window that goes away between a look-up and a read is no failure of the measurement.
    XSetErrorHandler(ignoreError);
    // A 200x150 PNG of two bands, red then green, centred: red at (110, 120).
    const std::string start = folder + "/start.png";
    if (!writeTestPng(start, 200, 150, {PNG_COLOR_TYPE_PALETTE, 1, PngTransparency::none, false}))
        return figures;
    std::tie(figures.execToPixelsMedian, figures.execProcessorMedian) =
        startsToPixels(connection, binary, {start}, viewerEnvironment, starts, 110, 120);
    unlink(start.c_str());
    // The bare program's window takes the viewer's class, by which it is found.
    std::vector<std::string> bareEnvironment = viewerEnvironment;
    bareEnvironment.push_back("SDL_VIDEO_X11_WMCLASS=lumoscape");
    std::tie(figures.bareToPixelsMedian, figures.bareProcessorMedian) =
        startsToPixels(connection, bare, {}, bareEnvironment, starts, 110, 120);
    std::tie(figures.bareInCToPixelsMedian, figures.bareInCProcessorMedian) =
        startsToPixels(connection, bare, {"C"}, bareEnvironment, starts, 110, 120);
    figures.escapeToExitMedian =
        escapeDuringDecode(connection, binary, viewerEnvironment, red, folder, starts);
    Child viewer = startChild(binary, arguments, viewerEnvironment);
    Window window = 0;
    if (connection && readLines(viewer, 2, 30)) {
        const auto begun = Clock::now();
        while (!(window = findViewer(connection)) && secondsSince(begun) < 30)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (window) {
        XSetInputFocus(connection, window, RevertToParent, CurrentTime);
        XSync(connection, False);
        const KeyCode space = XKeysymToKeycode(connection, XK_space);
        while (!showsRed(connection, window, 160, 120))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));

        const long before = voluntarySwitches(viewer.pid);
        std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
        figures.idleWakeupsPerSecond = double(voluntarySwitches(viewer.pid) - before) / idleSeconds;

        std::vector<double> times;
        std::mt19937 random(7);
        std::uniform_int_distribution<int> pause(0, 20000);
        for (int step = 1; step <= steps; step++) {
            const bool wantRed = step % 2 == 0;
            const auto pressed = Clock::now();
            XTestFakeKeyEvent(connection, space, True, 0);
            XTestFakeKeyEvent(connection, space, False, 0);
            XFlush(connection);
            while (showsRed(connection, window, 160, 120) != wantRed && secondsSince(pressed) < 5) {
            }
            times.push_back(secondsSince(pressed));
            // Let the look-ahead decode that follows the flip end before the next press, then
            // press at a random moment, so that a viewer that looks for events at fixed
            // intervals is not always caught just before it looks.
            readLines(viewer, size_t(2 + std::min(step, steps - 1)), 5);
            std::this_thread::sleep_for(std::chrono::microseconds(50000 + pause(random)));
        }
        std::sort(times.begin(), times.end());
        figures.keyToPixelsMedian = times[times.size() / 2];
    } else {
        fprintf(stderr, "the viewer's window did not show on Xvfb; it printed: %s\n",
                viewer.output.c_str());
    }
    if (connection) XCloseDisplay(connection);
    stop(viewer);
    stop(server);
    unlink(red.c_str());
    unlink(green.c_str());
    return figures;
}
