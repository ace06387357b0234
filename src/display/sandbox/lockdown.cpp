// Locking a worker down before it reads a byte of the file: its descriptors, its limits, the
// folders it may read (fonts, where Landlock keeps it to them) and a seccomp filter of what
// decoding and handing back the result need, compiled once in the helper and loaded by each
// worker.
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/futex.h>
#include <linux/landlock.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sandbox.h"

namespace {

// Soft and hard: the worker cannot raise it again.
void limit(int resource, rlim_t soft, rlim_t hard) {
    const rlimit bounds{soft, hard};
    setrlimit(__rlimit_resource(resource), &bounds);
}

// The filter, as compiled in the helper, and whether the kernel takes filters at all.
std::vector<sock_filter> workerFilter;
bool filtersTaken = false;

// The folders workers may read beneath, and whether the kernel can keep them to those: only
// then does the filter let a worker open a file, for reading.
std::vector<std::string> readableFolders;
bool foldersKept = false;
// Whether this process is a worker, locked down.
bool lockedDown = false;

// Landlock's calls, which the C library does not wrap.
long landlockCall(long call, long first, long second, long third) {
    return syscall(call, first, second, third);
}

// The highest version of Landlock the kernel offers; 0 for none.
int landlockVersion() {
    const long version =
        landlockCall(__NR_landlock_create_ruleset, 0, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return version > 0 ? int(version) : 0;
}

// Every right over files that Landlock's first version knows is withheld, but reading beneath
// the folders. False when the kernel refuses.
bool keepToFolders() {
    landlock_ruleset_attr handled{};
    handled.handled_access_fs = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;
    const long ruleset =
        landlockCall(__NR_landlock_create_ruleset, long(reinterpret_cast<uintptr_t>(&handled)),
                     long(sizeof handled), 0);
    if (ruleset < 0) return false;
    for (const std::string &folder : readableFolders) {
        const int beneath = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (beneath < 0) continue;  // gone since the helper read it
        landlock_path_beneath_attr rule{};
        rule.allowed_access = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
        rule.parent_fd = beneath;
        landlockCall(__NR_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH,
                     long(reinterpret_cast<uintptr_t>(&rule)));
        close(beneath);
    }
    const bool kept = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
                      landlockCall(__NR_landlock_restrict_self, ruleset, 0, 0) == 0;
    close(int(ruleset));
    return kept;
}

// Calls any reader may make, by name: a name the architecture does not have is passed over.
// Everything else ends the worker.
const char *const kAllowed[] = {
    // reading the file, which is open already; the stream a reader makes over it
    "read", "readv", "pread64", "preadv", "lseek", "_llseek", "close", "dup", "fstat", "fstat64",
    // memory
    "brk", "munmap", "mremap", "madvise",
    // ending, and what the C library's abort and locks use
    "exit", "exit_group", "rt_sigreturn", "sigreturn", "rt_sigprocmask", "sigprocmask",
    "rt_sigaction", "sigaction", "sigaltstack", "getpid", "gettid", "restart_syscall",
    "sched_yield",
    // facts some libraries look up
    "clock_gettime", "clock_gettime64", "gettimeofday", "sysinfo", "getrlimit", "ugetrlimit",
    // what a new thread of the C library sets up for itself
    "set_robust_list", "rseq",
    // the keys of librsvg's hash tables
    "getrandom"};

// The futex operations of the C library's locks, condition variables and thread joins, with
// or without their private and clock flags; never the priority-inheritance ones, whose kernel
// side has a long record of holes.
const int kFutexOperations[] = {FUTEX_WAIT,        FUTEX_WAKE,    FUTEX_REQUEUE,
                                FUTEX_CMP_REQUEUE, FUTEX_WAKE_OP, FUTEX_WAIT_BITSET,
                                FUTEX_WAKE_BITSET};

// Threads a worker may start beyond those of its decoders, four a processor.
constexpr long kThreadsBeyondTheUsers = 64;

// The flags the C library creates a thread with: these always, and the others it may add. A
// new process, or a thread in namespaces of its own, is something else.
constexpr scmp_datum_t kThreadFlags =
    CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD | CLONE_SYSVSEM;
constexpr scmp_datum_t kOptionalThreadFlags =
    CLONE_SETTLS | CLONE_PARENT_SETTID | CLONE_CHILD_CLEARTID;

// The fcntl commands the C library's streams use over the file; F_SETOWN, F_SETSIG and
// O_ASYNC would let a decoder aim signals at any process.
const int kFcntlCommands[] = {F_GETFL, F_GETFD, F_SETFD};

// The status calls that name a path: their number, and where their flags are.
struct StatusCall {
    const char *name;
    unsigned flags;
};
const StatusCall kStatusCalls[] = {{"newfstatat", 3}, {"fstatat64", 3}, {"statx", 2}};

// The one path the filter lets a status call name: the empty one, at this address, which only
// the trap's handler below passes.
const char kEmptyPath[] = "";

#if defined(__x86_64__) || defined(__aarch64__) || defined(__arm__)
#define LUMOSCAPE_CALL_TRAP 1
// The si_code of a signal the filter sent (SYS_SECCOMP, which the C library's headers lack).
constexpr int kSeccompTrap = 1;

// Argument `index` of the call a trap stopped, and its result, in the saved registers.
unsigned long callArgument(const ucontext_t *registers, int index) {
#if defined(__x86_64__)
    const int kArguments[] = {REG_RDI, REG_RSI, REG_RDX, REG_R10, REG_R8};
    return static_cast<unsigned long>(registers->uc_mcontext.gregs[kArguments[index]]);
#elif defined(__aarch64__)
    return registers->uc_mcontext.regs[index];
#else
    return (&registers->uc_mcontext.arm_r0)[index];
#endif
}

void setCallResult(ucontext_t *registers, long result) {
#if defined(__x86_64__)
    registers->uc_mcontext.gregs[REG_RAX] = result;
#elif defined(__aarch64__)
    registers->uc_mcontext.regs[0] = static_cast<unsigned long>(result);
#else
    registers->uc_mcontext.arm_r0 = static_cast<unsigned long>(result);
#endif
}

// The calls that ask whether a path may be read or written, which Landlock does not answer.
bool isAccessCall(long call) {
#if defined(SYS_access)
    if (call == SYS_access) return true;
#endif
    return call == SYS_faccessat || call == SYS_faccessat2;
}

// Answers a call the filter trapped. The processors a thread may run on: its own (named by its
// thread or process number, as a look at a thread's attributes names it), asked again as the
// calling thread's; no such process for any other. A status call: the status of the
// descriptor when the path is empty and the call asks for the descriptor's own (as fstat
// asks), made again with the path the filter lets through; a refusal for any other path.
// Whether a path may be read: whether it opens for reading. Kept to plain calls and reads: it
// runs in a process that may have been taken over.
void answerTrappedCall(int, siginfo_t *info, void *context) {
    if (info->si_code != kSeccompTrap) return;
    auto *registers = static_cast<ucontext_t *>(context);
    const int saved = errno;
    const long call = info->si_syscall;
    long result = -EACCES;
    if (call == SYS_sched_getaffinity) {
        const auto process = static_cast<pid_t>(callArgument(registers, 0));
        result = -ESRCH;
        if (process == getpid() || process == gettid()) {
            result = syscall(call, 0, callArgument(registers, 1), callArgument(registers, 2));
            if (result == -1) result = -errno;
        }
        setCallResult(registers, result);
        errno = saved;
        return;
    }
    if (isAccessCall(call)) {
        // Asked as an opening for reading, which Landlock then answers.
#if defined(SYS_access)
        const bool plain = call == SYS_access;
#else
        const bool plain = false;
#endif
        const long folder = plain ? AT_FDCWD : long(callArgument(registers, 0));
        const unsigned long path = callArgument(registers, plain ? 0 : 1);
        const unsigned long mode = callArgument(registers, plain ? 1 : 2);
        if ((mode & ~static_cast<unsigned long>(R_OK)) == 0) {
            const long opened = syscall(SYS_openat, folder, path, O_RDONLY | O_CLOEXEC);
            result = opened >= 0 ? 0 : -errno;
            if (opened >= 0) close(int(opened));
        }
        setCallResult(registers, result);
        errno = saved;
        return;
    }
    const auto *path = reinterpret_cast<const char *>(callArgument(registers, 1));
    const unsigned flags = call == SYS_statx ? 2 : 3;
    if (path && path[0] == '\0' && (callArgument(registers, int(flags)) & AT_EMPTY_PATH)) {
        result = syscall(call, callArgument(registers, 0), kEmptyPath, callArgument(registers, 2),
                         callArgument(registers, 3), callArgument(registers, 4));
        if (result == -1) result = -errno;
    }
    setCallResult(registers, result);
    errno = saved;
}
#endif

// A condition on argument `index` of a call; SCMP_A0 and its kin are C compound literals.
scmp_arg_cmp argument(unsigned int index, scmp_compare compare, scmp_datum_t first,
                      scmp_datum_t second = 0) {
    return scmp_arg_cmp{index, compare, first, second};
}

void allow(scmp_filter_ctx filter, const char *name, unsigned count = 0,
           const scmp_arg_cmp *conditions = nullptr) {
    const int call = seccomp_syscall_resolve_name(name);
    if (call != __NR_SCMP_ERROR)
        seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, call, count, conditions);
}

// The rules, compiled to a program: a name the architecture does not have is passed over.
std::vector<sock_filter> compileFilter() {
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
    if (!filter) filter = seccomp_init(SCMP_ACT_KILL);
    if (!filter) return {};
    // A call through another architecture's entry (int 0x80 on amd64) ends the whole worker,
    // not just its thread.
    seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS);
    for (const char *name : kAllowed) allow(filter, name);
    for (const char *name : {"futex", "futex_time64"}) {
        for (const int operation : kFutexOperations) {
            const scmp_arg_cmp is =
                argument(1, SCMP_CMP_MASKED_EQ,
                         scmp_datum_t(uint32_t(~(FUTEX_PRIVATE_FLAG | FUTEX_CLOCK_REALTIME))),
                         scmp_datum_t(operation));
            allow(filter, name, 1, &is);
        }
    }
    // The processors it may run on, which the C library's look at a thread's attributes reads
    // (as AddressSanitizer's does): the calling thread's; by any number, through the trap's
    // handler, which answers for the worker's own threads only.
    const scmp_arg_cmp calling = argument(0, SCMP_CMP_EQ, 0);
    allow(filter, "sched_getaffinity", 1, &calling);
#if defined(LUMOSCAPE_CALL_TRAP)
    const scmp_arg_cmp numbered = argument(0, SCMP_CMP_NE, 0);
    seccomp_rule_add_array(filter, SCMP_ACT_TRAP, seccomp_syscall_resolve_name("sched_getaffinity"),
                           1, &numbered);
#else
    const scmp_arg_cmp own = argument(0, SCMP_CMP_EQ, kOwnProcess);
    allow(filter, "sched_getaffinity", 1, &own);
#endif
    for (const char *name : {"fcntl", "fcntl64"}) {
        for (const int command : kFcntlCommands) {
            const scmp_arg_cmp is = argument(1, SCMP_CMP_EQ, scmp_datum_t(command));
            allow(filter, name, 1, &is);
        }
        const scmp_arg_cmp setFlags[] = {argument(1, SCMP_CMP_EQ, F_SETFL),
                                         argument(2, SCMP_CMP_MASKED_EQ, O_ASYNC, 0)};
        allow(filter, name, 2, setFlags);
    }
    // Threads, for the decoders that work on several cores; clone3 takes its flags in memory
    // no filter can read, so the C library is told it is missing and falls back to clone.
    const scmp_arg_cmp threadOnly =
        argument(0, SCMP_CMP_MASKED_EQ, ~kOptionalThreadFlags, kThreadFlags);
    allow(filter, "clone", 1, &threadOnly);
    const int clone3 = seccomp_syscall_resolve_name("clone3");
    if (clone3 != __NR_SCMP_ERROR) seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), clone3, 0);
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer probes whether memory can be read through a pipe of its own as a
    // thread starts; told there is none, it takes the memory as unreadable and goes on.
    for (const char *name : {"pipe", "pipe2"}) {
        const int call = seccomp_syscall_resolve_name(name);
        if (call != __NR_SCMP_ERROR) seccomp_rule_add(filter, SCMP_ACT_ERRNO(EMFILE), call, 0);
    }
