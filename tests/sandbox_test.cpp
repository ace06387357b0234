// Tests of the decoding process: what its filter stops, quitting during a decode, and what the
// viewer takes back from it.
#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <linux/landlock.h>
#include <linux/sched.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "display/sandbox/sandbox.h"
#include "image_files.h"
#include "support.h"

namespace {

// Blocks on a futex, the one way to wait that the filter leaves a decoder; for ever when
// `seconds` is 0.
void waitInWorker(int seconds) {
    static int word = 0;
    const timespec span{seconds, 0};
    syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, 0, seconds ? &span : nullptr, nullptr, 0);
}

void writeResult(const void *bytes, size_t size) { (void)!write(kWorkerResult, bytes, size); }

// A true result header for a 4x3 picture of 32 bits, as an honest worker writes it.
ResultHeader honestHeader() {
    ResultHeader header{};
    header.magic = kResultMagic;
    header.decoded = header.infoKnown = 1;
    header.fullWidth = header.width = 4;
    header.fullHeight = header.height = 3;
    header.fullBitsPerPixel = header.bitsPerPixel = 32;
    header.redMask = 0xff;
    header.greenMask = 0xff00;
    header.blueMask = 0xff0000;
    return header;
}

ResultHeader refusalHeader(int32_t length) {
    ResultHeader header{};
    header.magic = kResultMagic;
    header.reasonLength = length;
    return header;
}

// Writes `header` and `payload`, one byte at a time when `inPieces`.
void sendResult(const ResultHeader &header, const std::string &payload, bool inPieces = false) {
    std::string bytes(reinterpret_cast<const char *>(&header), sizeof header);
    bytes += payload;
    if (!inPieces) return writeResult(bytes.data(), bytes.size());
    for (const char byte : bytes) writeResult(&byte, 1);
}

void refuseWith(const std::string &reason) {
    sendResult(refusalHeader(int32_t(reason.size())), reason);
}

// A 4x3 picture whose pixels are all red, in the honest header's layout.
std::string redPixels() {
    std::string pixels;
    for (int i = 0; i < 12; i++) pixels += std::string{'\xff', 0, 0, 0};
    return pixels;
}

// What a worker taken over by a file could write instead of a result, by name.
struct Dishonesty {
    const char *name;
    void (*act)();
};
// Honest headers but for one field: each a result the viewer must not take.
struct HeaderLie {
    const char *name;
    void (*change)(ResultHeader *header);
};
const HeaderLie kHeaderLies[] = {
    {"wrong-size", [](ResultHeader *h) { h->width = 5; }},
    {"too-many-colours", [](ResultHeader *h) { h->bitsPerPixel = 8, h->colours = 257; }},
    {"no-colours", [](ResultHeader *h) { h->bitsPerPixel = 8; }},
    {"palette-on-true-colour", [](ResultHeader *h) { h->colours = 16; }},
    {"depth-12", [](ResultHeader *h) { h->bitsPerPixel = 12; }},
    {"bad-magic", [](ResultHeader *h) { h->magic = 0; }},
    {"picture-without-info", [](ResultHeader *h) { h->infoKnown = 0; }},
};

const Dishonesty kDishonesties[] = {
    {"reason-claims-2-gb", [] { sendResult(refusalHeader(0x7fffffff), "never"); }},
    {"reason-claims-less-than-nothing", [] { sendResult(refusalHeader(-1), "never"); }},
    {"reason-longer-than-announced", [] { sendResult(refusalHeader(5), "short and more"); }},
    {"reason-in-pieces", [] { sendResult(refusalHeader(9), "in pieces", true); }},
    {"picture-in-pieces", [] { sendResult(honestHeader(), redPixels(), true); }},
    {"control-characters",
     [] {
         refuseWith(
             "\x1b[31mred\x07 \xc2\x9b"
             "2J \xe2\x80\xae"
             "evil \xff\x9b caf\xc3\xa9");
     }},
    {"claim-past-the-zoom-floor",
     [] {
         auto h = honestHeader();
         h.fullWidth = 2000000;
         h.fullHeight = 1000000;
         h.width = 2000;  // what the scaler's floor of a thousandth gives
         h.height = 1000;
         sendResult(h, "");
     }},
    {"claim-of-2000000x100",
     [] {
         auto h = honestHeader();
         h.fullWidth = 2000000;
         h.fullHeight = 100;
         h.width = 2000;  // the size it is fitted to, wider than the screen
         h.height = 240;
         sendResult(h, "");
     }},
    {"reason-with-a-line-end", [] { refuseWith("bad\nINFO: loaded forged.png: 1x1 24bpp"); }},
    {"tells-what-it-holds",
     [] {
         const bool environment = environ && *environ;
         refuseWith(std::string(environment ? "an environment" : "no environment") +
                    (imageList.firstEntry ? ", images" : ", no images"));
     }},
    {"warns-without-a-line-end",
     [] {
         (void)!write(STDERR_FILENO, "INFO: forged", 12);
         refuseWith("refused");
     }},
    {"claim-of-16383000x32767000",
     [] {
         auto h = honestHeader();
         h.fullWidth = 16383000;
         h.fullHeight = 32767000;
         h.width = 16383;
         h.height = 32767;
         sendResult(h, "");
     }},
    {"cut-short", [] { sendResult(honestHeader(), redPixels().substr(0, 20)); }},
    {"sleeps", [] { waitInWorker(0); }},
    {"sends-and-stays",
     [] {
         sendResult(honestHeader(), redPixels());
         waitInWorker(0);
     }},
    {"refused-header-then-more",
     [] {
         auto h = honestHeader();
         h.magic = 0;
         sendResult(h, std::string(8 << 20, 'x'));
         waitInWorker(0);
     }},
    // A worker that asks for a module the helper has loaded, again and again.
    {"asks-for-a-module-for-ever", [] { _exit(kWorkerNeedsModule + kHeifModule); }},
    {"floods-standard-error",
     [] {
         (void)!write(STDERR_FILENO, "warning \x1b[2J\n", 13);
         const std::string line(1000, 'x');
         for (int i = 0; i < 16000; i++) (void)!write(STDERR_FILENO, (line + "\n").data(), 1001);
         refuseWith("flooded");
     }},
};

