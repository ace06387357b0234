// Fuzz target: mutated image files of every format shown by the real viewer, through its
// decoding process. The viewer must never crash, must end with its documented line and status,
// must quit at once when asked during a decode that does not end, and must leave no decoding
// process behind. Any other outcome aborts, which keeps the input as a finding.
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "child_process.h"

namespace {

std::string folder;

// How long a decode may take before the harness asks the viewer to quit during it, and how
// long the viewer may then take to go.
constexpr double kDecodeSeconds = 0.3;
constexpr double kQuitSeconds = 1;

[[noreturn]] void finding(const char *what, const Child &viewer) {
    fprintf(stderr, "sandbox fuzzer: %s; the viewer printed: %s\n", what, viewer.output.c_str());
    abort();
}

// Every line is an INFO line of a load or an Error line with a reason.
void checkLines(const Child &viewer) {
    size_t at = 0;
    while (at < viewer.output.size()) {
        const size_t end = viewer.output.find('\n', at);
        const std::string line = viewer.output.substr(at, end - at);
        const std::string error = "Error: loadImage: ";
        if (line.rfind("INFO: loaded ", 0) != 0 &&
            !(line.rfind(error, 0) == 0 && line.size() > error.size()))
            finding("a line that is neither a load nor a decoding error with a reason", viewer);
        if (end == std::string::npos) break;
        at = end + 1;
    }
}

}  // namespace

extern "C" {

int LLVMFuzzerInitialize(int *, char ***) {
    char pattern[] = "/tmp/lumoscape-sandbox-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) abort();
    folder = pattern;
    // Limits low enough that a decode bomb or a reader that loops ends within a run.
    FILE *settingsFile = fopen((folder + "/.lumoscaperc").c_str(), "w");
    if (!settingsFile) abort();
    fputs("decodertime 2\ndecodermemory 256\n", settingsFile);
    fclose(settingsFile);
    return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // One input in five is named as a TGA, the format told by its name only.
    const std::string path = folder + (size % 5 ? "/input" : "/input.tga");
    FILE *file = fopen(path.c_str(), "wb");
    if (!file) abort();
    if (size && fwrite(data, 1, size, file) != size) abort();
    fclose(file);

    Child viewer = startChild(LUMOSCAPE_BINARY, {path}, {"SDL_VIDEODRIVER=dummy", "HOME=" + folder},
                              false, [] { setpgid(0, 0); });
    if (viewer.pid <= 0) abort();
    readUntil(
        viewer, [](const std::string &output) { return output.find('\n') != std::string::npos; },
        kDecodeSeconds);
    // Shown or still decoding, the viewer must go when asked now; refused, it goes by itself.
    const auto refused = [&] {
        return viewer.output.find("Error: loadImage: ") != std::string::npos;
    };
    const bool asked = !refused();
    if (asked) kill(viewer.pid, SIGTERM);
    const int status = waitForExit(viewer, kQuitSeconds);
    if (status == -2) finding("the viewer did not quit when asked", viewer);
    // A refusal that came just as it was asked leaves it ending when the signal comes.
    if (status == -1 && !(asked && refused())) finding("the viewer ended by a signal", viewer);
    if (status >= 0 && status != (refused() ? 1 : 0))
        finding("the viewer ended with a wrong status", viewer);
    checkLines(viewer);
    if (!processGroupGone(viewer.pid, 2)) finding("a decoding process was left behind", viewer);
    unlink(path.c_str());
    return 0;
}
}
