// The modules linked in, as the tests, the fuzzers and the benchmarks have them.
#include "format_modules.h"

namespace {

bool prepared[kFormatModuleCount] = {};

const void *tableOf(FormatModule which) {
    switch (which) {
    case kColourModule:
        return &lumoscapeColourModule;
    case kHeifModule:
        return &lumoscapeHeifModule;
    case kAvifModule:
        return &lumoscapeAvifModule;
    case kJxlModule:
        return &lumoscapeJxlModule;
    case kJp2Module:
        return &lumoscapeJp2Module;
    case kSvgModule:
        return &lumoscapeSvgModule;
    default:
        return &lumoscapeSdlImageModule;
    }
}

}  // namespace

const void *formatModule(FormatModule which) {
    loadFormatModule(which);
    return tableOf(which);
}

bool loadFormatModule(FormatModule which) {
    if (prepared[which]) return true;
    prepared[which] = true;
    if (which == kColourModule) {
        lumoscapeColourModule.prepare();
    } else if (which == kSdlImageModule) {
        lumoscapeSdlImageModule.prepare();
    } else {
        static_cast<const FormatReaderModule *>(tableOf(which))->prepare();
    }
    return true;
}

bool formatModuleLoaded(FormatModule) { return true; }

void stopLoadingModules() {}
