// The decoder module's face to the helper: its set-up, the worker, and loading the modules of
// the formats that some files need.
#include <unistd.h>

#include "sandbox.h"

namespace {

// The warm-ups run on the helper's own pictures, and what the libraries say of those is of no
// use to the user: their standard error goes nowhere meanwhile (standard output is
// /dev/null). Valgrind runs without a filter, and so without a warm-up to make before one.
int muteErrors() {
    const int errors = dup(STDERR_FILENO);
    dup2(STDOUT_FILENO, STDERR_FILENO);
    return errors;
}

void restoreErrors(int errors) {
    if (errors < 0) return;
    dup2(errors, STDERR_FILENO);
    close(errors);
}

void loadFormat(int which) {
    if (which < 0 || which >= kFormatModuleCount) return;
    if (!loadFormatModule(FormatModule(which)) || underValgrind()) return;
    const int errors = muteErrors();
    warmUpFormat(FormatModule(which));
    restoreErrors(errors);
}

void prepareHelper() {
    // Counted once, before any worker is locked down; the workers inherit the count.
    readerThreads();
    if (!underValgrind()) {
        const int errors = muteErrors();
        warmUpReaders();
        restoreErrors(errors);
    }
    // Modules linked in (as the tests have them) are set up here, as loaded ones are on load.
    for (int which = 0; which < kFormatModuleCount; which++) {
        if (formatModuleLoaded(FormatModule(which))) loadFormat(which);
    }
    prepareWorkerFilter();
}

}  // namespace

extern "C" const DecoderModule lumoscapeDecoder = {prepareHelper, runWorker, loadFormat};
