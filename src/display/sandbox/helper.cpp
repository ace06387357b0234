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

struct Process {
    pid_t pid;
    int socket;  // the parent's end of the socket to it
};
Process helper = {-1, -1};

// A decoder that takes longer than this on a small board is stuck: see the manual page.
constexpr int32_t kDefaultCpuSeconds = 60;

void reap(pid_t pid, int *status) {
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
}

// Forks the next worker; it locks itself down at once and waits for its one request.
Process spawnWorker(int control) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return {-1, -1};
    const pid_t self = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // Never outlive the helper, and through it the viewer.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != self) _exit(0);
        close(control);
        close(ends[0]);
        if (ends[1] != kWorkerChannel) {
            dup2(ends[1], kWorkerChannel);
            close(ends[1]);
        }
        runWorker();
    }
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        return {-1, -1};
    }
    return {pid, ends[0]};
}

// Hands the request to the waiting worker and returns its wait status.
int decodeInReadyWorker(Process *worker, int control, const DecodeRequest &request,
                        const int descriptors[2]) {
    for (int attempt = 0; attempt < 2; attempt++) {
        if (worker->pid <= 0) *worker = spawnWorker(control);
        if (worker->pid <= 0) break;
        limitWorker(worker->pid, request.limits);
        const bool handed = sendWithTwo(worker->socket, &request, sizeof request, descriptors);
        close(worker->socket);
        int status = 0;
        if (!handed) kill(worker->pid, SIGKILL);
        reap(worker->pid, &status);
        worker->pid = -1;
        // A worker that had ended while it waited is replaced, once.
        if (handed) return status;
    }
    return W_EXITCODE(kWorkerNotStarted, 0);
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

[[noreturn]] void runHelper(int control, pid_t viewer) {
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
    warmUpReaders();
    prepareWorkerFilter();

    Process worker = spawnWorker(control);
    DecodeRequest request{};
    int descriptors[2];
    while (receiveRequest(control, &request, descriptors)) {
        DecodeEnded ended{W_EXITCODE(kWorkerNotStarted, 0)};
        if (descriptors[0] >= 0 && descriptors[1] >= 0)
            ended.waitStatus = decodeInReadyWorker(&worker, control, request, descriptors);
        for (const int descriptor : {descriptors[0], descriptors[1]}) {
            if (descriptor >= 0) close(descriptor);
        }
        if (send(control, &ended, sizeof ended, MSG_NOSIGNAL) != sizeof ended) break;
        // The next worker gets ready while the viewer shows this image.
        worker = spawnWorker(control);
    }
    _exit(0);
}

}  // namespace

bool sendWithTwo(int socket, const void *bytes, size_t size, const int descriptors[2]) {
    alignas(cmsghdr) char space[CMSG_SPACE(2 * sizeof(int))] = {};
    iovec part{const_cast<void *>(bytes), size};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = space;
    message.msg_controllen = sizeof space;
    cmsghdr *attached = CMSG_FIRSTHDR(&message);
    attached->cmsg_level = SOL_SOCKET;
    attached->cmsg_type = SCM_RIGHTS;
    attached->cmsg_len = CMSG_LEN(2 * sizeof(int));
    memcpy(CMSG_DATA(attached), descriptors, 2 * sizeof(int));
    return sendmsg(socket, &message, MSG_NOSIGNAL) == ssize_t(size);
}

bool receiveRequest(int socket, DecodeRequest *request, int descriptors[2]) {
    alignas(cmsghdr) char space[CMSG_SPACE(2 * sizeof(int))];
    iovec part{request, sizeof *request};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = space;
    message.msg_controllen = sizeof space;
    ssize_t got;
    do {
        got = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return false;
    descriptors[0] = descriptors[1] = -1;
    const cmsghdr *attached = CMSG_FIRSTHDR(&message);
    if (attached && attached->cmsg_level == SOL_SOCKET && attached->cmsg_type == SCM_RIGHTS &&
        attached->cmsg_len == CMSG_LEN(2 * sizeof(int)))
        memcpy(descriptors, CMSG_DATA(attached), 2 * sizeof(int));
    request->extension[sizeof request->extension - 1] = '\0';
    return got == sizeof *request;
}

void startDecoderHelper() {
    if (helper.pid > 0) return;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return;
    // Lines not yet written would be written twice.
    fflush(stdout);
    const pid_t viewer = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        close(ends[0]);
        runHelper(ends[1], viewer);
    }
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        return;
    }
    helper = Process{pid, ends[0]};
}

void stopDecoderHelper() {
    if (helper.pid <= 0) return;
    // Its worker follows it at once (PR_SET_PDEATHSIG).
    kill(helper.pid, SIGKILL);
    reap(helper.pid, nullptr);
    close(helper.socket);
    helper = Process{-1, -1};
}

pid_t decoderHelper() { return helper.pid; }

int decoderControl() { return helper.socket; }

DecodeLimits decoderLimits() {
    // By default half the machine's memory, and kDefaultCpuSeconds.
    DecodeLimits limits{uint64_t(settings.decoderMemory) << 20, settings.decoderTime};
    if (settings.decoderMemory <= 0)
        limits.memoryBytes =
            uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGESIZE)) / 2;
    if (settings.decoderTime <= 0) limits.cpuSeconds = kDefaultCpuSeconds;
    return limits;
}
