// End-to-end tests: the built viewer on a real X server, driven by keys, checked by captures.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "image_files.h"
#include "x_session.h"

namespace {

std::string loaded(const std::string &path, const std::string &rest) {
    return "INFO: loaded " + path + ": " + rest + "\n";
}

bool isPure(Rgb c) { return c == kRed || c == kBlue; }
bool isBlend(Rgb c) { return c.r > 60 && c.b > 60 && c.g == 0; }

// A 640x240 image of alternating one-pixel red and blue columns: halving it either picks
// columns (pure colours) or averages neighbours (blends), depending on smoothing.
SDL_Surface *makeStripes() {
    SDL_Surface *stripes = makeSolid(640, 240, kRed);
    for (Sint16 x = 1; x < 640; x += 2) {
        SDL_Rect column{x, 0, 1, 240};
        SDL_FillRect(stripes, &column, SDL_MapRGB(stripes->format, 0, 0, 255));
    }
    return stripes;
}

// The files process `pid` maps, a line of /proc/PID/maps each.
std::string mapsOf(pid_t pid) { return readWhole("/proc/" + std::to_string(pid) + "/maps"); }

// The decoder helper the viewer forked.
pid_t helperOf(pid_t viewer) {
    DIR *processes = opendir("/proc");
    pid_t found = -1;
    while (const dirent *entry = processes ? readdir(processes) : nullptr) {
        if (atoi(entry->d_name) <= 0) continue;
        const std::string stat = readWhole(std::string("/proc/") + entry->d_name + "/stat");
        int parent = 0;
        const size_t nameEnd = stat.rfind(')');
        if (stat.find("(decoder-helper)") != std::string::npos &&
            sscanf(stat.c_str() + nameEnd + 1, " %*c %d", &parent) == 1 && parent == viewer)
            found = atoi(entry->d_name);
    }
    if (processes) closedir(processes);
    return found;
}

// The image libraries, the decoder's modules among them; `heavy` are those only some files need.
const struct {
    const char *file;
    bool heavy;
} kDecoderLibraries[] = {
    {"libpng", false},
    {"libjpeg", false},
    {"libwebp", false},
    {"libgif", false},
    {"libtiff", true},
    {"libSDL_image", true},
    {"lumoscape-sdlimage.so", true},
    {"lumoscape-decoder.so", false},
    {"libheif", true},
    {"libavif", true},
    {"libjxl", true},
    {"liblcms2", true},
    {"lumoscape-heif.so", true},
    {"lumoscape-avif.so", true},
    {"lumoscape-jxl.so", true},
    {"libopenjp2", true},
    {"lumoscape-jp2.so", true},
    {"librsvg", true},
    {"lumoscape-svg.so", true},
    {"lumoscape-colour.so", true},
};

}  // namespace

TEST_F(EndToEndTest,
       ImageLibrariesAreMappedByTheDecoderHelperOnlyAndTheHeavyOnesWhenAFileNeedsThem) {
    const std::string png = dir + "/a.png";
    savePng(makeSolid(64, 48, kRed), png);
    std::vector<std::string> files{png, png};
    for (const auto &[format, name] : {std::pair{ModernFormat::heif, "b.heic"},
                                       {ModernFormat::avif, "c.avif"},
                                       {ModernFormat::jxl, "d.jxl"},
                                       {ModernFormat::jp2, "d.jp2"}}) {
        files.push_back(dir + "/" + name);
        ASSERT_TRUE(writeModernFile(files.back(), format, ModernKind::still, 64, 48));
    }
    files.push_back(image("e.bmp", makeSolid(64, 48, kRed)));
    files.push_back(dir + "/f.svg");
    writeFile(files.back(), svgDrawing(64, 48, false));
    startViewer(files);
    waitForLines(2);
    const pid_t helper = helperOf(viewer.pid);
    ASSERT_GT(helper, 0);
    const std::string viewerMaps = mapsOf(viewer.pid);
    std::string helperMaps = mapsOf(helper);
    for (const auto &library : kDecoderLibraries) {
        SCOPED_TRACE(library.file);
        EXPECT_EQ(viewerMaps.find(library.file), std::string::npos);
        EXPECT_EQ(helperMaps.find(library.file) == std::string::npos, library.heavy);
    }
    // Each of the newer formats, a BMP for SDL_image and an SVG, is shown or read ahead, its
    // libraries loaded before the worker that decodes it locks itself down: a load after would
    // end it.
    for (int step = 0; step < 6; step++) press("space");
    const std::vector<std::string> lines = splitLines(waitForLines(8));
    ASSERT_EQ(lines.size(), 8u);
    for (size_t i = 0; i < lines.size(); i++)
        EXPECT_EQ(lines[i], "INFO: loaded " + files[i] + ": 64x48 " +
                                (i + 1 == lines.size() ? "32" : "24") + "bpp");
    helperMaps = mapsOf(helper);
    for (const auto &library : kDecoderLibraries) {
        SCOPED_TRACE(library.file);
        EXPECT_EQ(mapsOf(viewer.pid).find(library.file), std::string::npos);
        EXPECT_NE(helperMaps.find(library.file), std::string::npos);
    }
    press("Escape");
    expectEnded(0);
}