#endif
    // A decoder's thread may name itself, as dav1d's do.
    const scmp_arg_cmp naming = argument(0, SCMP_CMP_EQ, PR_SET_NAME);
    allow(filter, "prctl", 1, &naming);
    // The one request, from the helper.
    const scmp_arg_cmp fromHelper = argument(0, SCMP_CMP_EQ, scmp_datum_t(kWorkerChannel));
    allow(filter, "recvmsg", 1, &fromHelper);
    // Writing only the result and the libraries' warnings on standard error.
    for (const int descriptor : {kWorkerResult, STDERR_FILENO}) {
        const scmp_arg_cmp to = argument(0, SCMP_CMP_EQ, scmp_datum_t(descriptor));
        allow(filter, "write", 1, &to);
        allow(filter, "writev", 1, &to);
    }
    // Memory, but none to run.
    const scmp_arg_cmp runnable = argument(2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0);
    for (const char *name : {"mmap", "mmap2", "mprotect"}) allow(filter, name, 1, &runnable);
    // The status of an open descriptor, never of a path: asked with the one empty path the
    // trap's handler passes; any other call goes to the handler, which refuses a path.
    for (const StatusCall &status : kStatusCalls) {
        const scmp_arg_cmp ownStatus[] = {
            argument(1, SCMP_CMP_EQ, scmp_datum_t(uintptr_t(kEmptyPath))),
            argument(status.flags, SCMP_CMP_MASKED_EQ, AT_EMPTY_PATH, AT_EMPTY_PATH)};
#if defined(LUMOSCAPE_CALL_TRAP)
        allow(filter, status.name, 2, ownStatus);
        const int call = seccomp_syscall_resolve_name(status.name);
        if (call == __NR_SCMP_ERROR) continue;
        const scmp_arg_cmp otherPath =
            argument(1, SCMP_CMP_NE, scmp_datum_t(uintptr_t(kEmptyPath)));
        const scmp_arg_cmp notOwn = argument(status.flags, SCMP_CMP_MASKED_EQ, AT_EMPTY_PATH, 0);
        seccomp_rule_add_array(filter, SCMP_ACT_TRAP, call, 1, &otherPath);
        seccomp_rule_add_array(filter, SCMP_ACT_TRAP, call, 1, &notOwn);
#else
        allow(filter, status.name, 1, &ownStatus[1]);
#endif
    }
    // Opening a file for reading only, where Landlock keeps the worker to the font folders;
    // refused anywhere else, which text drawn without its font survives.
    struct OpenCall {
        const char *name;
        unsigned flags;
    };
    for (const OpenCall &opening : {OpenCall{"openat", 2}, OpenCall{"open", 1}}) {
        const int call = seccomp_syscall_resolve_name(opening.name);
        if (call == __NR_SCMP_ERROR) continue;
        if (!foldersKept) {
            seccomp_rule_add(filter, SCMP_ACT_ERRNO(EACCES), call, 0);
            continue;
        }
        const scmp_arg_cmp readOnly =
            argument(opening.flags, SCMP_CMP_MASKED_EQ, O_ACCMODE | O_CREAT | O_TRUNC, O_RDONLY);
        seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, call, 1, &readOnly);
        // Opening to write is refused, as a library writing a cache of its own may try.
        for (const int writing : {O_WRONLY, O_RDWR, O_CREAT, O_TRUNC}) {
            const scmp_arg_cmp flagged = argument(opening.flags, SCMP_CMP_MASKED_EQ,
                                                  scmp_datum_t(writing), scmp_datum_t(writing));
            seccomp_rule_add_array(filter, SCMP_ACT_ERRNO(EACCES), call, 1, &flagged);
        }
    }
    // Whether standard error is a socket, as GLib asks before its first message: it is not.
    const int peer = seccomp_syscall_resolve_name("getpeername");
    if (peer != __NR_SCMP_ERROR) seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOTSOCK), peer, 0);
    // Whether a file may be read, which Landlock does not answer: as a trial opening, through
    // the trap's handler, where folders are kept to; refused elsewhere.
    for (const char *name : {"access", "faccessat", "faccessat2"}) {
        const int call = seccomp_syscall_resolve_name(name);
        if (call == __NR_SCMP_ERROR) continue;
#if defined(LUMOSCAPE_CALL_TRAP)
        if (foldersKept) {
            seccomp_rule_add(filter, SCMP_ACT_TRAP, call, 0);
            continue;
        }
#endif
        seccomp_rule_add(filter, SCMP_ACT_ERRNO(EACCES), call, 0);
    }
    // Signals to itself only, as abort sends; reading its own limits, never setting them.
    const scmp_arg_cmp self = argument(0, SCMP_CMP_EQ, kOwnProcess);
    allow(filter, "tgkill", 1, &self);
    const scmp_arg_cmp ownLimits[] = {argument(0, SCMP_CMP_EQ, 0), argument(2, SCMP_CMP_EQ, 0)};
    allow(filter, "prlimit64", 2, ownLimits);
    // Whether a stream is a terminal, as the C library asks of some.
    const scmp_arg_cmp terminalQuery = argument(1, SCMP_CMP_EQ, TCGETS);
    allow(filter, "ioctl", 1, &terminalQuery);

    std::vector<sock_filter> program;
    int ends[2];
    if (pipe(ends) == 0) {
        if (seccomp_export_bpf(filter, ends[1]) == 0) {
            close(ends[1]);
            ends[1] = -1;
            sock_filter instruction;
            while (read(ends[0], &instruction, sizeof instruction) == sizeof instruction)
                program.push_back(instruction);
        }
        close(ends[0]);
        if (ends[1] >= 0) close(ends[1]);
    }
    seccomp_release(filter);
    return program;
}

