// Tests of installing the program as a user would: into a prefix, and from its Debian package.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "image_files.h"
#include "support.h"

namespace {

// The installed program prints its usage line; the manual page renders without a warning and
// the desktop entry passes desktop-file-validate.
void expectWorkingInstall(const std::string &binary, const std::string &page,
                          const std::string &desktopEntry) {
    const ProcessResult usage = runProgram(binary, {});
    EXPECT_EQ(usage.exitStatus, 1);
    EXPECT_EQ(usage.output, "Usage: " + binary + " filename [filename] ...\n");
    // It finds its decoder and the modules beside it where they were installed.
    const std::string dir = makeTempDir();
    const std::string png = savePng(makeSolid(64, 48, kRed), dir + "/a.png");
    const std::string heif = dir + "/b.heic";
    ASSERT_TRUE(writeModernFile(heif, ModernFormat::heif, ModernKind::still, 64, 48));
    Child viewer = startChild(binary, {png, heif}, {"SDL_VIDEODRIVER=dummy"});
    readUntil(
        viewer, [](const std::string &output) { return countLines(output) >= 2; }, 20);
    EXPECT_EQ(viewer.output,
              "INFO: loaded " + png + ": 64x48 24bpp\nINFO: loaded " + heif + ": 64x48 24bpp\n");
    kill(viewer.pid, SIGTERM);
    EXPECT_EQ(waitForExit(viewer, 20), 0);
    EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);

    struct stat status;
    ASSERT_EQ(stat(page.c_str(), &status), 0) << "no manual page at " << page;
    ASSERT_EQ(system("command -v groff >/dev/null"), 0) << "install the Debian package groff-base";
    const ProcessResult rendered =
        runProgram("sh", {"-c", "zcat \"$0\" | groff -man -ww -z", page});
    EXPECT_EQ(rendered.exitStatus, 0);
    EXPECT_EQ(rendered.output, "") << "groff warned about the manual page";

    ASSERT_EQ(stat(desktopEntry.c_str(), &status), 0) << "no desktop entry at " << desktopEntry;
    const ProcessResult validated = runProgram("desktop-file-validate", {desktopEntry});
    EXPECT_EQ(validated.exitStatus, 0) << "install the Debian package desktop-file-utils";
    EXPECT_EQ(validated.output, "");
}

}  // namespace

TEST(InstallTest, InstallsAWorkingBinaryAndAManualPageThatRendersCleanly) {
    const std::string prefix = makeTempDir();
    const ProcessResult installed =
        runProgram("cmake", {"--install", LUMOSCAPE_BUILD_DIR, "--prefix", prefix}, {}, 60);
    ASSERT_EQ(installed.exitStatus, 0) << installed.output;
    expectWorkingInstall(prefix + "/bin/lumoscape", prefix + "/share/man/man1/lumoscape.1.gz",
                         prefix + "/share/applications/lumoscape.desktop");
    const std::string removal = "rm -rf '" + prefix + "'";
    EXPECT_EQ(system(removal.c_str()), 0);
}

TEST(InstallTest, DebianPackageInstallsIntoAScratchRoot) {
    const std::string dir = makeTempDir();
    const ProcessResult packed = runProgram(
        "cpack", {"-G", "DEB", "-B", dir, "--config", LUMOSCAPE_BUILD_DIR "/CPackConfig.cmake"}, {},
        120);
    ASSERT_EQ(packed.exitStatus, 0) << packed.output;
    const ProcessResult found = runProgram("sh", {"-c", "ls \"$0\"/lumoscape_*.deb", dir});
    ASSERT_EQ(found.exitStatus, 0) << found.output;
    const std::string package = splitLines(found.output).at(0);

    const ProcessResult depends = runProgram("dpkg-deb", {"-f", package, "Depends"});
    for (const char *library : {"libc6", "libsdl-image1.2", "libsdl-gfx1.2", "libjpeg62-turbo",
                                "libheif1", "libavif15", "libjxl0.7", "liblcms2-2"}) {
        EXPECT_NE(depends.output.find(library), std::string::npos) << depends.output;
    }
    const std::string root = dir + "/root";
    ASSERT_EQ(runProgram("dpkg-deb", {"-x", package, root}).exitStatus, 0);
    expectWorkingInstall(root + "/usr/bin/lumoscape", root + "/usr/share/man/man1/lumoscape.1.gz",
                         root + "/usr/share/applications/lumoscape.desktop");
    struct stat status;
    EXPECT_EQ(stat((root + "/usr/share/doc/lumoscape/copyright").c_str(), &status), 0);
    const std::string removal = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(removal.c_str()), 0);
}

using DesktopEntryTest = ViewerTest;

TEST_F(DesktopEntryTest, ListsExactlyTheImageTypesThatHaveAReader) {
    std::set<std::string> listed;
    for (const std::string &line :
         splitLines(readWhole(LUMOSCAPE_SOURCE_DIR "/packaging/lumoscape.desktop"))) {
        if (line.rfind("MimeType=", 0) != 0) continue;
        std::istringstream types(line.substr(9));
        for (std::string type; std::getline(types, type, ';');) listed.insert(type);
    }
    // File managers know a type only by its canonical name, not by an alias.
    const std::vector<std::string> known = splitLines(readWhole("/usr/share/mime/types"));
    ASSERT_FALSE(known.empty()) << "install the Debian package shared-mime-info";
    std::set<std::string> read;
    for (const SampleKind &kind : sampleKinds) {
        SCOPED_TRACE(kind.name);
        read.insert(kind.mimeType);
        EXPECT_NE(std::find(known.begin(), known.end(), kind.mimeType), known.end());
        const std::string path = dir + "/sample." + kind.name;
        ASSERT_TRUE(writeSample(kind.name, path, 40, 30));
        testing::internal::CaptureStdout();
        SDL_Surface *image = loadImage(path.c_str());
        const std::string line = testing::internal::GetCapturedStdout();
        EXPECT_NE(image, nullptr) << line;
        EXPECT_EQ(line.rfind("INFO: loaded ", 0), 0u) << line;
        SDL_FreeSurface(image);
        if (!image) {
            ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0);  // a failed load shuts SDL down
        }
    }
    // Besides, the names some systems know those types by.
    for (const std::string &line : splitLines(readWhole("/usr/share/mime/aliases"))) {
        const size_t space = line.find(' ');
        if (space != std::string::npos && read.count(line.substr(space + 1)) &&
            listed.count(line.substr(0, space)))
            read.insert(line.substr(0, space));
    }
    EXPECT_EQ(listed, read);
}
