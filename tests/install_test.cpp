// Tests of installing the program as a user would: into a prefix, and from its Debian package.
#include <sys/stat.h>

#include "support.h"

namespace {

// The installed program prints its usage line; the manual page renders without a warning.
void expectWorkingInstall(const std::string &binary, const std::string &page) {
    const ProcessResult usage = runProgram(binary, {});
    EXPECT_EQ(usage.exitStatus, 1);
    EXPECT_EQ(usage.output, "Usage: " + binary + " filename [filename] ...\n");

    struct stat status;
    ASSERT_EQ(stat(page.c_str(), &status), 0) << "no manual page at " << page;
    ASSERT_EQ(system("command -v groff >/dev/null"), 0) << "install the Debian package groff-base";
    const ProcessResult rendered =
        runProgram("sh", {"-c", "zcat \"$0\" | groff -man -ww -z", page});
    EXPECT_EQ(rendered.exitStatus, 0);
    EXPECT_EQ(rendered.output, "") << "groff warned about the manual page";
}

}  // namespace

TEST(InstallTest, InstallsAWorkingBinaryAndAManualPageThatRendersCleanly) {
    const std::string prefix = makeTempDir();
    const ProcessResult installed =
        runProgram("cmake", {"--install", LUMOSCAPE_BUILD_DIR, "--prefix", prefix}, {}, 60);
    ASSERT_EQ(installed.exitStatus, 0) << installed.output;
    expectWorkingInstall(prefix + "/bin/lumoscape", prefix + "/share/man/man1/lumoscape.1.gz");
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
    for (const char *library : {"libc6", "libsdl-image1.2", "libsdl-gfx1.2", "libjpeg62-turbo"}) {
        EXPECT_NE(depends.output.find(library), std::string::npos) << depends.output;
    }
    const std::string root = dir + "/root";
    ASSERT_EQ(runProgram("dpkg-deb", {"-x", package, root}).exitStatus, 0);
    expectWorkingInstall(root + "/usr/bin/lumoscape", root + "/usr/share/man/man1/lumoscape.1.gz");
    struct stat status;
    EXPECT_EQ(stat((root + "/usr/share/doc/lumoscape/copyright").c_str(), &status), 0);
    const std::string removal = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(removal.c_str()), 0);
}