// Whether the kernel takes seccomp filters at all: it looks at the program's address before
// anything else, so a null one is refused for it (EFAULT) only where filters are taken.
bool kernelTakesFilters() {
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, nullptr) != 0 && errno == EFAULT;
}

// Capabilities no process of the worker's can gain again, even by running a program.
void dropBoundingSet() {
    for (int capability = 0; capability <= CAP_LAST_CAP; capability++)
        prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
}

// The user nobody, whom a root viewer's workers become: as root a limit on threads would not
// hold, and root's files and processes are no business of theirs.
constexpr uid_t kNobody = 65534;

// The tasks (processes and threads) user `uid` has on the system, which is what a limit on
// processes counts; -1 when /proc cannot tell.
long tasksOf(uid_t uid) {
    DIR *processes = opendir("/proc");
    if (!processes) return -1;
    long count = 0;
    char path[sizeof "/proc//task" + sizeof(dirent::d_name)];
    while (const dirent *entry = readdir(processes)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        snprintf(path, sizeof path, "/proc/%s/task", entry->d_name);
        struct stat status;
        // A process's task folder has a link for each of its tasks, and two more.
        if (stat(path, &status) == 0 && status.st_uid == uid)
            count += status.st_nlink > 2 ? long(status.st_nlink) - 2 : 1;
    }
    closedir(processes);
    return count;
}