#if defined(__x86_64__)
// getpid through the 32-bit entry.
void foreignCall() {
    long result;
    asm volatile("int $0x80" : "=a"(result) : "a"(20) : "memory");
}

// Whether this kernel runs 32-bit calls at all: without its IA-32 emulation they end the
// caller with SIGSEGV before any filter sees them.
bool kernelRunsForeignCalls() {
    const pid_t child = fork();
    if (child == 0) {
        foreignCall();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
#endif

// Whether this kernel can keep a process to the folders it names (Landlock), asked before
// any worker starts, since a worker may not ask.
const bool landlockOffered =
    syscall(__NR_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION) > 0;

// A system call, and whether the filter lets a decoder make it that way.
struct FilterRule {
    const char *name;
    bool allowed;
    long (*call)(int file);
};
const FilterRule kFilterRules[] = {
    // Files open for reading beneath the font folders, where Landlock keeps the worker to them,
    // and nowhere else; whether they may be read is asked the same way.
    {"open-beneath-the-font-folders", true,
     [](int) -> long {
         const int folder = open("/usr/share/fonts", O_RDONLY | O_DIRECTORY);
         if (folder >= 0) close(folder);
         const bool readable = access("/usr/share/fonts", R_OK) == 0;
         return landlockOffered ? (folder >= 0 && readable ? 0 : -1)
                                : (folder < 0 && !readable && errno == EACCES ? 0 : -1);
     }},
    {"open-refused-elsewhere", true,
     [](int) -> long {
         return open("/etc/passwd", O_RDONLY) < 0 && errno == EACCES &&
                        access("/etc/passwd", R_OK) < 0 && errno == EACCES
                    ? 0
                    : -1;
     }},
    {"open-to-write-refused", true,
     [](int) -> long {
         return open("/usr/share/fonts/lumoscape-test", O_WRONLY | O_CREAT, 0600) < 0 &&
                        errno == EACCES && open("/etc/passwd", O_RDWR) < 0 && errno == EACCES
                    ? 0
                    : -1;
     }},
    {"getpeername-of-standard-error-not-a-socket", true,
     [](int) -> long {
         sockaddr_storage peer{};
         socklen_t size = sizeof peer;
         return getpeername(STDERR_FILENO, reinterpret_cast<sockaddr *>(&peer), &size) < 0 &&
                        errno == ENOTSOCK
                    ? 0
                    : -1;
     }},
    {"getrandom", true,
     [](int) -> long {
         char key[16];
         return getrandom(key, sizeof key, 0) == long(sizeof key) ? 0 : -1;
     }},
    {"socket", false, [](int) -> long { return socket(AF_INET, SOCK_STREAM, 0); }},
    {"execve", false,
     [](int) -> long { return execl("/bin/true", "true", static_cast<char *>(nullptr)); }},
    {"fork", false, [](int) -> long { return fork(); }},
    // Another process is named by number 1, init: getppid would stop the worker before the rule.
    {"kill", false, [](int) -> long { return kill(1, 0); }},
    {"write-stdout", false, [](int) -> long { return write(STDOUT_FILENO, "x", 1); }},
    {"write-stderr", true, [](int) -> long { return write(STDERR_FILENO, "", 0); }},
    {"writev-stdout", false,
     [](int) -> long {
         iovec part{const_cast<char *>("x"), 1};
         return writev(STDOUT_FILENO, &part, 1);
     }},
    {"writev-stderr", true,
     [](int) -> long {
         iovec part{const_cast<char *>(""), 0};
         return writev(STDERR_FILENO, &part, 1);
     }},
    {"mmap-exec", false,
     [](int) -> long {
         return long(mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1,
                          0) == MAP_FAILED)
                    ? -1
                    : 0;
     }},
    {"mprotect-read", true,
     [](int) -> long {
         void *page =
             mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
         return page == MAP_FAILED ? -1 : mprotect(page, 4096, PROT_READ);
     }},
    {"mprotect-exec", false,
     [](int) -> long {
         void *page =
             mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
         return page == MAP_FAILED ? -1 : mprotect(page, 4096, PROT_READ | PROT_EXEC);
     }},
    {"fstatat-of-the-file", true,
     [](int file) -> long {
         struct stat status;
         return fstatat(file, "", &status, AT_EMPTY_PATH);
     }},
    // A status by path is answered by the worker's own handler: refused, nothing learnt.
    {"fstat-of-the-file-gives-its-size", true,
     [](int file) -> long {
         struct stat status {};
         return fstat(file, &status) == 0 && status.st_size > 0 ? 0 : -1;
     }},
    {"statx-of-the-file-gives-its-size", true,
     [](int file) -> long {
         struct statx status {};
         return statx(file, "", AT_EMPTY_PATH, STATX_SIZE, &status) == 0 && status.stx_size > 0
                    ? 0
                    : -1;
     }},
    {"fstatat-of-a-path-refused", true,
     [](int) -> long {
         struct stat status;
         return fstatat(AT_FDCWD, "/etc/passwd", &status, 0) < 0 && errno == EACCES ? 0 : -1;
     }},
    {"fstatat-of-a-path-with-the-empty-path-flag-refused", true,
     [](int) -> long {
         struct stat status;
         return fstatat(AT_FDCWD, "/etc/passwd", &status, AT_EMPTY_PATH) < 0 && errno == EACCES
                    ? 0
                    : -1;
     }},
    {"statx-of-a-path-refused", true,
     [](int) -> long {
         struct statx status;
         return statx(AT_FDCWD, "/etc/passwd", AT_EMPTY_PATH, STATX_BASIC_STATS, &status) < 0 &&
                        errno == EACCES
                    ? 0
                    : -1;
     }},
    {"tgkill-self", true, [](int) -> long { return syscall(SYS_tgkill, getpid(), gettid(), 0); }},
    {"tgkill-another", false, [](int) -> long { return syscall(SYS_tgkill, 1, 1, 0); }},
    {"prlimit-own", true,
     [](int) -> long {
         rlimit limits;
         return prlimit(0, RLIMIT_DATA, nullptr, &limits);
     }},
    {"prlimit-another", false,
     [](int) -> long {
         rlimit limits;
         return prlimit(1, RLIMIT_DATA, nullptr, &limits);
     }},
    {"prlimit-set", false,
     [](int) -> long {
         const rlimit more{RLIM_INFINITY, RLIM_INFINITY};
         return prlimit(0, RLIMIT_CPU, &more, nullptr);
     }},
    {"ioctl-tcgets", true,
     [](int) -> long {
         termios terminal;
         return ioctl(STDERR_FILENO, TCGETS, &terminal) == 0 || errno == ENOTTY ? 0 : -1;
     }},
    {"ioctl-fionread", false,
     [](int file) -> long {
         int count;
         return ioctl(file, FIONREAD, &count);
     }},
    {"fcntl-getfl", true, [](int file) -> long { return fcntl(file, F_GETFL); }},
    {"fcntl-setfd", true, [](int file) -> long { return fcntl(file, F_SETFD, FD_CLOEXEC); }},
    {"fcntl-setfl", true, [](int file) -> long { return fcntl(file, F_SETFL, O_NONBLOCK); }},
    {"fcntl-setfl-async", false,
     [](int) -> long { return fcntl(STDERR_FILENO, F_SETFL, O_ASYNC); }},
    {"fcntl-setown", false, [](int) -> long { return fcntl(STDERR_FILENO, F_SETOWN, 1); }},
    {"fcntl-setsig", false, [](int) -> long { return fcntl(STDERR_FILENO, F_SETSIG, SIGKILL); }},
    {"fcntl-dupfd", false, [](int file) -> long { return fcntl(file, F_DUPFD, 10); }},
// Threads, as the decoders of several cores make them; nothing else of clone's. (Under
// AddressSanitizer a thread this test's own code starts goes through calls of the
// sanitizer's that no decoder makes; the sanitizer suite decodes on threads all the same.)
#if !defined(__SANITIZE_ADDRESS__)
    {"thread", true,
     [](int) -> long {
         int made = 0;
         std::thread worker([&made] { made = 1; });
         worker.join();
         return made ? 0 : -1;
     }},
    // A thread names itself by its own number, as a look at its attributes does.
    {"sched-getaffinity-own-thread", true,
     [](int) -> long {
         long result = -1;
         std::thread looking([&result] {
             cpu_set_t processors;
             result = sched_getaffinity(gettid(), sizeof processors, &processors);
         });
         looking.join();
         return result;
     }},
    // Threads are bounded: a worker cannot use up the system's processes. Each waits on a word
    // no one wakes, on a small stack, so that memory is not what stops them.
    {"threads-are-bounded", true,
     [](int) -> long {
         static int never = 0;
         pthread_attr_t small;
         pthread_attr_init(&small);
         pthread_attr_setstacksize(&small, 64 << 10);
         int made = 0;
         for (pthread_t thread; made < 2000; made++) {
             const auto wait = [](void *) -> void * {
                 syscall(SYS_futex, &never, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
                 return nullptr;
             };
             if (pthread_create(&thread, &small, wait, nullptr) != 0) break;
         }
         return made < 2000 ? 0 : -1;
     }},
#endif
    {"clone3-missing", true,
     [](int) -> long { return syscall(SYS_clone3, nullptr, 0) < 0 && errno == ENOSYS ? 0 : -1; }},
    {"clone-thread-in-new-namespace", false,
     [](int) -> long {
         return syscall(SYS_clone,
                        CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD |
                            CLONE_SYSVSEM | CLONE_NEWNET,
                        nullptr, nullptr, nullptr, 0);
     }},
    {"clone-sharing-memory-only", false,
     [](int) -> long { return syscall(SYS_clone, CLONE_VM, nullptr, nullptr, nullptr, 0); }},
    {"sched-getaffinity", true,
     [](int) -> long {
         cpu_set_t processors;
         return sched_getaffinity(0, sizeof processors, &processors);
     }},
    {"sched-getaffinity-own-number", true,
     [](int) -> long {
         cpu_set_t processors;
         return sched_getaffinity(getpid(), sizeof processors, &processors);
     }},
    {"sched-getaffinity-of-another-refused", true,
     [](int) -> long {
         cpu_set_t processors;
         return sched_getaffinity(1, sizeof processors, &processors) < 0 && errno == ESRCH ? 0 : -1;
     }},
    {"futex-wake", true,
     [](int) -> long {
         static int word = 0;
         return syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
     }},
    {"futex-lock-pi", false,
     [](int) -> long {
         static int word = 0;
         return syscall(SYS_futex, &word, FUTEX_LOCK_PI_PRIVATE, 0, nullptr, nullptr, 0);
     }},
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__)
    // The 32-bit entry, from a thread: it must end the worker, not just the thread.
    {"foreign-architecture", false,
     [](int) -> long {
         std::thread caller([] { foreignCall(); });
         caller.join();
         return 0;
     }},
#endif
    {"prctl-set-name", true, [](int) -> long { return prctl(PR_SET_NAME, "decoder"); }},
    {"prctl-dumpable", false, [](int) -> long { return prctl(PR_SET_DUMPABLE, 1); }},
    {"recvmsg-result", false,
     [](int) -> long {
         char byte;
         iovec part{&byte, 1};
         msghdr message{};
         message.msg_iov = &part;
         message.msg_iovlen = 1;
         return recvmsg(kWorkerResult, &message, MSG_DONTWAIT);
     }},
};

// The exit status of a worker whose allowed call failed.
constexpr int kAllowedCallFailed = 99;

}  // namespace

