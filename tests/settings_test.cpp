// Tests of reading the settings file from the home directory.
#include <sys/stat.h>

#include <cstdlib>

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

TEST_F(SettingsTest, MissingOrUnusableFileKeepsTheDefaults) {
    settings = defaultSettings;
    readSettings();  // no file at all
    EXPECT_EQ(settings.width, 320);

    ASSERT_EQ(mkdir((dir + "/.lumoscaperc").c_str(), 0700), 0);
    readSettings();
    EXPECT_EQ(settings.width, 320);
    EXPECT_EQ(settings.videoFlags, static_cast<uint32_t>(SDL_ANYFORMAT));
    rmdir((dir + "/.lumoscaperc").c_str());

    writeFile(dir + "/.lumoscaperc", "width 480\n");
    unsetenv("HOME");
    readSettings();
    EXPECT_EQ(settings.width, 320);

    // A home longer than any path buffer: the file cannot be found, nothing overflows.
    const std::string longHome = dir + "/" + std::string(70000, 'h');
    setenv("HOME", longHome.c_str(), 1);
    readSettings();
    EXPECT_EQ(settings.width, 320);
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
