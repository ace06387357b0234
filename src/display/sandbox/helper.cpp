// The decoder helper: a small child of the viewer, forked before SDL starts, that keeps one
// fresh, locked-down worker ready for the next decode and reports how each one ended.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sandbox.h"

namespace {

struct Helper {
    pid_t pid;
    int control;          // the viewer's end of the control socket
    DecodeLimits limits;  // those it gives each worker
};
Helper helper = {-1, -1, {0, 0}};

// A decoder that takes longer than this on a small board is stuck: see the manual page.
constexpr int32_t kDefaultCpuSeconds = 60;

void reap(pid_t pid, int *status) {
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
}

// Forks the next worker, which limits and locks itself down at once and waits for its one
// request; the parent's end of its channel, or -1.
int spawnWorker(int control, const DecodeLimits &limits, pid_t *worker) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return -1;
    const pid_t self = getpid();
    *worker = fork();
    if (*worker == 0) {
        // Never outlive the helper, and through it the viewer.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != self) _exit(0);
        close(control);
        close(ends[0]);
        if (ends[1] != kWorkerChannel) {
            dup2(ends[1], kWorkerChannel);
            close(ends[1]);
        }
        runWorker(limits);
    }
    close(ends[1]);
    if (*worker < 0) {
        close(ends[0]);
        return -1;
    }
    return ends[0];
}

bool report(int control, const DecodeReport &message, int channel = -1) {
    const int descriptors[2] = {channel, -1};
    return sendWithDescriptors(control, &message, sizeof message, descriptors,
                               channel >= 0 ? 1 : 0);
}

// Standard input and output go nowhere and standard error stays, for the libraries' warnings;
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
    keepOnlyDescriptors(kHelperControl, kHelperControl);
    return kHelperControl;
}

[[noreturn]] void runHelper(int control, pid_t viewer, const DecodeLimits &limits) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != viewer) _exit(0);
    prctl(PR_SET_NAME, "decoder-helper");
    // The quit signals are the viewer's to act on: a Ctrl-C reaches the whole process group.
    for (const int ignored : {SIGINT, SIGTERM, SIGQUIT, SIGPIPE}) signal(ignored, SIG_IGN);
    signal(SIGCHLD, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    control = takeDescriptors(control);
    prepareWorkerFilter();

    // One worker at a time: handed to the viewer, reaped, reported; then the next, readied
    // while the viewer shows the image.
    for (;;) {
        pid_t worker = -1;
        const int channel = spawnWorker(control, limits, &worker);
        if (channel < 0) {
            if (!report(control, {kReportEnded, W_EXITCODE(kWorkerNotStarted, 0)})) break;
            sleep(1);  // forking failed: give the system a moment
            continue;
        }
        const bool handed = report(control, {kReportReady, 0}, channel);
        close(channel);
        int status = 0;
        if (!handed) kill(worker, SIGKILL);
        reap(worker, &status);
        if (!handed || !report(control, {kReportEnded, status})) break;
    }
    _exit(0);
}

}  // namespace

bool sendWithDescriptors(int socket, const void *bytes, size_t size, const int descriptors[2],
                         int count) {
    alignas(cmsghdr) char space[CMSG_SPACE(2 * sizeof(int))] = {};
    iovec part{const_cast<void *>(bytes), size};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (count > 0) {
        message.msg_control = space;
        message.msg_controllen = CMSG_SPACE(size_t(count) * sizeof(int));
        cmsghdr *attached = CMSG_FIRSTHDR(&message);
        attached->cmsg_level = SOL_SOCKET;
        attached->cmsg_type = SCM_RIGHTS;
        attached->cmsg_len = CMSG_LEN(size_t(count) * sizeof(int));
        memcpy(CMSG_DATA(attached), descriptors, size_t(count) * sizeof(int));
    }
    ssize_t sent;
    do {
        sent = sendmsg(socket, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == ssize_t(size);
}

int receiveWithDescriptors(int socket, void *bytes, size_t size, int descriptors[2]) {
    alignas(cmsghdr) char space[CMSG_SPACE(2 * sizeof(int))];
    iovec part{bytes, size};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = space;
    message.msg_controllen = sizeof space;
    ssize_t got;
    do {
        got = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    descriptors[0] = descriptors[1] = -1;
    const cmsghdr *attached = got > 0 ? CMSG_FIRSTHDR(&message) : nullptr;
    if (attached && attached->cmsg_level == SOL_SOCKET && attached->cmsg_type == SCM_RIGHTS &&
        attached->cmsg_len <= CMSG_LEN(2 * sizeof(int)))
        memcpy(descriptors, CMSG_DATA(attached), attached->cmsg_len - CMSG_LEN(0));
    // A message cut short, or with descriptors past those asked for, is none.
    if (got != ssize_t(size) || (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC))) {
        for (int i = 0; i < 2; i++) {
            if (descriptors[i] >= 0) close(descriptors[i]);
            descriptors[i] = -1;
        }
        return got == 0 ? 0 : -1;
    }
    return 1;
}

void startDecoderHelper() {
    if (helper.pid > 0) return;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return;
    const DecodeLimits limits = decoderLimits();
    // Lines not yet written would be written twice.
    fflush(stdout);
    const pid_t viewer = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        close(ends[0]);
        runHelper(ends[1], viewer, limits);
    }
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        return;
    }
    helper = Helper{pid, ends[0], limits};
}

void stopDecoderHelper() {
    if (helper.pid <= 0) return;
    // Its worker follows it at once (PR_SET_PDEATHSIG).
    kill(helper.pid, SIGKILL);
    reap(helper.pid, nullptr);
    close(helper.control);
    helper = Helper{-1, -1, {0, 0}};
    forgetReadyWorker();
}

pid_t decoderHelper() { return helper.pid; }

int decoderControl() { return helper.control; }

DecodeLimits decoderLimits() {
    if (helper.pid > 0) return helper.limits;
    // By default half the machine's memory, and kDefaultCpuSeconds.
    DecodeLimits limits{uint64_t(settings.decoderMemory) << 20, settings.decoderTime};
    if (settings.decoderMemory <= 0)
        limits.memoryBytes =
            uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGESIZE)) / 2;
    if (settings.decoderTime <= 0) limits.cpuSeconds = kDefaultCpuSeconds;
    return limits;
}
