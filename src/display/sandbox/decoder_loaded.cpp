// Finding and loading the decoder module in the helper: beside the viewer in its build folder,
// or in the package's library folder relative to the installed viewer.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include "sandbox.h"

namespace {

constexpr const char *kDecoderFile = "lumoscape-decoder.so";

// The folder the viewer's own binary is in.
std::string ownFolder() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    const std::string binary(path, size_t(length));
    const size_t slash = binary.rfind('/');
    return slash == std::string::npos ? "." : binary.substr(0, slash);
}

}  // namespace

const DecoderModule *openDecoder(std::string *reason) {
    const std::string folder = ownFolder();
    const std::string beside = folder + "/" + kDecoderFile;
    const std::string installed = folder + "/" LUMOSCAPE_MODULES_FROM_BIN "/" + kDecoderFile;
    // The format modules take the decoder's readers, averager and colour front from it.
    const std::string &path = access(beside.c_str(), F_OK) == 0 ? beside : installed;
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    const void *module = handle ? dlsym(handle, "lumoscapeDecoder") : nullptr;
    if (!module) {
        const char *error = dlerror();
        *reason = error ? error : path + ": cannot be loaded";
        return nullptr;
    }
    return static_cast<const DecoderModule *>(module);
}
