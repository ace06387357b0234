// The decoder module's face to the helper: its set-up, the worker, and loading the modules of
// the formats that some files need.
#include <unistd.h>

#include "sandbox.h"

namespace {

void prepareHelper() {
    // Counted once, before any worker is locked down; the workers inherit the count.
    readerThreads();
    // Modules linked in (as the tests have them) are set up here, as loaded ones are on load.
    for (int which = 0; which < kFormatModuleCount; which++) {
        if (formatModuleLoaded(FormatModule(which))) loadFormatModule(FormatModule(which));
    }
    // Valgrind runs without a filter, and so without a warm-up to make before one.
    if (!underValgrind()) {
        // What the libraries say of the warm-up's own pictures is of no use to the user; their
        // standard error goes nowhere meanwhile (standard output is /dev/null).
        const int errors = dup(STDERR_FILENO);
        dup2(STDOUT_FILENO, STDERR_FILENO);
        warmUpReaders();
        if (errors >= 0) {
            dup2(errors, STDERR_FILENO);
            close(errors);
        }
    }
    prepareWorkerFilter();
}

void loadFormat(int which) {
    if (which < 0 || which >= kFormatModuleCount) return;
    if (loadFormatModule(FormatModule(which)) && !underValgrind())
        warmUpFormat(FormatModule(which));
}

}  // namespace

extern "C" const DecoderModule lumoscapeDecoder = {prepareHelper, runWorker, loadFormat};
