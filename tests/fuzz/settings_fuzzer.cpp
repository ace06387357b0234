// Fuzz target: arbitrary bytes as the settings file, read the way the viewer reads it.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "shell/shell.h"

namespace {

std::string homeDir;
std::string settingsPath;

void removeHome() {
    unlink(settingsPath.c_str());
    rmdir(homeDir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Each input is written to a file: keep that file in memory where the system allows.
    char shared[] = "/dev/shm/lumoscape-fuzz-XXXXXX";
    char temporary[] = "/tmp/lumoscape-fuzz-XXXXXX";
    const char *pattern = mkdtemp(shared);
    if (!pattern) pattern = mkdtemp(temporary);
    if (!pattern) abort();
    homeDir = pattern;
    settingsPath = homeDir + "/.lumoscaperc";
    setenv("HOME", homeDir.c_str(), 1);
    atexit(removeHome);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *file = fopen(settingsPath.c_str(), "wb");
    if (!file) abort();
    if (size && fwrite(data, 1, size, file) != size) abort();
    fclose(file);

    settings = defaultSettings;
    readSettings();
    // Whatever the file holds, the only flags it can add is full-screen mode.
    const uint32_t allowed = SDL_ANYFORMAT | SDL_FULLSCREEN;
    if (!(settings.videoFlags & SDL_ANYFORMAT) || (settings.videoFlags & ~allowed)) abort();
    return 0;
}
