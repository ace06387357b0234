// Keeping only the descriptors a process of the sandbox needs, and telling a run under valgrind.
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "sandbox.h"

// The memory-checking test run leaves the filter out under valgrind; builds without valgrind's
// header have nothing to tell.
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#else
#define RUNNING_ON_VALGRIND 0
#endif

namespace {

// The most descriptors a Linux process can have (fs.nr_open's ceiling).
constexpr int kMostDescriptors = 1 << 20;

// Closes every descriptor from `first` to `last`; false when that could not be made sure of.
// The scan of /proc is for kernels or emulators without close_range; without either, every
// number a descriptor can have is closed.
bool closeRange(int first, int last) {
    if (first > last) return true;
    if (close_range(unsigned(first), unsigned(last), 0) == 0) return true;
    if (DIR *open = opendir("/proc/self/fd")) {
        const int listing = dirfd(open);
        while (const dirent *entry = readdir(open)) {
            const int descriptor = atoi(entry->d_name);
            if (descriptor >= first && descriptor <= last && descriptor != listing)
                close(descriptor);
        }
        closedir(open);
        return true;
    }
    // A descriptor opened before its limit was lowered keeps its number, so the hard limit
    // and the system's own ceiling both bound the search.
    rlimit open{};
    if (getrlimit(RLIMIT_NOFILE, &open) != 0) return false;
    rlim_t highest = std::max(open.rlim_cur, open.rlim_max);
    if (highest == RLIM_INFINITY || highest > rlim_t(kMostDescriptors)) highest = kMostDescriptors;
    const int end = int(std::min<rlim_t>(rlim_t(last) + 1, highest));
    for (int descriptor = first; descriptor < end; descriptor++) close(descriptor);
    return true;
}

}  // namespace

bool keepOnlyDescriptors(int first, int second) {
    const int low = std::min(first, second);
    const int high = std::max(first, second);
    return closeRange(STDERR_FILENO + 1, low - 1) && closeRange(low + 1, high - 1) &&
           closeRange(high + 1, INT_MAX);
}

bool underValgrind() { return RUNNING_ON_VALGRIND; }
