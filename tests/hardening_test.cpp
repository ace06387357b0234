// Tests that the built binary carries Debian's hardening: PIE, full RELRO, stack protector,
// fortify.
#include "support.h"

namespace {

std::string readelf(const std::vector<std::string> &args) {
    std::vector<std::string> all = args;
    all.push_back(LUMOSCAPE_BINARY);
    const ProcessResult result = runProgram("readelf", all);
    EXPECT_EQ(result.exitStatus, 0)
        << "readelf failed (Debian package binutils): " << result.output;
    return result.output;
}

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(HardeningTest, BinaryIsBuiltWithDebiansHardeningFlags) {
    EXPECT_TRUE(has(readelf({"-h"}), "DYN (Position-Independent Executable")) << "not built as PIE";
    EXPECT_TRUE(has(readelf({"-l", "-W"}), "GNU_RELRO")) << "no RELRO segment";
    const std::string dynamic = readelf({"-d", "-W"});
    EXPECT_TRUE(has(dynamic, "BIND_NOW") || has(dynamic, "Flags: NOW")) << "not linked with -z now";
    const std::string symbols = readelf({"--dyn-syms", "-W"});
    EXPECT_TRUE(has(symbols, "__stack_chk_fail")) << "no stack protector";
    EXPECT_TRUE(has(symbols, "__printf_chk") || has(symbols, "__snprintf_chk")) << "not fortified";
}
