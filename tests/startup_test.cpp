// Tests of the built program as a process: arguments, start-up failures and exit statuses.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "support.h"

const std::vector<std::string> kDummyDisplay{"SDL_VIDEODRIVER=dummy"};

TEST(StartupTest, WithoutArgumentsPrintsUsageAndFails) {
    const ProcessResult result = runViewer({});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.output, "Usage: " + viewerBinary() + " filename [filename] ...\n");
}

TEST(StartupTest, NoUsableArgumentEndsWithoutOpeningTheDisplay) {
    const std::string dir = makeTempDir();
    // A display that cannot start would end with an ERROR line and status 1.
    const ProcessResult result = runViewer({dir + "/missing.png", dir}, {"SDL_VIDEODRIVER=none"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.output, "INFO: could not open " + dir +
                                 "/missing.png: No such file or directory\n" + "INFO: " + dir +
                                 " is a dir, ignoring for now\n" + "INFO: no valid images found\n");
    rmdir(dir.c_str());
}

class ProcessTest : public ViewerTest {};

TEST_F(ProcessTest, DisplayThatCannotStartFailsWithItsError) {
    const std::string image = saveImage(makeSolid(10, 10, kRed), dir + "/a.bmp");
    const ProcessResult result = runViewer({image}, {"SDL_VIDEODRIVER=none"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.output.rfind("ERROR: SDL_Init: ", 0), 0u) << result.output;
    EXPECT_EQ(splitLines(result.output).size(), 1u) << result.output;
}

TEST_F(ProcessTest, UndecodableFileEndsWithItsErrorAndStatusOne) {
    const std::string good = saveImage(makeSolid(10, 10, kRed), dir + "/good.bmp");
    const std::string bad = dir + "/bad.jpg";
    writeFile(bad, "not a jpeg");

    ProcessResult result = runViewer({bad, good}, kDummyDisplay);
    EXPECT_EQ(result.exitStatus, 1);
    std::vector<std::string> lines = splitLines(result.output);
    ASSERT_EQ(lines.size(), 1u) << result.output;
    EXPECT_EQ(lines[0].rfind("Error: loadImage: ", 0), 0u) << result.output;

    result = runViewer({good, bad}, kDummyDisplay);
    EXPECT_EQ(result.exitStatus, 1);
    lines = splitLines(result.output);
    ASSERT_EQ(lines.size(), 2u) << result.output;
    EXPECT_EQ(lines[0], "INFO: loaded " + good + ": 10x10 24bpp");
    EXPECT_EQ(lines[1].rfind("Error: loadImage: ", 0), 0u) << result.output;
}

TEST_F(ProcessTest, SettingsFileSizesTheScreenImagesAreFittedTo) {
    const std::string image = saveImage(makeSolid(640, 120, kRed), dir + "/wide.bmp");
    writeFile(dir + "/.lumoscaperc", "width 480\nheight 272\n");
    const ProcessResult result = runViewer({image}, {"SDL_VIDEODRIVER=dummy", "HOME=" + dir}, 1);
    EXPECT_EQ(result.output, "INFO: loaded " + image + ": 640x120 24bpp, scaled: 0.75, 2.27\n");
    EXPECT_EQ(result.exitStatus, 0) << "SIGTERM quits like a window close";
}

TEST_F(ProcessTest, UnusableScreenSizesEndWithTheVideoModeError) {
    const std::string image = saveImage(makeSolid(10, 10, kRed), dir + "/a.bmp");
    for (const std::string size : {"width -5\n", "width -2147483648\n", "height 2147483647\n"}) {
        writeFile(dir + "/.lumoscaperc", size);
        const ProcessResult result = runViewer({image}, {"SDL_VIDEODRIVER=dummy", "HOME=" + dir});
        EXPECT_EQ(result.exitStatus, 1) << size;
        EXPECT_EQ(result.output.rfind("ERROR: SDL_SetVideoMode: ", 0), 0u) << result.output;
        EXPECT_EQ(splitLines(result.output).size(), 1u) << result.output;
    }
}

TEST_F(ProcessTest, ZeroSizeIsSdlsToRefuseOrToTakeAsTheDisplaySize) {
    // Classic SDL's dummy driver refuses a zero height; SDL on top of SDL2 takes the display's.
    const std::string image = saveImage(makeSolid(10, 10, kRed), dir + "/a.bmp");
    writeFile(dir + "/.lumoscaperc", "height 0\n");
    Child viewer = startViewerChild({image}, {"SDL_VIDEODRIVER=dummy", "HOME=" + dir});
    ASSERT_TRUE(readUntil(
        viewer, [](const std::string &out) { return countLines(out) > 0; }, 20));
    if (viewer.output.rfind("ERROR: SDL_SetVideoMode: ", 0) == 0) {
        EXPECT_EQ(waitForExit(viewer, 20), 1);
    } else {
        EXPECT_EQ(viewer.output, "INFO: loaded " + image + ": 10x10 24bpp\n");
        kill(viewer.pid, SIGTERM);  // the viewer runs: quit it as a window close would
        EXPECT_EQ(waitForExit(viewer, 20), 0);
    }
}

TEST_F(ProcessTest, SettingsPathThatIsNoRegularFileCountsAsMissing) {
    // A FIFO would block the start until a writer came, /dev/zero would be read forever.
    const std::string image = saveImage(makeSolid(640, 120, kRed), dir + "/wide.bmp");
    const std::string settingsPath = dir + "/.lumoscaperc";
    const std::vector<std::function<int()>> makers{
        [&] { return mkfifo(settingsPath.c_str(), 0600); },
        [&] { return symlink("/dev/zero", settingsPath.c_str()); },
        [&] { return mkdir(settingsPath.c_str(), 0700); },
    };
    for (const auto &make : makers) {
        ASSERT_EQ(make(), 0) << strerror(errno);
        const ProcessResult result =
            runViewer({image}, {"SDL_VIDEODRIVER=dummy", "HOME=" + dir}, 1, 10);
        EXPECT_EQ(result.output, "INFO: loaded " + image + ": 640x120 24bpp, scaled: 0.50, 2.00\n");
        EXPECT_EQ(result.exitStatus, 0);
        ASSERT_EQ(remove(settingsPath.c_str()), 0);
    }
}

TEST_F(ProcessTest, QuitSignalDuringADecodeEndsTheViewerAtOnceWithoutADisplayConnection) {
    // SDL's dummy driver has no connection to sleep on: the wait for the decoder looks at SDL's
    // queue as it goes.
    const std::string shown = saveImage(makeSolid(10, 10, kRed), dir + "/a.bmp");
    const std::string hanging = kEndlessDecode;
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal));
        Child viewer =
            startViewerChild({shown, hanging}, kDummyDisplay, false, [] { setpgid(0, 0); });
        ASSERT_TRUE(readUntil(
            viewer, [](const std::string &out) { return countLines(out) > 0; }, 20));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(viewer.pid, signal);
        EXPECT_EQ(waitForExit(viewer, 2), 0);
        EXPECT_EQ(viewer.output, "INFO: loaded " + shown + ": 10x10 24bpp\n");
        EXPECT_TRUE(processGroupGone(viewer.pid, 2)) << "a decoder process is left";
    }
}