// Bounds the threads a worker may start: what the user runs already, and what decoders on
// every processor need. A worker taken over cannot exhaust the system's processes. Run as
// root, the worker first becomes nobody, for whom the bound holds.
void limitThreads() {
    if (geteuid() == 0) {
        // Emptied while the worker may still: nobody could not.
        dropBoundingSet();
        const pid_t helper = getppid();
        if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
            setresuid(kNobody, kNobody, kNobody) != 0)
            _exit(kWorkerNotLockedDown);
        // A change of user forgets that the worker ends with its helper.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != helper) _exit(kWorkerNotLockedDown);
    }
    const long running = tasksOf(getuid());
    if (running < 0) return;
    const long allowed = running + kThreadsBeyondTheUsers + 4L * readerThreads();
    limit(RLIMIT_NPROC, rlim_t(allowed), rlim_t(allowed));
}

// A root viewer's worker would keep every capability: it keeps none, nor can it regain any.
void dropCapabilities() {
    dropBoundingSet();
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    syscall(SYS_capset, &header, none);
}

// Loads the compiled filter with this worker's own process number written in, on every thread
// of the worker at once: none runs at lockdown, but nothing should rest on that. Where the
// kernel takes no filter (as under an emulator) the limits alone remain; where it takes them,
// a worker that cannot load the filter ends instead of decoding without it.
void loadFilter() {
    if (workerFilter.empty()) return;
    std::vector<sock_filter> program = workerFilter;
    for (sock_filter &instruction : program) {
        if (instruction.code == (BPF_JMP | BPF_JEQ | BPF_K) && instruction.k == kOwnProcess)
            instruction.k = uint32_t(getpid());
    }
    const sock_fprog loaded{static_cast<unsigned short>(program.size()), program.data()};
    if (!filtersTaken) {
        // Asked all the same, and refused: an emulator's trace marks the filter point by it.
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0)
            prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &loaded);
        return;
    }
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &loaded) != 0)
        _exit(kWorkerNotLockedDown);
}

}  // namespace