TEST_F(EndToEndTest, StartShowsTheFirstImageAndLoadsTheSecondAhead) {
    const std::string first = image("first.bmp", makeSolid(200, 100, kRed));
    const std::string second = image("second.bmp", makeSolid(640, 120, kGreen));
    startViewer({first, second});
    Capture shot = waitForPixel(60, 70, kRed);
    EXPECT_EQ(shot.width, 320);
    EXPECT_EQ(shot.height, 240);
    EXPECT_EQ(shot.at(259, 169), kRed);
    EXPECT_EQ(shot.at(59, 70), kBlack);
    EXPECT_EQ(shot.at(60, 69), kBlack);
    EXPECT_EQ(shot.at(260, 170), kBlack);
    EXPECT_EQ(waitForLines(2),
              loaded(first, "200x100 24bpp") + loaded(second, "640x120 24bpp, scaled: 0.50, 2.00"));

    // The wide image is stretched over the whole window.
    press("space");
    shot = waitForPixel(0, 0, kGreen);
    EXPECT_EQ(shot.at(319, 239), kGreen);
    EXPECT_EQ(shot.at(160, 120), kGreen);
    press("Escape");
    expectEnded(0);
}

TEST_F(EndToEndTest, SpaceAndLeftShiftStepWithoutWrappingAround) {
    const std::string a = image("a.bmp", makeSolid(100, 100, kRed));
    const std::string b = image("b.bmp", makeSolid(100, 100, kGreen));
    const std::string c = image("c.bmp", makeSolid(100, 100, kBlue));
    const std::string size = "100x100 24bpp";
    startViewer({a, b, c});
    waitForPixel(160, 120, kRed);
    EXPECT_EQ(waitForLines(2), loaded(a, size) + loaded(b, size));

    press("space");
    waitForPixel(160, 120, kGreen);
    EXPECT_EQ(waitForLines(3), loaded(a, size) + loaded(b, size) + loaded(c, size));
    press("space");
    waitForPixel(160, 120, kBlue);
    press("space");  // refused: the last image stays, nothing is loaded
    press("shift");
    waitForPixel(160, 120, kGreen);
    press("shift");
    waitForPixel(160, 120, kRed);
    press("shift");  // refused at the first image
    press("space");  // the image ahead is shown at once, then the next is loaded
    waitForPixel(160, 120, kGreen);
    EXPECT_EQ(waitForLines(6), loaded(a, size) + loaded(b, size) + loaded(c, size) +
                                   loaded(b, size) + loaded(a, size) + loaded(c, size));
    press("q");
    expectEnded(0);
    EXPECT_EQ(countLines(viewer.output), 6u) << viewer.output;
}