// Runs in every worker of this test program before it decodes. A file that starts with
// "call:NAME" makes the worker make that call of kFilterRules; "fake:NAME" writes the result
// kDishonesties names; "extension:" refuses with the extension the worker was sent.
extern "C" void lumoscapeWorkerTestHook(int file, const char *extension) {
    char start[48] = {};
    if (pread(file, start, sizeof start - 1, 0) < 5) return;
    const std::string line(start, strcspn(start, "\n"));
    const auto named = [&](const char *prefix) {
        return line.rfind(prefix, 0) == 0 ? line.substr(strlen(prefix)) : std::string();
    };
    for (const FilterRule &rule : kFilterRules) {
        if (named("call:") == rule.name && rule.call(file) < 0) _exit(kAllowedCallFailed);
    }
    if (named("call:") == "abort") abort();
    for (const Dishonesty &dishonesty : kDishonesties) {
        if (named("fake:") == dishonesty.name) {
            dishonesty.act();
            _exit(0);
        }
    }
    for (const HeaderLie &lie : kHeaderLies) {
        if (named("fake:") == lie.name) {
            ResultHeader header = honestHeader();
            lie.change(&header);
            sendResult(header, "");
            _exit(0);
        }
    }
    if (line == "extension:") {
        refuseWith(std::string("extension=") + extension);
        _exit(0);
    }
}

