// The decoder helper: a small child of the viewer, forked before SDL starts, that keeps one
// fresh, locked-down worker ready for the next decode and reports how each one ended.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "sandbox.h"

namespace {

struct Helper {
    pid_t pid;
    int control;  // the viewer's end of the control socket
};
Helper helper = {-1, -1};
// The limits of the last start, which the reasons of a worker's end name.
DecodeLimits lastLimits = {0, 0};
// What the helper clears of the viewer's memory as it starts, when the viewer names it.
void (*forgetViewersMemory)() = nullptr;

void reap(pid_t pid, int *status) {
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
}

// A worker as the helper sees it: its process, the helper's ends of its channel and of its
// standard error, and its number in the reports.
struct Worker {
    pid_t pid = -1;
    int channel = -1;
    int errors = -1;
    uint32_t number = 0;
};

// Forks the next worker, which limits and locks itself down at once and waits for its one
// request; false when it could not be started.
bool spawnWorker(int control, const DecoderModule &decoder, const DecodeLimits &limits,
                 Worker *worker) {
    int ends[2];
    int errors[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return false;
    if (pipe2(errors, O_CLOEXEC) != 0) {
        close(ends[0]);
        close(ends[1]);
        return false;
    }
    const pid_t self = getpid();
    worker->pid = fork();
    if (worker->pid == 0) {
        // Never outlive the helper, and through it the viewer.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != self) _exit(0);
        close(control);
        close(ends[0]);
        close(errors[0]);
        // What the libraries warn of goes to the viewer, which makes it printable.
        dup2(errors[1], STDERR_FILENO);
        if (ends[1] != kWorkerChannel) dup2(ends[1], kWorkerChannel);
        decoder.runWorker(limits);
        _exit(kWorkerNotStarted);
    }
    close(ends[1]);
    close(errors[1]);
    if (worker->pid < 0) {
        close(ends[0]);
        close(errors[0]);
        return false;
    }
    worker->channel = ends[0];
    worker->errors = errors[0];
    return true;
}

bool report(int control, const DecodeReport &message, const int descriptors[2] = nullptr) {
    return sendWithDescriptors(control, &message, sizeof message, descriptors, descriptors ? 2 : 0);
}

// Standard input and output go nowhere and standard error stays, for the helper's own word;
// nothing else of the viewer's is kept, and the control socket becomes descriptor 3.
int takeDescriptors(int control) {
    for (int standard = STDIN_FILENO; standard <= STDERR_FILENO; standard++) {
        if (standard != STDERR_FILENO || fcntl(standard, F_GETFD) < 0) {
            const int nothing = open("/dev/null", O_RDWR);
            if (nothing >= 0 && nothing != standard) {
                dup2(nothing, standard);
                close(nothing);
            }
        }
    }
    if (control != kHelperControl) {
        dup2(control, kHelperControl);
        close(control);
    }
    if (!keepOnlyDescriptors(kHelperControl, kHelperControl)) _exit(0);
    return kHelperControl;
}

// SIGCHLD only wakes the helper's wait; the wait itself reaps.
void wake(int) {}

timespec now() {
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return time;
}

// Seconds from `from` to `to`, negative when `to` is earlier.
double secondsBetween(const timespec &from, const timespec &to) {
    return double(to.tv_sec - from.tv_sec) + double(to.tv_nsec - from.tv_nsec) / 1e9;
}

// A worker the viewer wants nothing more of is ended at once; under valgrind it is given the
// time to write its report, which the memory-checking test run reads.
double endingGrace() { return underValgrind() ? 60 : 0; }

// Waits for the worker to end while serving the viewer's requests about it, and ends it when
// the viewer asks or its decode outlasts its bound; its wait status. `overdue` tells whether
// the helper ended it for time; false when the viewer has gone.
bool superviseWorker(int control, const Worker &worker, const DecodeLimits &limits,
                     const sigset_t &waking, int *status, bool *overdue) {
    *overdue = false;
    const double bound = decodeWallSeconds(limits.cpuSeconds);
    // Seconds from `since` at which the worker is ended, for time or on request; <0 for never.
    timespec since = now();
    double boundAt = -1;
    double endAt = -1;
    for (;;) {
        const pid_t ended = waitpid(worker.pid, status, WNOHANG);
        if (ended == worker.pid) return true;
        const double elapsed = secondsBetween(since, now());
        if (boundAt >= 0 && elapsed >= boundAt) {
            kill(worker.pid, SIGKILL);
            *overdue = true;
            boundAt = -1;
        }
        if (endAt >= 0 && elapsed >= endAt) {
            kill(worker.pid, SIGKILL);
            endAt = -1;
        }
        double next = -1;
        for (const double at : {boundAt, endAt}) {
            if (at >= 0 && (next < 0 || at < next)) next = at;
        }
        timespec left{};
        if (next >= 0) {
            const double remaining = std::max(0.0, next - elapsed);
            left.tv_sec = time_t(remaining);
            left.tv_nsec = long((remaining - double(left.tv_sec)) * 1e9);
        }
        pollfd waiting{control, POLLIN, 0};
        const int ready = ppoll(&waiting, 1, next >= 0 ? &left : nullptr, &waking);
        if (ready > 0 && (waiting.revents & POLLIN)) {
            DecodeReport request{};
            int descriptors[2];
            const int got = receiveWithDescriptors(control, &request, sizeof request, descriptors);
            for (const int stray : descriptors) {
                if (stray >= 0) close(stray);
            }
            if (got == 0) return false;
            // A request for a worker that has already ended is for no one now.
            if (got != 1 || request.worker != worker.number) continue;
            const double at = secondsBetween(since, now());
            if (request.kind == kRequestStarted && boundAt < 0 && bound > 0) boundAt = at + bound;
            if (request.kind == kRequestEnd && endAt < 0) endAt = at + endingGrace();
        } else if (ready > 0) {
            return false;  // the viewer has gone
        }
    }
}

// Overwrites the command line and the environment where the kernel placed them, which also
// holds the strings setenv has since replaced: from the start of the one to the end of the
// other, as /proc/self/stat gives them (fields 48 to 51). Under valgrind those are valgrind's
// own, and under an emulator they may be the emulator's.
void overwriteStartArea() {
    // cppcheck-suppress knownConditionTrueFalse
    if (underValgrind()) return;
    FILE *stat = fopen("/proc/self/stat", "re");
    if (!stat) return;
    char line[4096] = {};
    const bool read = fgets(line, sizeof line, stat) != nullptr;
    fclose(stat);
    const char *after = read ? strrchr(line, ')') : nullptr;
    if (!after) return;
    unsigned long long start = 0, end = 0;
    // Field 3, the state, is the first after the name.
    int field = 2;
    for (const char *at = after + 1; *at && field < 51; at++) {
        if (*at != ' ') continue;
        field++;
        if (field == 48) start = strtoull(at + 1, nullptr, 10);
        if (field == 51) end = strtoull(at + 1, nullptr, 10);
    }
    // An emulator may name its own: the area is this program's only if its name lies there.
    const auto name = uintptr_t(program_invocation_name);
    if (start && end > start && name >= start && name < end)
        memset(reinterpret_cast<void *>(uintptr_t(start)), 0, end - start);
}

[[noreturn]] void runHelper(int control, pid_t viewer, const DecodeLimits &limits) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != viewer) _exit(0);
    prctl(PR_SET_NAME, "decoder-helper");
    // The quit signals are the viewer's to act on: a Ctrl-C reaches the whole process group.
    for (const int ignored : {SIGINT, SIGTERM, SIGQUIT, SIGPIPE}) signal(ignored, SIG_IGN);
    // SIGCHLD is let in only while the helper waits, so that a worker's end always wakes it.
    struct sigaction onChild {};
    onChild.sa_handler = wake;
    sigaction(SIGCHLD, &onChild, nullptr);
    sigset_t waking;
    sigemptyset(&waking);
    sigset_t blocked = waking;
    sigaddset(&blocked, SIGCHLD);
    sigprocmask(SIG_SETMASK, &blocked, nullptr);
    control = takeDescriptors(control);
    std::string reason;
    const DecoderModule *decoder = openDecoder(&reason);
    if (!decoder) {
        DecodeReport broken{kReportBroken, 0, 0, {}};
        snprintf(broken.reason, sizeof broken.reason, "%s", reason.c_str());
        report(control, broken);
        _exit(0);
    }
    decoder->prepareHelper();

