// Memcheck run: the real viewer under valgrind, stepped and turned across many images on Xvfb.
#include <chrono>
#include <thread>

#include "x_session.h"

using MemcheckTest = EndToEndTest;

TEST_F(MemcheckTest, SteppingAndTurningIsCleanUnderValgrind) {
    ASSERT_EQ(system("command -v valgrind >/dev/null"), 0) << "install the Debian package valgrind";
    std::vector<std::string> paths;
    for (int i = 0; i < 11; i++) {
        // Every image needs fitting; every other one is paletted.
        paths.push_back(
            image("card" + std::to_string(i) + ".bmp", makeTestCard(330 + i, 250, i % 2 ? 8 : 32)));
    }
    // The decoder helper and its workers run under valgrind too, each with a log of its own.
    const std::string log = dir + "/valgrind.%p.log";
    // SDL on top of SDL2 would draw through the GL driver, whose own reads valgrind flags; the
    // software renderer is what a board without a GPU uses anyway. Without a session bus it
    // would also fork a child to launch one, whose log would count here; an address that leads
    // nowhere keeps it from trying. Classic SDL ignores all three. The preloaded timer stands
    // in for an instruction valgrind does not emulate (see valgrind_timer.cpp).
    startViewer(
        paths, "",
        {"env", "SDL_RENDER_DRIVER=software", "SDL_FRAMEBUFFER_ACCELERATION=0",
         "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", "LD_PRELOAD=" LUMOSCAPE_VALGRIND_TIMER,
         "valgrind", "--error-exitcode=99", "--leak-check=full", "--errors-for-leak-kinds=definite",
         "--show-leak-kinds=definite", "--suppressions=" LUMOSCAPE_VALGRIND_SUPPRESSIONS,
         "--log-file=" + log});
    const char *turns[] = {"Left", "Up", "Right", "Down"};
    for (int step = 0; step < 10; step++) {
        press(turns[step % 4]);
        press("space");
    }
    for (int step = 0; step < 10; step++) {
        press("shift");
        press(turns[(step + 1) % 4]);
    }
    // Every decode prints a line: 2 at start, 9 ahead of forward steps, 10 for backward ones.
    waitForLines(21);
    // Each of the 21 workers writes its summary as it ends, which under valgrind takes a while
    // after its picture is shown; quitting first would end the last one with its helper. So
    // does the first worker, which ends at once asking for SDL_image's module.
    const auto summaries = [&] {
        int count = 0;
        const ProcessResult logs = runProgram("sh", {"-c", "ls \"$0\"/valgrind.*.log", dir});
        for (const std::string &path : splitLines(logs.output))
            count += readWhole(path).find("ERROR SUMMARY: ") != std::string::npos;
        return count;
    };
    for (int tries = 0; summaries() < 22 && tries < 600; tries++)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const pid_t pid = viewer.pid;
    press("Escape");
    expectEnded(0);
    const ProcessResult logs = runProgram("sh", {"-c", "ls \"$0\"/valgrind.*.log", dir});
    const std::vector<std::string> reports = splitLines(logs.output);
    // The viewer, the decoder helper, the worker that asked for SDL_image's module, a worker for
    // each of the 21 decodes and, unless the viewer quit first, one waiting for a 22nd. The
    // viewer, the asking worker and the 21 write a summary; the helper, which the viewer ends
    // with SIGKILL, does not, nor may a waiting worker. Every summary says 0 errors.
    EXPECT_GE(reports.size(), 24u) << logs.output;
    EXPECT_LE(reports.size(), 25u) << logs.output;
    int clean = 0;
    for (const std::string &path : reports) {
        const std::string report = readWhole(path);
        clean += report.find("ERROR SUMMARY: 0 errors") != std::string::npos;
        EXPECT_EQ(report.find("ERROR SUMMARY: "), report.find("ERROR SUMMARY: 0 errors"))
            << path << report;
    }
    EXPECT_GE(clean, 23);
    const std::string viewerLog = dir + "/valgrind." + std::to_string(pid) + ".log";
    EXPECT_NE(readWhole(viewerLog).find("ERROR SUMMARY: 0 errors"), std::string::npos);
}