// The first process whose parent is `parent` and whose name is `name`, or -1.
static pid_t childNamed(pid_t parent, const std::string &name) {
    DIR *processes = opendir("/proc");
    pid_t found = -1;
    while (const dirent *entry = processes ? readdir(processes) : nullptr) {
        if (!isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
        const std::string stat = readWhole(std::string("/proc/") + entry->d_name + "/stat");
        const size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        if (stat.substr(open + 1, close - open - 1) == name &&
            atoi(stat.c_str() + close + 4) == parent) {
            found = atoi(entry->d_name);
            break;
        }
    }
    if (processes) closedir(processes);
    return found;
}

class SandboxTest : public ViewerTest {
protected:
    // The viewer goes on after a worker's failure: the next worker decodes as ever.
    void expectAnImageStillLoads() {
        const std::string card = saveImage(makeTestCard(40, 30), dir + "/card.bmp");
        testing::internal::CaptureStdout();
        SDL_Surface *shown = loadImage(card.c_str());
        testing::internal::GetCapturedStdout();
        EXPECT_NE(shown, nullptr);
        SDL_FreeSurface(shown);
    }
    // The error line of a load that must fail.
    std::string failedLoad(const std::string &path) {
        testing::internal::CaptureStdout();
        SDL_Surface *image = loadImage(path.c_str());
        const std::string output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(image, nullptr) << path;
        SDL_FreeSurface(image);
        // A failed load shuts SDL down, as the viewer ends there.
        if (!SDL_WasInit(SDL_INIT_VIDEO)) {
            EXPECT_EQ(SDL_Init(SDL_INIT_VIDEO), 0);
        }
        return output;
    }
};

TEST_F(SandboxTest, EveryFilterRuleLetsADecoderThroughOrStopsItAsItShould) {
    ASSERT_EQ(prctl(PR_GET_SECCOMP), 0) << "this kernel takes no seccomp filter";
    const std::string stopped =
        "Error: loadImage: decoder stopped: it made a system call decoders may not make\n";
    // A call allowed lets the worker go on to decode the text, which no reader takes.
    const std::string ranOn = "Error: loadImage: Unsupported image format\n";
    for (const FilterRule &rule : kFilterRules) {
        SCOPED_TRACE(rule.name);
        const std::string path = dir + "/" + rule.name;
        writeFile(path, std::string("call:") + rule.name + "\n");
#if defined(__x86_64__)
        if (std::string(rule.name) == "foreign-architecture" && !kernelRunsForeignCalls()) {
            std::cout << "this kernel runs no 32-bit calls: the foreign call ends by SIGSEGV\n";
            EXPECT_EQ(failedLoad(path),
                      "Error: loadImage: decoder ended by signal 11 (Segmentation fault)\n");
            continue;
        }
#endif
        EXPECT_EQ(failedLoad(path), rule.allowed ? ranOn : stopped);
    }
    // A decoder that aborts, as the C library does on a corrupted heap, may signal itself.
    writeFile(dir + "/abort", "call:abort\n");
    EXPECT_EQ(failedLoad(dir + "/abort"),
              "Error: loadImage: decoder ended by signal 6 (Aborted)\n");
    // What decoders do themselves passes the filter.
    const std::string image = saveImage(makeTestCard(400, 300, 8), dir + "/card.bmp");
    testing::internal::CaptureStdout();
    SDL_Surface *shown = loadImage(image.c_str());
    testing::internal::GetCapturedStdout();
    ASSERT_NE(shown, nullptr);
    SDL_FreeSurface(shown);
}

TEST_F(SandboxTest, DishonestResultsEndInOneErrorLineAndTheViewerGoesOn) {
    // The bound is a margin over the processor-time limit, however large that is.
    EXPECT_GT(decodeWallSeconds(2000000000), 2000000000);
    settings.decoderTime = 1;  // bounds the sleeper at decodeWallSeconds(1)
    stopDecoderHelper();
    // The viewer's list and environment stay the viewer's.
    listImages({dir + "/listed.bmp"});
    ASSERT_NE(environ[0], nullptr);
    startDecoderHelper();
    const std::string cannotTake =
        "Error: loadImage: decoder sent a result the viewer cannot take\n";
    struct Case {
        const char *name;
        std::string line;
    };
    const Case cases[] = {
        {"wrong-size", cannotTake},
        {"too-many-colours", cannotTake},
        {"no-colours", cannotTake},
        {"palette-on-true-colour", cannotTake},
        {"depth-12", cannotTake},
        {"bad-magic", cannotTake},
        {"picture-without-info", cannotTake},
        {"reason-claims-2-gb", cannotTake},
        {"reason-claims-less-than-nothing", cannotTake},
        {"claim-past-the-zoom-floor", cannotTake},
        {"claim-of-16383000x32767000", cannotTake},
        {"claim-of-2000000x100", cannotTake},
        {"reason-with-a-line-end", "Error: loadImage: bad?INFO: loaded forged.png: 1x1 24bpp\n"},
        {"tells-what-it-holds", "Error: loadImage: no environment, no images\n"},
        {"refused-header-then-more", cannotTake},
        {"cut-short", "INFO: loaded " + dir +
                          "/cut-short: 4x3 32bpp\n"
                          "Error: loadImage: decoder ended before its result was whole\n"},
        {"reason-longer-than-announced", "Error: loadImage: short\n"},
        {"reason-in-pieces", "Error: loadImage: in pieces\n"},
        {"control-characters", "Error: loadImage: ?[31mred? ?2J ?evil ?? caf\xc3\xa9\n"},
        {"sleeps", "Error: loadImage: decoder stopped: no result after " +
                       std::to_string(decodeWallSeconds(1)) + " s\n"},
        {"asks-for-a-module-for-ever", "Error: loadImage: decoder ended with status " +
                                           std::to_string(kWorkerNeedsModule + kHeifModule) + "\n"},
    };
    for (const Case &fake : cases) {
        SCOPED_TRACE(fake.name);
        const std::string path = dir + "/" + fake.name;
        writeFile(path, std::string("fake:") + fake.name + "\n");
        EXPECT_EQ(failedLoad(path), fake.line);
    }
    expectAnImageStillLoads();
}

TEST_F(SandboxTest, SvgTextIsDrawnFromFontsReadBeneathTheirFoldersWhereLandlockKeepsToThem) {
    // The pixels in which a drawing with a word of text differs from the same without; -1 when
    // either does not load.
    const auto pixelsOfText = [&] {
        SDL_Surface *drawn[2] = {};
        for (const bool text : {false, true}) {
            const std::string path = dir + (text ? "/text.svg" : "/plain.svg");
            writeFile(path, svgDrawing(160, 120, text));
            testing::internal::CaptureStdout();
            drawn[text] = loadImage(path.c_str());
            testing::internal::GetCapturedStdout();
        }
        long differing = drawn[0] && drawn[1] ? 0 : -1;
        for (int y = 0; differing >= 0 && y < drawn[0]->h; y++) {
            for (int x = 0; x < drawn[0]->w; x++) {
                const size_t at = size_t(y) * drawn[0]->pitch + size_t(x) * 4;
                differing += memcmp(static_cast<char *>(drawn[0]->pixels) + at,
                                    static_cast<char *>(drawn[1]->pixels) + at, 4) != 0;
            }
        }
        SDL_FreeSurface(drawn[0]);
        SDL_FreeSurface(drawn[1]);
        return differing;
    };
    if (landlockOffered) {
        EXPECT_GT(pixelsOfText(), 200);
    }
    // Where the kernel offers no Landlock (made to say so here), no font can be opened, and
    // the text is left out rather than drawn as a box for each letter.
    stopDecodingProcess();
    const pid_t child = fork();
    if (child == 0) {
        scmp_filter_ctx noLandlock = seccomp_init(SCMP_ACT_ALLOW);
        if (!noLandlock ||
            seccomp_rule_add(noLandlock, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(landlock_create_ruleset),
                             0) != 0 ||
            seccomp_load(noLandlock) != 0)
            _exit(2);
        const long differing = pixelsOfText();
        stopDecodingProcess();
        _exit(differing == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(SandboxTest, AWholeResultEndsItsWorkerAndItsWarningsArriveMadePrintable) {
    settings.decoderTime = 20;  // a wait for the helper's bound would take 35 s
    stopDecoderHelper();
    // Taken in pieces, and taken from a worker that stays: the next decode does not wait.
    for (const char *name : {"picture-in-pieces", "sends-and-stays", "sends-and-stays"}) {
        SCOPED_TRACE(name);
        const auto started = std::chrono::steady_clock::now();
        const std::string path = dir + "/" + name;
        writeFile(path, std::string("fake:") + name + "\n");
        testing::internal::CaptureStdout();
        SDL_Surface *shown = loadImage(path.c_str());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "INFO: loaded " + path + ": 4x3 32bpp\n");
        ASSERT_NE(shown, nullptr);
        EXPECT_EQ(pixelAt(shown, 3, 2), kRed);
        SDL_FreeSurface(shown);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    }
    // A header the viewer will not take ends its worker at once, not at the bound of 35 s.
    writeFile(dir + "/refused", "fake:refused-header-then-more\n");
    const auto refusedAt = std::chrono::steady_clock::now();
    EXPECT_EQ(failedLoad(dir + "/refused"),
              "Error: loadImage: decoder sent a result the viewer cannot take\n");
    EXPECT_LT(std::chrono::steady_clock::now() - refusedAt, std::chrono::seconds(10));
    // A flood of warnings is drained, and only its first lines reach the viewer's own.
    writeFile(dir + "/flood", "fake:floods-standard-error\n");
    testing::internal::CaptureStderr();
    const std::string line = failedLoad(dir + "/flood");
    const std::string warnings = testing::internal::GetCapturedStderr();
    EXPECT_EQ(line, "Error: loadImage: flooded\n");
    EXPECT_EQ(warnings.substr(0, 22), "decoder: warning ?[2J\n");
    EXPECT_LE(warnings.size(), size_t(64 << 10));
    EXPECT_GE(warnings.size(), size_t(60 << 10));
    // A last line without its end is passed on whole, marked as the decoder's like every line.
    writeFile(dir + "/unended", "fake:warns-without-a-line-end\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(failedLoad(dir + "/unended"), "Error: loadImage: refused\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "decoder: INFO: forged\n");
}

TEST_F(SandboxTest, AHelperKilledDuringADecodeIsReportedAsSuchAndStartedAgain) {
    writeFile(dir + "/sleeps", "fake:sleeps\n");
    // Started before the thread: a fork while another thread holds an allocator's lock (as
    // the sanitizer's) leaves the child waiting on it for ever.
    startDecoderHelper();
    std::thread killer([] {
        // Bounded by the sleeper's own wall-clock bound, should the helper never be found.
        for (int look = 0; look < 500; look++) {
            usleep(10000);
            const pid_t helper = childNamed(getpid(), "decoder-helper");
            if (helper > 0 && childNamed(helper, "decoder-worker") > 0) {
                usleep(100000);  // the request has reached the worker by now
                kill(helper, SIGKILL);
                return;
            }
        }
    });
    const std::string line = failedLoad(dir + "/sleeps");
    killer.join();
    EXPECT_EQ(line, "Error: loadImage: decoding process ended during the decode\n");
    expectAnImageStillLoads();
}

TEST_F(SandboxTest, ExtensionsUpToFifteenCharactersReachTheWorker) {
    for (const std::string extension :
         {"abcdefghijklmno", "abcdefghijklmnop", "abcdefghijklmnopq"}) {
        const std::string path = dir + "/file." + extension;
        writeFile(path, "extension:\n");
        EXPECT_EQ(failedLoad(path), "Error: loadImage: extension=" +
                                        (extension.size() <= 15 ? extension : "") + "\n");
    }
}

// The value after `field` in a /proc file of lines "field value ...", with its later words.
static std::string procField(const std::string &text, const std::string &field) {
    for (const std::string &line : splitLines(text)) {
        if (line.rfind(field, 0) != 0) continue;
        std::istringstream words(line.substr(field.size()));
        std::string soft, hard;
        words >> soft >> hard;
        return hard.empty() || hard == "kB" ? soft : soft + " " + hard;
    }
    return "missing";
}

TEST_F(SandboxTest, AReadyWorkerIsLimitedAndLockedDownAsTheSettingsSay) {
    ASSERT_EQ(prctl(PR_GET_SECCOMP), 0) << "this kernel takes no seccomp filter";
    const std::string halfTheMemory =
        std::to_string(uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGESIZE)) / 2);
    struct Case {
        const char *settingsFile;  // null for none
        std::string data, cpu;
    };
    const Case cases[] = {{nullptr, halfTheMemory, "60 61"},
                          {"decodermemory 64\ndecodertime 7\n", "67108864", "7 8"}};
    for (const Case &limits : cases) {
        SCOPED_TRACE(limits.settingsFile ? limits.settingsFile : "no settings file");
        setenv("HOME", dir.c_str(), 1);
        unlink((dir + "/.lumoscaperc").c_str());
        if (limits.settingsFile) writeFile(dir + "/.lumoscaperc", limits.settingsFile);
        settings = defaultSettings;
        readSettings();
        stopDecoderHelper();
        startDecoderHelper();
        // The worker readies itself while the test looks; it is locked down once filtered.
        pid_t worker = -1;
        std::string status;
        for (int look = 0; look < 1000 && status.find("Seccomp:\t2") == std::string::npos; look++) {
            usleep(10000);
            const pid_t helper = childNamed(getpid(), "decoder-helper");
            worker = childNamed(helper, "decoder-worker");
            if (helper > 0 && worker > 0)
                status = readWhole("/proc/" + std::to_string(worker) + "/status");
        }
        ASSERT_NE(status.find("Seccomp:\t2"), std::string::npos) << status;
        const std::string process = "/proc/" + std::to_string(worker);
        const std::string table = readWhole(process + "/limits");
#if defined(__SANITIZE_ADDRESS__)
        EXPECT_EQ(procField(table, "Max data size"), "unlimited unlimited");
#else
        EXPECT_EQ(procField(table, "Max data size"), limits.data + " " + limits.data);
#endif
        EXPECT_EQ(procField(table, "Max cpu time"), limits.cpu);
        EXPECT_EQ(procField(table, "Max file size"), "0 0");
        EXPECT_EQ(procField(table, "Max core file size"), "0 0");
        EXPECT_EQ(procField(status, "NoNewPrivs:"), "1");
        const std::string environment = readWhole(process + "/environ");
        EXPECT_EQ(environment.find_first_not_of('\0'), std::string::npos) << environment;
        for (const char *capabilities : {"CapInh:", "CapPrm:", "CapEff:", "CapAmb:"})
            EXPECT_EQ(procField(status, capabilities), "0000000000000000") << capabilities;
        // Only a privileged process can empty its bounding set.
        if (geteuid() == 0) {
            EXPECT_EQ(procField(status, "CapBnd:"), "0000000000000000");
        }
        // Standard input and output go nowhere; standard error is the viewer's pipe.
        std::vector<std::string> descriptors;
        DIR *open = opendir((process + "/fd").c_str());
        while (const dirent *entry = open ? readdir(open) : nullptr) {
            if (entry->d_name[0] == '.') continue;
            char target[256] = {};
            (void)!readlink((process + "/fd/" + entry->d_name).c_str(), target, sizeof target - 1);
            descriptors.push_back(std::string(entry->d_name) + " " +
                                  std::string(target).substr(0, 5));
        }
        if (open) closedir(open);
        std::sort(descriptors.begin(), descriptors.end());
        EXPECT_EQ(descriptors,
                  (std::vector<std::string>{"0 /dev/", "1 /dev/", "2 pipe:", "3 socke"}));
    }
}

TEST(KeepOnlyDescriptors, ClosesEveryOtherDescriptorWithOrWithoutCloseRangeAndProc) {
    // As on a kernel with close_range, one before it, and one before it with no /proc mounted;
    // one descriptor numbered past the soft limit, as one opened before it was lowered.
    for (const int lacking : {0, 1, 2}) {
        SCOPED_TRACE(lacking);
        EXPECT_EXIT(
            {
                for (int i = 0; i < 4; i++) open("/dev/null", O_RDONLY);  // 3 to 6
                dup2(3, 900);
                if (dup2(3, 1500) != 1500) _exit(2);
                rlimit descriptors{};
                getrlimit(RLIMIT_NOFILE, &descriptors);
                descriptors.rlim_cur = 1024;
                setrlimit(RLIMIT_NOFILE, &descriptors);
                scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
                if (lacking >= 1)
                    seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(close_range), 0);
                if (lacking >= 2) {
                    seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOENT), SCMP_SYS(openat), 0);
                    seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOENT), SCMP_SYS(open), 0);
                }
                if (seccomp_load(filter) != 0) _exit(3);
                if ((opendir("/proc/self/fd") != nullptr) != (lacking < 2)) _exit(4);
                if (!keepOnlyDescriptors(5, 5)) _exit(5);
                for (const int closed : {3, 4, 6, 900, 1500}) {
                    if (fcntl(closed, F_GETFD) != -1) _exit(6);
                }
                _exit(fcntl(5, F_GETFD) == -1 ? 7 : 0);
            },
            testing::ExitedWithCode(0), "");
    }
}