void prepareWorkerFilter() {
    // Valgrind runs a worker by translating its code as it goes, which no filter of ours allows.
    // (cppcheck reads valgrind.h's client request as a constant.)
    // cppcheck-suppress knownConditionTrueFalse
    if (underValgrind()) return;
    foldersKept = landlockVersion() > 0;
    workerFilter = compileFilter();
    filtersTaken = kernelTakesFilters();
    if (workerFilter.empty() || !filtersTaken)
        fputs(
            "lumoscape: this system takes no seccomp filter: image decoders run without one, "
            "limited in memory and time only\n",
            stderr);
}

const std::vector<sock_filter> &workerFilterProgram() { return workerFilter; }

bool allowedFoldersReadable() { return !lockedDown || workerFilter.empty() || foldersKept; }

void allowReadingBeneath(const char *folder) {
    const std::string path = folder;
    for (const std::string &kept : readableFolders) {
        if (path.compare(0, kept.size(), kept) == 0 &&
            (path.size() == kept.size() || path[kept.size()] == '/' || kept.back() == '/'))
            return;
    }
    readableFolders.push_back(path);
}

void lockDownWorker(const DecodeLimits &limits) {
    if (!keepOnlyDescriptors(kWorkerChannel, kWorkerChannel)) _exit(kWorkerNotStarted);
    // A decoder that crashes leaves no core file behind, and it writes to no file: its
    // standard error is a pipe. (Valgrind writes its log into the worker's own process.)
    limit(RLIMIT_CORE, 0, 0);
    // cppcheck-suppress knownConditionTrueFalse
    if (!underValgrind()) limit(RLIMIT_FSIZE, 0, 0);
#if !defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer keeps terabytes of address space for itself: no limit can hold there.
    if (limits.memoryBytes) limit(RLIMIT_DATA, limits.memoryBytes, limits.memoryBytes);
#endif
    // SIGXCPU at the limit, and SIGKILL a second later should it be caught.
    if (limits.cpuSeconds > 0)
        limit(RLIMIT_CPU, rlim_t(limits.cpuSeconds), rlim_t(limits.cpuSeconds) + 1);
    limitThreads();
    dropCapabilities();
    // A filter that lets files be opened holds only with the folders kept to.
    if (foldersKept && !keepToFolders()) _exit(kWorkerNotLockedDown);
#if defined(LUMOSCAPE_CALL_TRAP)
    struct sigaction trapped {};
    trapped.sa_sigaction = answerTrappedCall;
    trapped.sa_flags = SA_SIGINFO;
    sigaction(SIGSYS, &trapped, nullptr);
#endif
    loadFilter();
    lockedDown = true;
}