TEST_F(EndToEndTest, ArrowKeysTurnTheImageAndAStepResetsTheTurn) {
    const std::string card = image("card.bmp", makeTestCard(320, 240));
    const std::string next = image("next.bmp", makeSolid(100, 100, kGreen));
    startViewer({card, next});
    Capture shot = waitForPixel(80, 60, kRed);
    EXPECT_EQ(shot.at(240, 60), kGreen);
    EXPECT_EQ(shot.at(80, 180), kBlue);
    EXPECT_EQ(shot.at(240, 180), kWhite);

    // Left: a quarter turn counter-clockwise, shrunk to about 180x240 between black bars.
    press("Left");
    shot = waitForPixel(115, 60, kGreen);
    EXPECT_EQ(shot.at(205, 60), kWhite);
    EXPECT_EQ(shot.at(115, 180), kRed);
    EXPECT_EQ(shot.at(205, 180), kBlue);
    EXPECT_EQ(shot.at(60, 120), kBlack);
    EXPECT_EQ(shot.at(259, 120), kBlack);

    press("Left");  // a half turn in all
    shot = waitForPixel(80, 60, kWhite);
    EXPECT_EQ(shot.at(240, 180), kRed);
    press("Down");  // a full turn: the original again
    shot = waitForPixel(80, 60, kRed);
    EXPECT_EQ(shot.at(240, 180), kWhite);
    press("Right");  // clockwise
    shot = waitForPixel(115, 60, kBlue);
    EXPECT_EQ(shot.at(205, 60), kRed);
    press("Up");  // -90 + 180: counter-clockwise
    shot = waitForPixel(115, 60, kGreen);

    press("space");
    shot = waitForPixel(160, 120, kGreen);
    EXPECT_EQ(shot.at(60, 120), kBlack);
    press("shift");
    shot = waitForPixel(80, 60, kRed);  // shown unturned
    EXPECT_EQ(shot.at(240, 180), kWhite);
    press("Escape");
    expectEnded(0);
}