TEST_F(SandboxTest, QuitRequestDuringADecodeEndsTheViewerAtOnce) {
    const std::string hanging = kEndlessDecode;
    settings.decoderTime = 20;
    stopDecoderHelper();  // started again with this limit
    struct Case {
        const char *what;
        Uint8 type;
        SDLKey key;
    };
    const Case requests[] = {
        {"quit event", SDL_QUIT, SDLK_UNKNOWN},
        {"Escape", SDL_KEYDOWN, SDLK_ESCAPE},
        {"q", SDL_KEYDOWN, SDLK_q},
    };
    for (const Case &request : requests) {
        SCOPED_TRACE(request.what);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EXIT(
            {
                if (request.type == SDL_QUIT) {
                    pushEventType(SDL_QUIT);
                } else {
                    pushKey(SDLK_SPACE);  // waits its turn, and is never reached
                    pushKey(request.key);
                }
                loadImage(hanging.c_str());
            },
            testing::ExitedWithCode(0), "");
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    }
    // A quit that comes while the decode runs, on a display with no connection to sleep on,
    // as on a console's frame buffer.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EXIT(
        {
            std::thread quitter([] {
                usleep(300000);
                pushEventType(SDL_QUIT);
            });
            quitter.detach();
            loadImage(hanging.c_str());
        },
        testing::ExitedWithCode(0), "");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
    // Every other event waits its turn, in order.
    const std::string card = saveImage(makeTestCard(40, 30), dir + "/card.bmp");
    pushKey(SDLK_SPACE);
    pushKey(SDLK_LEFT);
    testing::internal::CaptureStdout();
    SDL_FreeSurface(loadImage(card.c_str()));
    testing::internal::GetCapturedStdout();
    SDL_Event queued[4];
    ASSERT_EQ(SDL_PeepEvents(queued, 4, SDL_GETEVENT, SDL_ALLEVENTS), 2);
    EXPECT_EQ(queued[0].key.keysym.sym, SDLK_SPACE);
    EXPECT_EQ(queued[1].key.keysym.sym, SDLK_LEFT);
}

