// The modules loaded from the decoder's own folder the first time a file needs them.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "format_modules.h"

namespace {

struct Module {
    const char *format;  // as reasons name it
    const char *file;    // beside the decoder module
    const char *table;   // the symbol of its table
};
const Module kModules[kFormatModuleCount] = {
    {"colour", "lumoscape-colour.so", "lumoscapeColourModule"},
    {"HEIF", "lumoscape-heif.so", "lumoscapeHeifModule"},
    {"AVIF", "lumoscape-avif.so", "lumoscapeAvifModule"},
    {"JPEG XL", "lumoscape-jxl.so", "lumoscapeJxlModule"},
    {"SDL_image", "lumoscape-sdlimage.so", "lumoscapeSdlImageModule"},
    {"JPEG 2000", "lumoscape-jp2.so", "lumoscapeJp2Module"},
    {"SVG", "lumoscape-svg.so", "lumoscapeSvgModule"},
};

// What became of each module in this process; a forked worker inherits it.
struct Loaded {
    bool tried;
    const void *table;
    char reason[256];
};
Loaded loaded[kFormatModuleCount] = {};
bool loadingStopped = false;

// The folder this module was loaded from.
std::string ownFolder() {
    Dl_info self{};
    if (!dladdr(reinterpret_cast<void *>(&ownFolder), &self) || !self.dli_fname) return ".";
    const std::string path = self.dli_fname;
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

bool loadFormatModule(FormatModule which) {
    // The newer formats' readers convert colours through the colour module.
    if (which == kHeifModule || which == kAvifModule || which == kJxlModule || which == kJp2Module)
        loadFormatModule(kColourModule);
    Loaded &module = loaded[which];
    if (!module.tried && !loadingStopped) {
        module.tried = true;
        const std::string path = ownFolder() + "/" + kModules[which].file;
        void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        module.table = handle ? dlsym(handle, kModules[which].table) : nullptr;
        if (!module.table) {
            const char *error = dlerror();
            snprintf(module.reason, sizeof module.reason, "%s: its decoder cannot be loaded: %s",
                     kModules[which].format, error ? error : "unknown reason");
        } else if (which == kColourModule) {
            static_cast<const ColourModule *>(module.table)->prepare();
        } else if (which == kSdlImageModule) {
            static_cast<const SdlImageModule *>(module.table)->prepare();
        } else {
            static_cast<const FormatReaderModule *>(module.table)->prepare();
        }
    }
    if (!module.table) SDL_SetError("%s", module.reason);
    return module.table != nullptr;
}

bool formatModuleLoaded(FormatModule which) { return loaded[which].table != nullptr; }

const void *formatModule(FormatModule which) {
    if (loadingStopped && !loaded[which].tried) _exit(kWorkerNeedsModule + which);
    loadFormatModule(which);
    return loaded[which].table;
}

void stopLoadingModules() { loadingStopped = true; }
