// Tests of building the image list from command-line arguments.
#include <sys/stat.h>
#include <unistd.h>

#include "support.h"

using ImageListTest = ViewerTest;

TEST_F(ImageListTest, KeepsCommandLineOrderAndRepeatedPaths) {
    const std::string a = saveImage(makeSolid(4, 4, kRed), dir + "/a.bmp");
    const std::string b = saveImage(makeSolid(4, 4, kGreen), dir + "/b.bmp");
    std::vector<std::string> args{b, a, b};
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());

    testing::internal::CaptureStdout();
    collectImages(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    ASSERT_EQ(imageList.count, 3);
    const ImageEntry *first = imageList.firstEntry;
    const ImageEntry *second = first->nextEntry;
    const ImageEntry *third = second->nextEntry;
    EXPECT_EQ(first->filePath, b);
    EXPECT_EQ(second->filePath, a);
    EXPECT_EQ(third->filePath, b);
    EXPECT_EQ(third->position, 3);
    EXPECT_EQ(third, imageList.lastEntry);
    EXPECT_EQ(third->nextEntry, nullptr);
    EXPECT_EQ(third->prevEntry, second);
    EXPECT_EQ(second->prevEntry, first);
    EXPECT_EQ(first->prevEntry, nullptr);
    // The entry holds its own copy of the argument.
    args[0][0] = 'X';
    EXPECT_EQ(first->filePath, b);
}

TEST_F(ImageListTest, ReportsAndSkipsWhatIsNotARegularFile) {
    const std::string image = saveImage(makeSolid(4, 4, kRed), dir + "/image.bmp");
    const std::string link = dir + "/link.bmp", dangling = dir + "/dangling.bmp";
    const std::string fifo = dir + "/fifo", missing = dir + "/missing.png";
    ASSERT_EQ(symlink(image.c_str(), link.c_str()), 0);
    ASSERT_EQ(symlink(missing.c_str(), dangling.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::vector<std::string> args{missing, dir, image, fifo, dangling, link};
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());

    testing::internal::CaptureStdout();
    collectImages(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "INFO: could not open " + missing + ": No such file or directory\n" + "INFO: " + dir +
                  " is a dir, ignoring for now\n" + "INFO: " + fifo +
                  " is something we don't know about, ignoring\n" + "INFO: could not open " +
                  dangling + ": No such file or directory\n");

    ASSERT_EQ(imageList.count, 2);
    EXPECT_EQ(imageList.firstEntry->filePath, image);
    EXPECT_EQ(imageList.lastEntry->filePath, link);
    EXPECT_EQ(imageList.lastEntry->position, 2);
}

TEST_F(ImageListTest, EveryPathIsPrintedAsOnePrintableLine) {
    struct Case {
        const char *name, *shown;
    };
    const Case cases[] = {
        {"plain caf\xc3\xa9 \xf0\x9f\x98\x80 a\\b", "plain caf\xc3\xa9 \xf0\x9f\x98\x80 a\\b"},
        {"esc\x1b[31mred", "esc\\x1b[31mred"},
        {"new\nline\r\ttab\x7f", "new\\nline\\r\\ttab\\x7f"},
        {"caf\xe9", "caf\\xe9"},                                        // Latin-1, not UTF-8
        {"\xe2\x80\xaegnp.exe", "\\u202egnp.exe"},                      // right-to-left override
        {"\xd8\x9c\xe2\x81\xa6\xe2\x80\x8f", "\\u061c\\u2066\\u200f"},  // other bidi controls
        {"next\xc2\x85line", "next\\u0085line"},                        // a C1 control
        {"\xc0\xaf\xed\xa0\x80", "\\xc0\\xaf\\xed\\xa0\\x80"},          // overlong, surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},                   // past U+10FFFF
        {"cut\xe2\x80", "cut\\xe2\\x80"},                               // a sequence cut short
    };
    for (const Case &c : cases) {
        EXPECT_EQ(printable(c.name), c.shown) << c.shown;
        // Where a path is printed: the missing file, and the loaded one.
        std::string missing = dir + "/gone " + c.name;
        char *argument = missing.data();
        testing::internal::CaptureStdout();
        collectImages(1, &argument);
        EXPECT_EQ(
            testing::internal::GetCapturedStdout(),
            "INFO: could not open " + dir + "/gone " + c.shown + ": No such file or directory\n");
        const std::string path = saveImage(makeSolid(4, 4, kRed), dir + "/" + c.name);
        testing::internal::CaptureStdout();
        SDL_FreeSurface(loadImage(path.c_str()));
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "INFO: loaded " + dir + "/" + c.shown + ": 4x4 24bpp\n");
    }
}
