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