TEST_F(EndToEndTest, SettingsFileSizesTheWindow) {
    const std::string wide = image("wide.bmp", makeSolid(640, 120, kBlue));
    startViewer({wide}, "width 480\nheight 272\n");
    const ProcessResult info = runX("xwininfo", {"-id", window});
    EXPECT_NE(info.output.find("Width: 480"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("Height: 272"), std::string::npos) << info.output;
    Capture shot = waitForPixel(0, 0, kBlue);
    EXPECT_EQ(shot.at(479, 271), kBlue);
    EXPECT_EQ(waitForLines(1), loaded(wide, "640x120 24bpp, scaled: 0.75, 2.27"));
    press("Escape");
    expectEnded(0);
}

TEST_F(EndToEndTest, FullscreenTakesTheMiddleOfTheXScreen) {
    const std::string small = image("small.bmp", makeSolid(200, 100, kRed));
    startViewer({small}, "fullscreen 1\n");
    // Xvfb cannot change its video mode. Classic SDL covers the 640x480 screen with a black
    // top-level window of its own and centres the picture in it. SDL on top of SDL2 centres a
    // 320x240 window, and on a server without a window manager it places the picture
    // off-centre inside it, so there the test can only ask that the picture shows.
    std::string cover;
    for (const std::string &line : splitLines(runX("xwininfo", {"-root", "-children"}).output)) {
        if (line.find(" 640x480+0+0 ") != std::string::npos)
            cover = line.substr(0, line.find(' ', 5));
    }
    if (!cover.empty()) {
        cover = cover.substr(cover.find("0x"));
        const auto centred = [](const Capture &c) {
            return c.width == 640 && c.at(320, 240) == kRed;
        };
        Capture shot = waitForCapture(centred, cover);
        ASSERT_TRUE(centred(shot)) << "capture of " << shot.width << "x" << shot.height;
        EXPECT_EQ(shot.at(220, 240), kRed);
        EXPECT_EQ(shot.at(219, 240), kBlack);
        EXPECT_EQ(shot.at(0, 0), kBlack);
        EXPECT_EQ(shot.at(639, 479), kBlack);
    } else {
        const WindowGeometry where = geometry();
        EXPECT_EQ(where.x, (640 - where.width) / 2);
        EXPECT_EQ(where.y, (480 - where.height) / 2);
        const auto showsPicture = [](const Capture &c) {
            return std::count(c.pixels.begin(), c.pixels.end(), kRed) > 0;
        };
        EXPECT_TRUE(showsPicture(waitForCapture(showsPicture)));
    }
    press("Escape");
    expectEnded(0);
}

TEST_F(EndToEndTest, AntialiasSettingChoosesBetweenBlendedAndHardEdges) {
    const std::string stripes = image("stripes.bmp", makeStripes());
    // No settings file first: smoothing is on by default.
    for (const std::string smoothing : {"", "antialias 1\n", "antialias 0\n"}) {
        SCOPED_TRACE(smoothing.empty() ? "no settings file" : smoothing);
        startViewer({stripes}, smoothing);
        Capture shot = waitForCapture(
            [](const Capture &c) { return c.width == 320 && c.at(160, 120) != kBlack; });
        int pure = 0, blended = 0;
        for (int x = 100; x < 140; x++) {
            pure += isPure(shot.at(x, 120));
            blended += isBlend(shot.at(x, 120));
        }
        if (smoothing != "antialias 0\n") {
            EXPECT_EQ(blended, 40) << "smoothing must blend neighbouring columns";
        } else {
            EXPECT_EQ(pure, 40) << "without smoothing every pixel keeps a source colour";
        }
        press("Escape");
        expectEnded(0);
    }
}

TEST_F(EndToEndTest, EveryWayOfQuittingEndsAtOnceIdleOrDuringAHangingDecode) {
    const std::string a = image("a.bmp", makeSolid(100, 100, kRed));
    const std::string hanging = kEndlessDecode;
    const std::vector<std::string> ways{"Escape", "q", "SIGINT", "SIGTERM", "close", "timeout"};
    for (const bool decoding : {false, true}) {
        for (const std::string &way : ways) {
            SCOPED_TRACE(way + (decoding ? " during a decode" : " while idle"));
            std::vector<std::string> args{a};
            if (decoding) args.push_back(hanging);
            // `timeout` sends one SIGTERM, to the viewer's whole process group: on its own
            // when its time is up, or at once when it is sent one itself. The test sends it
            // one once the viewer is up, which a busy machine may take seconds to be.
            // It also sends SIGCONT after it, which in a sanitizer build can cancel the stop
            // LeakSanitizer's exit check waits for, and leave the viewer waiting for ever: that
            // check is left out there.
            std::vector<std::string> launcher;
            if (way == "timeout")
                launcher = {"env", "ASAN_OPTIONS=detect_leaks=0", "timeout", "--preserve-status",
                            "600"};
            startViewer(args, "", launcher);
            waitForPixel(160, 120, kRed);
            const auto asked = std::chrono::steady_clock::now();
            if ((way == "SIGINT" || way == "SIGTERM") && !decoding) {
                // An idle viewer sleeps until something happens: SDL's own wait would wake
                // about 300 times in these 3 seconds. The signal must still end it at once.
                const long before = voluntarySwitches(viewer.pid);
                ASSERT_GE(before, 0) << "cannot read the viewer's threads";
                std::this_thread::sleep_for(std::chrono::seconds(3));
                EXPECT_LT(voluntarySwitches(viewer.pid) - before, 10);
            }
            if (decoding) std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (way == "SIGINT" || way == "SIGTERM" || way == "timeout") {
                kill(viewer.pid, way == "SIGINT" ? SIGINT : SIGTERM);
            } else if (way == "close") {
                const ProcessResult closed = runX(CLOSE_WINDOW_HELPER, {window});
                ASSERT_EQ(closed.exitStatus, 0) << closed.output;
            } else if (way != "timeout") {
                press(way);
            }
            const pid_t group = viewer.pid;
            expectEnded(0);
            EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
            EXPECT_EQ(countLines(viewer.output), 1u) << viewer.output;
            EXPECT_TRUE(processGroupGone(group, 2)) << "a process of the viewer's is left";
        }
    }
}

TEST_F(EndToEndTest, KeysPressedDuringADecodeAheadTakeEffectInOrderAfterIt) {
    const std::string a = image("a.bmp", makeSolid(100, 100, kRed));
    const std::string slow = dir + "/slow.png";
    ASSERT_TRUE(writePhotoPng(slow, 6000, 4500));
    const std::string c = image("c.bmp", makeSolid(100, 100, kBlue));
    startViewer({a, slow, c});
    waitForPixel(160, 120, kRed);
    // Space, then Left, while the large PNG is still being decoded ahead.
    press("space");
    press("Left");
    ASSERT_EQ(countLines(viewer.output), 1u) << "the decode ended before the keys came";
    // Space shows it and decodes the next one ahead; Left then turns it a quarter, which
    // makes it 180x240 between black bars.
    Capture shot = waitForCapture([](const Capture &turned) {
        return turned.width == 320 && turned.at(160, 120) != kBlack && turned.at(20, 120) == kBlack;
    });
    EXPECT_EQ(shot.at(20, 120), kBlack);
    EXPECT_EQ(shot.at(300, 120), kBlack);
    EXPECT_NE(shot.at(160, 120), kBlack);
    EXPECT_EQ(waitForLines(3), loaded(a, "100x100 24bpp") +
                                   loaded(slow, "6000x4500 24bpp, scaled: 0.05, 0.05") +
                                   loaded(c, "100x100 24bpp"));
    press("Escape");
    expectEnded(0);
}

TEST_F(EndToEndTest, LostDisplayEndsTheViewerIdleOrDuringADecode) {
    const std::string a = image("a.bmp", makeSolid(100, 100, kRed));
    const std::string hanging = kEndlessDecode;
    for (const bool decoding : {false, true}) {
        SCOPED_TRACE(decoding ? "during a decode" : "while idle");
        std::vector<std::string> args{a};
        if (decoding) args.push_back(hanging);
        startViewer(args);
        waitForPixel(160, 120, kRed);
        const pid_t group = viewer.pid;
        kill(server.pid, SIGKILL);
        waitForExit(server, 10);
        server.pid = -1;
        // Never a crash, and never a wait for ever.
        const int status = waitForExit(viewer, 5);
        viewer.pid = -1;
        EXPECT_GE(status, 0) << viewer.output;
        EXPECT_TRUE(processGroupGone(group, 2)) << "a process of the viewer's is left";
        if (!decoding) startServer();  // for the next row
    }
}

TEST_F(EndToEndTest, UndecodableSecondFileEndsRightAfterTheFirstIsShown) {
    const std::string good = image("good.bmp", makeSolid(100, 100, kRed));
    const std::string bad = dir + "/bad.png";
    writeFile(bad, "\x89PNG\r\n\x1a\nnot really");
    viewer = startViewerChild({good, bad}, {"DISPLAY=" + display, "HOME=" + home});
    expectEnded(1);
    const std::vector<std::string> lines = splitLines(viewer.output);
    ASSERT_EQ(lines.size(), 2u) << viewer.output;
    EXPECT_EQ(lines[0] + "\n", loaded(good, "100x100 24bpp"));
    EXPECT_EQ(lines[1].rfind("Error: loadImage: ", 0), 0u) << viewer.output;
}

TEST_F(EndToEndTest, SkippingBrokenFilesKeepsTheWindowStepsOverThemAndQuitsWithStatusZero) {
    const std::string a = image("a.bmp", makeSolid(100, 100, kRed));
    const std::string bad = dir + "/bad.png";
    writeFile(bad, "\x89PNG\r\n\x1a\nnot really");
    const std::string b = image("b.bmp", makeSolid(100, 100, kGreen));
    startViewer({a, bad, b}, "skipbroken 1\n");
    waitForPixel(160, 120, kRed);
    const std::vector<std::string> lines = splitLines(waitForLines(3));
    ASSERT_EQ(lines.size(), 3u) << viewer.output;
    EXPECT_EQ(lines[1].rfind("Error: loadImage: ", 0), 0u) << viewer.output;
    EXPECT_EQ(lines[2] + "\n", loaded(b, "100x100 24bpp"));
    press("space");
    waitForPixel(160, 120, kGreen);
    press("Shift_L");
    waitForPixel(160, 120, kRed);
    EXPECT_EQ(splitLines(waitForLines(4)).back() + "\n", loaded(a, "100x100 24bpp"));
    press("Escape");
    expectEnded(0);
}

// Idle between steps means asleep: SDL's own wait would wake about 150 times in 1.5 s.
TEST_F(EndToEndTest, ASlideshowStepsWithoutKeysSleepsBetweenAndAKeyRestartsItsCount) {
    std::vector<std::string> files;
    for (const Rgb colour : {kRed, kGreen, kBlue, kWhite})
        files.push_back(image(std::to_string(files.size()) + ".bmp", makeSolid(100, 100, colour)));
    startViewer(files, "slideshow 4\n");
    waitForPixel(160, 120, kRed);
    waitForLines(2);
    const long before = voluntarySwitches(viewer.pid);
    ASSERT_GE(before, 0) << "cannot read the viewer's threads";
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_LT(voluntarySwitches(viewer.pid) - before, 10);
    waitForPixel(160, 120, kGreen);
    waitForLines(3);
    // A key pressed halfway to the next step puts it off by a whole interval.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const auto pressed = std::chrono::steady_clock::now();
    press("x");
    waitForLines(4);
    EXPECT_GE(std::chrono::steady_clock::now() - pressed, std::chrono::milliseconds(3900));
    waitForPixel(160, 120, kBlue);
    press("Escape");
    expectEnded(0);
}

TEST_F(EndToEndTest, FileDeletedWhileRunningEndsWhenItsTurnToLoadComes) {
    const std::string a = image("a.bmp", makeSolid(100, 100, kRed));
    const std::string b = image("b.bmp", makeSolid(100, 100, kGreen));
    const std::string c = image("c.bmp", makeSolid(100, 100, kBlue));
    startViewer({a, b, c});
    waitForPixel(160, 120, kRed);
    waitForLines(2);
    ASSERT_EQ(unlink(c.c_str()), 0);
    press("space");
    expectEnded(1);
    const std::vector<std::string> lines = splitLines(viewer.output);
    ASSERT_EQ(lines.size(), 3u) << viewer.output;
    EXPECT_EQ(lines[2], "Error: reading file " + c + ": No such file or directory");
}

TEST_F(EndToEndTest, ShowsTheBundledSamples) {
    const std::string samples = LUMOSCAPE_SAMPLES_DIR;
    startViewer({samples + "/small.png", samples + "/photo.jpg"});
    // The 200x150 sample sits at (60, 45) on black.
    Capture shot =
        waitForCapture([](const Capture &c) { return c.width == 320 && c.at(60, 45) != kBlack; });
    EXPECT_NE(shot.at(60, 45), kBlack);
    EXPECT_NE(shot.at(259, 194), kBlack);
    EXPECT_EQ(shot.at(59, 45), kBlack);
    EXPECT_EQ(shot.at(260, 195), kBlack);
    EXPECT_EQ(waitForLines(2),
              loaded(samples + "/small.png", "200x150 32bpp") +
                  loaded(samples + "/photo.jpg", "4000x3000 24bpp, scaled: 0.08, 0.08"));
    if (const char *saveTo = getenv("LUMOSCAPE_SCREENSHOT")) {
        // Lets the README's picture come from a real run of this test.
        SDL_Surface *copy = makeSolid(shot.width, shot.height, kBlack);
        for (int y = 0; y < shot.height; y++) {
            for (int x = 0; x < shot.width; x++) {
                const Rgb c = shot.at(x, y);
                SDL_Rect dot{Sint16(x), Sint16(y), 1, 1};
                SDL_FillRect(copy, &dot, SDL_MapRGB(copy->format, c.r, c.g, c.b));
            }
        }
        saveImage(copy, saveTo);
    }

    press("space");  // the large photo fills the whole window
    shot = waitForCapture([](const Capture &c) { return c.at(0, 0) != kBlack; });
    EXPECT_NE(shot.at(0, 0), kBlack);
    EXPECT_NE(shot.at(319, 239), kBlack);
    press("Escape");
    expectEnded(0);
}

TEST_F(EndToEndTest, LostReaderOfTheOutputDoesNotStopTheViewer) {
    const std::string a = image("a.bmp", makeSolid(100, 100, kRed));
    const std::string b = image("b.bmp", makeSolid(100, 100, kGreen));
    const std::string c = image("c.bmp", makeSolid(100, 100, kBlue));
    startViewer({a, b, c});
    waitForPixel(160, 120, kRed);
    // As `lumoscape ... | head -1` does: the reader goes away, and the next line has nowhere to go.
    close(viewer.outputFd);
    viewer.outputFd = -1;
    press("space");
    waitForPixel(160, 120, kGreen);
    press("space");
    waitForPixel(160, 120, kBlue);
    press("Escape");
    expectEnded(0);
}

TEST_F(EndToEndTest, MousePointerIsHiddenOverTheWindow) {
    const auto visiblePointerPixels = [&] {
        const ProcessResult shown = runX(CURSOR_PIXELS_HELPER, {});
        EXPECT_EQ(shown.exitStatus, 0) << shown.output;
        return std::stoi(shown.output);
    };
    EXPECT_GT(visiblePointerPixels(), 0) << "the bare server shows its pointer";
    const std::string a = image("a.bmp", makeSolid(320, 240, kRed));
    startViewer({a});
    waitForPixel(160, 120, kRed);
    ASSERT_EQ(runX("xdotool", {"mousemove", "--window", window, "160", "120"}).exitStatus, 0);
    EXPECT_EQ(visiblePointerPixels(), 0);
    press("Escape");
    expectEnded(0);
}