    // One worker at a time: handed to the viewer, supervised, reaped, reported; then the
    // next, readied while the viewer shows the image.
    uint32_t count = 0;
    for (;;) {
        Worker worker;
        worker.number = ++count;
        if (!spawnWorker(control, *decoder, limits, &worker)) {
            if (!report(control, {kReportEnded, W_EXITCODE(kWorkerNotStarted, 0), worker.number}))
                break;
            sleep(1);  // forking failed: give the system a moment
            continue;
        }
        const int descriptors[2] = {worker.channel, worker.errors};
        const bool handed = report(control, {kReportReady, 0, worker.number}, descriptors);
        close(worker.channel);
        close(worker.errors);
        int status = 0;
        bool overdue = false;
        if (!handed || !superviseWorker(control, worker, limits, waking, &status, &overdue)) {
            kill(worker.pid, SIGKILL);
            reap(worker.pid, &status);
            break;
        }
        if (!report(control, {overdue ? kReportOverdue : kReportEnded, status, worker.number}))
            break;
        // A worker that ended for want of a module: the next one has it.
        if (WIFEXITED(status) && WEXITSTATUS(status) >= kWorkerNeedsModule &&
            WEXITSTATUS(status) < kWorkerNeedsModule + kFormatModuleCount)
            decoder->loadFormat(WEXITSTATUS(status) - kWorkerNeedsModule);
    }
    _exit(0);
}

}  // namespace

void startDecodingProcess(const DecodeLimits &limits) {
    if (helper.pid > 0) return;
    lastLimits = limits;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return;
    // Lines not yet written would be written twice.
    fflush(stdout);
    const pid_t viewer = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        close(ends[0]);
        if (forgetViewersMemory) forgetViewersMemory();
        overwriteStartArea();
        runHelper(ends[1], viewer, limits);
    }
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        return;
    }
    helper = Helper{pid, ends[0]};
}

void forgetInDecodingProcess(void (*forget)()) { forgetViewersMemory = forget; }

void stopDecodingProcess() {
    if (helper.pid <= 0) return;
    // Its worker follows it at once (PR_SET_PDEATHSIG).
    kill(helper.pid, SIGKILL);
    reap(helper.pid, nullptr);
    close(helper.control);
    helper = Helper{-1, -1};
    forgetReadyWorker();
}

int32_t decodeWallSeconds(int32_t cpuSeconds) {
    if (cpuSeconds <= 0) return 0;
    // A limit of decades still has a bound, not one that wrapped round.
    return int32_t(std::min<int64_t>(int64_t(cpuSeconds) * 3 / 2 + 5, INT32_MAX));
}

int decoderControl() { return helper.control; }

DecodeLimits decoderLimits() { return lastLimits; }
