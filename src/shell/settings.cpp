// The viewer's settings: built-in defaults, overridden by lines of $HOME/.lumoscaperc.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shell.h"

const Settings defaultSettings = {320, 240, SDL_ANYFORMAT, 1, 0, 0, 0, 1, 0, 0, 0};

Settings settings = defaultSettings;

namespace {

// Longest line piece taken in one read; a longer line is matched piece by piece.
constexpr int kLinePiece = 1023;

// Matches "KEY %d" at the very start of `line`, with any white space or none between the key
// and the number and anything after it: the rules of a scanf pattern, but with numbers out of
// range clamped instead of undefined.
bool matchSetting(const char *line, const char *key, int32_t *value) {
    const size_t keyLength = strlen(key);
    if (strncmp(line, key, keyLength) != 0) return false;
    const char *number = line + keyLength;
    while (isspace(static_cast<unsigned char>(*number))) number++;
    const char *digits = number;
    if (*digits == '+' || *digits == '-') digits++;
    if (!isdigit(static_cast<unsigned char>(*digits))) return false;
    long parsed = strtol(number, nullptr, 10);
    if (parsed > INT32_MAX) parsed = INT32_MAX;
    if (parsed < INT32_MIN) parsed = INT32_MIN;
    *value = static_cast<int32_t>(parsed);
    return true;
}

}  // namespace

void readSettings() {
    const char *home = getenv("HOME");
    if (!home) return;
    char path[PATH_MAX];
    const int length = snprintf(path, sizeof path, "%s/.lumoscaperc", home);
    // A home path too long for the buffer cannot name a file we could open anyway.
    if (length < 0 || length >= static_cast<int>(sizeof path)) return;

    // Only a regular file is read: opening a FIFO would block until a writer comes, and a
    // device such as /dev/zero never ends. Opening without blocking and checking what was
    // opened leaves no window for the path to change in between.
    const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return;
    struct stat status;
    FILE *file = nullptr;
    if (fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) file = fdopen(descriptor, "r");
    if (!file) {
        close(descriptor);
        return;
    }

    int32_t fullscreen = 0;
    // Tried in this order; a line sets one at most.
    const struct {
        const char *key;
        int32_t *value;
    } keys[] = {
        {"width", &settings.width},
        {"height", &settings.height},
        {"fullscreen", &fullscreen},
        {"antialias", &settings.antialias},
        {"decodermemory", &settings.decoderMemory},
        {"decodertime", &settings.decoderTime},
        {"colourprofiles", &settings.colourProfiles},
        {"autorotate", &settings.autorotate},
        {"skipbroken", &settings.skipBroken},
        {"keepaspect", &settings.keepAspect},
        {"slideshow", &settings.slideshow},
    };
    char line[kLinePiece + 1];
    // A read error ends the reading like the end of the file; what was matched still counts.
    while (fgets(line, sizeof line, file)) {
        for (const auto &setting : keys) {
            if (matchSetting(line, setting.key, setting.value)) break;
        }
    }
    fclose(file);

    if (fullscreen) settings.videoFlags |= SDL_FULLSCREEN;
}
