// Tests of installing the program as a user would, into a prefix of the test's own.
#include <sys/stat.h>

#include "support.h"

TEST(InstallTest, InstallsAWorkingBinaryAndAManualPageThatRendersCleanly) {
    const std::string prefix = makeTempDir();
    const ProcessResult installed =
        runProgram("cmake", {"--install", LUMOSCAPE_BUILD_DIR, "--prefix", prefix}, {}, 60);
    ASSERT_EQ(installed.exitStatus, 0) << installed.output;

    const std::string binary = prefix + "/bin/lumoscape";
    const ProcessResult usage = runProgram(binary, {});
    EXPECT_EQ(usage.exitStatus, 1);
    EXPECT_EQ(usage.output, "Usage: " + binary + " filename [filename] ...\n");

    const std::string page = prefix + "/share/man/man1/lumoscape.1";
    struct stat status;
    ASSERT_EQ(stat(page.c_str(), &status), 0) << "no manual page at " << page;
    ASSERT_EQ(system("command -v groff >/dev/null"), 0) << "install the Debian package groff-base";
    const ProcessResult rendered = runProgram("groff", {"-man", "-ww", "-z", page});
    EXPECT_EQ(rendered.exitStatus, 0);
    EXPECT_EQ(rendered.output, "") << "groff warned about the manual page";

    const std::string removal = "rm -rf '" + prefix + "'";
    EXPECT_EQ(system(removal.c_str()), 0);
}