// Under an emulator, which refuses the filter: every call the workers make past their filter
// point, traced by the emulator on a file of every kind at both antialias settings, must be
// one the filter as this target compiles it lets through. Each file is the viewer's only one,
// decoded by one worker, while the next worker readies itself. Natively every test loads the filter
// itself, so a call it stops fails there already.
TEST(FilterTraceTest, EveryCallAnEmulatedWorkerMakesIsOneItsFilterAllows) {
    if (!viewerEmulated()) GTEST_SKIP() << "natively the filter itself is loaded by every test";
    const std::string dir = makeTempDir();
    std::vector<std::string> files;
    for (const SampleKind &kind : sampleKinds) {
        files.push_back(dir + "/large." + kind.name);
        ASSERT_TRUE(writeSample(kind.name, files.back(), 400, 300)) << kind.name;
        // libwebp sets up other paths for pictures that need no scaling.
        if (kind.name.find("webp") == std::string::npos) continue;
        files.push_back(dir + "/small." + kind.name);
        ASSERT_TRUE(writeSample(kind.name, files.back(), 100, 80)) << kind.name;
    }
    // One trace a file and setting, so that a call the filter would stop names its file.
    std::vector<std::string> traces;
    for (const char *antialias : {"0", "1"}) {
        writeFile(dir + "/.lumoscaperc", std::string("antialias ") + antialias + "\n");
        for (const std::string &file : files) {
            traces.push_back(file + ".antialias-" + antialias + ".trace");
            Child viewer = startViewerChild(
                {file}, {"HOME=" + dir, "SDL_VIDEODRIVER=dummy", "QEMU_STRACE=1"}, false, [&] {
                    dup2(open(traces.back().c_str(), O_WRONLY | O_CREAT, 0600), STDERR_FILENO);
                });
            EXPECT_TRUE(readUntil(
                viewer, [&](const std::string &out) { return countLines(out) >= 1; }, 120))
                << viewer.output;
            kill(viewer.pid, SIGTERM);
            EXPECT_EQ(waitForExit(viewer, 120), 0);
            EXPECT_EQ(viewer.output.find("Error"), std::string::npos) << viewer.output;
        }
    }
    std::vector<std::string> check = viewerCommand();
    check.back() =
        viewerBinary().substr(0, viewerBinary().rfind('/') + 1) + "lumoscape_filter_check";
    const std::string program = check.front();
    check.erase(check.begin());
    check.insert(check.end(), traces.begin(), traces.end());
    const ProcessResult checked = runProgram(program, check, {}, 300);
    EXPECT_EQ(checked.exitStatus, 0) << checked.output;
    std::cout << checked.output;
    EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}