TEST_F(ProcessTest, RunsOnTheSdlImplementationTheSuiteWasAskedFor) {
    // make test-compat puts sdl12-compat first on the library path and says so here.
    const char *asked = getenv("LUMOSCAPE_EXPECT_SDL");
    const bool compat = asked && std::string(asked) == "compat";
    const std::string image = saveImage(makeSolid(10, 10, kRed), dir + "/a.bmp");
    Child viewer = startViewerChild({image}, kDummyDisplay);
    ASSERT_TRUE(readUntil(
        viewer, [](const std::string &out) { return countLines(out) > 0; }, 30));
    std::string loaded;
    for (const std::string &line :
         splitLines(readWhole("/proc/" + std::to_string(viewer.pid) + "/maps"))) {
        if (line.find("libSDL-1.2.so") != std::string::npos) loaded = line.substr(line.find('/'));
    }
    kill(viewer.pid, SIGTERM);
    EXPECT_EQ(waitForExit(viewer, 30), 0);
    ASSERT_FALSE(loaded.empty()) << "the viewer has no libSDL-1.2 mapped";
    EXPECT_EQ(loaded.find("sdl12-compat") != std::string::npos, compat) << loaded;
    // The test program itself runs on the same library.
    EXPECT_EQ(SDL_Linked_Version()->patch >= 50, compat) << int(SDL_Linked_Version()->patch);
}

// The viewer copied alone into a folder, where it finds no decoder, or a broken one.
TEST_F(ProcessTest, DecoderThatIsMissingOrBrokenEndsWithOneLineAndStatusOne) {
    const std::string image = saveImage(makeSolid(10, 10, kRed), dir + "/a.bmp");
    const std::string viewer = dir + "/lumoscape";
    ASSERT_EQ(runProgram("cp", {viewerBinary(), viewer}).exitStatus, 0);
    const std::string module = dir + "/lumoscape-decoder.so";
    const std::string builtFolder = viewerBinary().substr(0, viewerBinary().rfind('/'));
    const struct {
        const char *name;
        std::string setUp;  // a shell command that puts the module in place, or nothing
        std::string reason;
    } cases[] = {
        {"missing", "", "lumoscape-decoder.so: cannot open shared object file"},
        {"not a library", "echo garbage > " + module, module + ": "},
        {"another module", "cp " + builtFolder + "/lumoscape-colour.so " + module,
         "undefined symbol: lumoscapeDecoder"},
    };
    for (const auto &each : cases) {
        SCOPED_TRACE(each.name);
        unlink(module.c_str());
        if (!each.setUp.empty()) {
            ASSERT_EQ(runProgram("sh", {"-c", each.setUp}).exitStatus, 0);
        }
        std::vector<std::string> command = viewerCommand();
        command.back() = viewer;
        command.push_back(image);
        const std::string program = command.front();
        command.erase(command.begin());
        Child child = startChild(program, command, kDummyDisplay);
        EXPECT_EQ(waitForExit(child, 20), 1);
        const std::vector<std::string> lines = splitLines(child.output);
        ASSERT_EQ(lines.size(), 1u) << child.output;
        EXPECT_EQ(lines[0].rfind("Error: loadImage: decoder cannot be loaded: ", 0), 0u)
            << lines[0];
        EXPECT_NE(lines[0].find(each.reason), std::string::npos) << lines[0];
    }
}
