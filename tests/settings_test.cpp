// Tests of reading the settings file from the home directory.
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

#include "support.h"

class SettingsTest : public ViewerTest {
protected:
    void SetUp() override {
        ViewerTest::SetUp();
        const char *home = getenv("HOME");
        savedHome = home ? home : "";
        setenv("HOME", dir.c_str(), 1);
    }
    void TearDown() override {
        setenv("HOME", savedHome.c_str(), 1);
        ViewerTest::TearDown();
    }
    // Writes the settings file and reads it into freshly reset settings.
    void readFile(const std::string &text) {
        writeFile(dir + "/.lumoscaperc", text);
        settings = defaultSettings;
        readSettings();
    }
    std::string savedHome;
};

TEST_F(SettingsTest, LinesMatchOnlyKeyThenNumberAtTheVeryStart) {
    struct Case {
        std::string line;
        int32_t width;  // after reading the line alone
    };
    const Case cases[] = {
        {"width 480\n", 480},
        {"width480\n", 480},
        {"width \t 480 pixels\n", 480},
        {"width +480", 480},
        {"width -5\n", -5},
        {"width 99999999999\n", INT32_MAX},
        {"width -99999999999\n", INT32_MIN},
        {"width 010\n", 10},   // decimal, never octal
        {"width 0x1E0\n", 0},  // the number ends where the digits do
        {" width 480\n", 320},
        {"Width 480\n", 320},
        {"width = 480\n", 320},
        {"# width 480\n", 320},
        {"width\n", 320},
        {"width x480\n", 320},
        {"widths 480\n", 320},
        {"\n", 320},
    };
    for (const Case &c : cases) {
        readFile(c.line);
        EXPECT_EQ(settings.width, c.width) << '"' << c.line << '"';
        EXPECT_EQ(settings.height, 240);
    }
    readFile("height 272\nantialias 0\nunknown 5\nwidth 480\n");
    EXPECT_EQ(settings.width, 480);
    EXPECT_EQ(settings.height, 272);
    EXPECT_EQ(settings.antialias, 0);
    EXPECT_EQ(settings.videoFlags, static_cast<uint32_t>(SDL_ANYFORMAT));
}

TEST_F(SettingsTest, LaterLinesWinAndAnyNonZeroFullscreenSetsTheFlag) {
    readFile("width 100\nwidth 200\nfullscreen 1\nfullscreen 0\n");
    EXPECT_EQ(settings.width, 200);
    EXPECT_EQ(settings.videoFlags, static_cast<uint32_t>(SDL_ANYFORMAT));

    readFile("fullscreen 2\n");
    EXPECT_EQ(settings.videoFlags, static_cast<uint32_t>(SDL_ANYFORMAT | SDL_FULLSCREEN));

    readFile("");
    EXPECT_EQ(settings.videoFlags, static_cast<uint32_t>(SDL_ANYFORMAT));
    EXPECT_EQ(settings.autorotate, 0);      // phone photos are shown as stored unless asked
    EXPECT_EQ(settings.colourProfiles, 1);  // colours are converted unless asked not to
    // A broken file ends the run, pictures are stretched and no step comes without a key.
    EXPECT_EQ(settings.skipBroken, 0);
    EXPECT_EQ(settings.keepAspect, 0);
    EXPECT_EQ(settings.slideshow, 0);

    readFile(
        "autorotate 1\ndecodermemory 64\ndecodertime 7\ncolourprofiles 0\nskipbroken 1\n"
        "keepaspect 2\nslideshow 9\n");
    EXPECT_EQ(settings.skipBroken, 1);
    EXPECT_EQ(settings.keepAspect, 2);
    EXPECT_EQ(settings.slideshow, 9);
    EXPECT_EQ(settings.autorotate, 1);
    EXPECT_EQ(settings.colourProfiles, 0);
    EXPECT_EQ(settings.decoderMemory, 64);
    EXPECT_EQ(settings.decoderTime, 7);
}

TEST_F(SettingsTest, LongLinesAreMatchedPieceByPiece) {
    // The second piece of the line starts exactly at the key word.
    readFile(std::string(1023, 'x') + "width 480\n");
    EXPECT_EQ(settings.width, 480);
    // Here the key word is cut in two and neither piece matches.
    readFile(std::string(1020, 'x') + "width 480\n");
    EXPECT_EQ(settings.width, 320);
    // A long line does not hide the lines after it.
    readFile(std::string(5000, 'y') + "\nheight 100\n");
    EXPECT_EQ(settings.height, 100);
}

// Root reads any file whatever its mode; these drop or restore the two capabilities that let
// it, so that an unreadable file is unreadable to the test as to any other user.
static bool setFileOverride(bool on) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    for (int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
        if (on) {
            data[0].effective |= data[0].permitted & (1u << capability);
        } else {
            data[0].effective &= ~(1u << capability);
        }
    }
    return syscall(SYS_capset, &header, data) == 0;
}

TEST_F(SettingsTest, MissingOrUnusableFileKeepsTheDefaults) {
    const std::string settingsPath = dir + "/.lumoscaperc";
    struct Case {
        const char *what;
        std::function<void()> prepare, restore;
    };
    const Case cases[] = {
        {"no file", [] {}, [] {}},
        {"a directory", [&] { mkdir(settingsPath.c_str(), 0700); },
         [&] { rmdir(settingsPath.c_str()); }},
        // Without HOME no path can be formed; one formed from a null pointer would read this.
        {"HOME unset",
         [&] {
             writeFile(settingsPath, "width 480\n");
             mkdir((dir + "/(null)").c_str(), 0700);
             writeFile(dir + "/(null)/.lumoscaperc", "width 480\n");
             ASSERT_EQ(chdir(dir.c_str()), 0);
             unsetenv("HOME");
         },
         [&] { ASSERT_EQ(chdir("/"), 0); }},
        // A home longer than any path buffer: the file cannot be found, nothing overflows.
        {"a very long HOME",
         [&] { setenv("HOME", (dir + "/" + std::string(70000, 'h')).c_str(), 1); }, [] {}},
        {"a file the user may not read",
         [&] {
             writeFile(settingsPath, "width 480\n");
             ASSERT_EQ(chmod(settingsPath.c_str(), 0), 0);
             ASSERT_TRUE(setFileOverride(false));
         },
         [&] { ASSERT_TRUE(setFileOverride(true)); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        setenv("HOME", dir.c_str(), 1);
        c.prepare();
        settings = defaultSettings;
        readSettings();
        c.restore();
        EXPECT_EQ(settings.width, 320);
        EXPECT_EQ(settings.videoFlags, static_cast<uint32_t>(SDL_ANYFORMAT));
        remove(settingsPath.c_str());
    }
}

TEST_F(SettingsTest, HostileFilesAreReadSafelyAndKeepWhatMatched) {
    std::string garbage;
    for (int i = 0; i < 65536; i++) garbage += static_cast<char>((i * 7919) % 256);
    readFile(garbage + "\nwidth 400\n" + garbage);
    EXPECT_EQ(settings.width, 400);

    readFile("height 100\n" + std::string(1 << 20, 'w') + "\nantialias 0\n");
    EXPECT_EQ(settings.height, 100);
    EXPECT_EQ(settings.antialias, 0);

    std::string manyLines;
    for (int i = 1; i <= 100000; i++) manyLines += "width " + std::to_string(i) + "\n";
    readFile(manyLines);
    EXPECT_EQ(settings.width, 100000);

    readFile(std::string("width 7\0height 9\n", 17));  // nothing after a NUL byte counts
    EXPECT_EQ(settings.width, 7);
    EXPECT_EQ(settings.height, 240);
}
