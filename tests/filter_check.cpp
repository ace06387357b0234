// Checks an emulator's trace of the viewer against the decoding workers' filter as this build
// compiles it: every call a worker made after loading its filter must be one the filter lets
// through. Built for each target, and run under the same emulator as the viewer, since only
// there does the emulator refuse the filter that would otherwise have stopped the worker.
//
//   lumoscape_filter_check TRACE...   (QEMU_STRACE logs of the viewer and its children)
// Prints each call the filter would stop, after the name of the trace it is in, and exits 1;
// exits 0 when there is none, 2 when a trace shows no worker at all.
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "display/sandbox/sandbox.h"

namespace {

// Runs a classic BPF program on one call, as the kernel would; the action it returns.
uint32_t runFilter(const std::vector<sock_filter> &program, const seccomp_data &call) {
    uint32_t accumulator = 0, index = 0, scratch[BPF_MEMWORDS] = {};
    const auto word = [&](uint32_t offset) {
        uint32_t value = 0;
        if (offset + 4 <= sizeof call)
            memcpy(&value, reinterpret_cast<const char *>(&call) + offset, 4);
        return value;
    };
    for (size_t at = 0; at < program.size(); at++) {
        const sock_filter &op = program[at];
        const uint32_t operand = BPF_SRC(op.code) == BPF_X ? index : op.k;
        switch (BPF_CLASS(op.code)) {
        case BPF_LD:
            accumulator = BPF_MODE(op.code) == BPF_ABS   ? word(op.k)
                          : BPF_MODE(op.code) == BPF_MEM ? scratch[op.k % BPF_MEMWORDS]
                                                         : op.k;
            break;
        case BPF_LDX:
            index = BPF_MODE(op.code) == BPF_MEM ? scratch[op.k % BPF_MEMWORDS] : op.k;
            break;
        case BPF_ST:
            scratch[op.k % BPF_MEMWORDS] = accumulator;
            break;
        case BPF_STX:
            scratch[op.k % BPF_MEMWORDS] = index;
            break;
        case BPF_ALU:
            switch (BPF_OP(op.code)) {
            case BPF_ADD:
                accumulator += operand;
                break;
            case BPF_SUB:
                accumulator -= operand;
                break;
            case BPF_AND:
                accumulator &= operand;
                break;
            case BPF_OR:
                accumulator |= operand;
                break;
            case BPF_LSH:
                accumulator <<= operand;
                break;
            case BPF_RSH:
                accumulator >>= operand;
                break;
            case BPF_NEG:
                accumulator = -accumulator;
                break;
            default:
                return SECCOMP_RET_KILL_PROCESS;
            }
            break;
        case BPF_JMP: {
            if (BPF_OP(op.code) == BPF_JA) {
                at += op.k;
                break;
            }
            bool taken = false;
            switch (BPF_OP(op.code)) {
            case BPF_JEQ:
                taken = accumulator == operand;
                break;
            case BPF_JGT:
                taken = accumulator > operand;
                break;
            case BPF_JGE:
                taken = accumulator >= operand;
                break;
            case BPF_JSET:
                taken = (accumulator & operand) != 0;
                break;
            default:
                return SECCOMP_RET_KILL_PROCESS;
            }
            at += taken ? op.jt : op.jf;
            break;
        }
        case BPF_RET:
            return BPF_RVAL(op.code) == BPF_A ? accumulator : op.k;
        case BPF_MISC:
            if (BPF_MISCOP(op.code) == BPF_TAX)
                index = accumulator;
            else
                accumulator = index;
            break;
        default:
            return SECCOMP_RET_KILL_PROCESS;
        }
    }
    return SECCOMP_RET_KILL_PROCESS;
}

// The names the emulator prints for the flags and constants of the calls the filter looks
// into the arguments of; an argument of another kind (a string, a structure) is a pointer.
const std::map<std::string, uint64_t> kConstants = {{"NULL", 0},
                                                    {"AT_FDCWD", uint64_t(AT_FDCWD)},
                                                    {"AT_EMPTY_PATH", AT_EMPTY_PATH},
                                                    {"AT_SYMLINK_NOFOLLOW", AT_SYMLINK_NOFOLLOW},
                                                    {"AT_NO_AUTOMOUNT", AT_NO_AUTOMOUNT},
                                                    {"STATX_BASIC_STATS", STATX_BASIC_STATS},
                                                    {"STATX_ALL", STATX_ALL},
                                                    {"PROT_NONE", PROT_NONE},
                                                    {"PROT_READ", PROT_READ},
                                                    {"PROT_WRITE", PROT_WRITE},
                                                    {"PROT_EXEC", PROT_EXEC},
                                                    {"PROT_GROWSDOWN", PROT_GROWSDOWN},
                                                    {"PROT_GROWSUP", PROT_GROWSUP},
                                                    {"F_GETFL", F_GETFL},
                                                    {"F_SETFL", F_SETFL},
                                                    {"F_GETFD", F_GETFD},
                                                    {"F_SETFD", F_SETFD},
                                                    {"F_DUPFD", F_DUPFD},
                                                    {"F_DUPFD_CLOEXEC", F_DUPFD_CLOEXEC},
                                                    {"F_GETLK", F_GETLK},
                                                    {"F_SETLK", F_SETLK},
                                                    {"F_SETOWN", F_SETOWN},
                                                    {"F_GETOWN", F_GETOWN},
                                                    {"F_SETSIG", F_SETSIG},
                                                    {"F_GETSIG", F_GETSIG},
                                                    {"TCGETS", TCGETS},
                                                    {"O_RDONLY", O_RDONLY},
                                                    {"O_WRONLY", O_WRONLY},
                                                    {"O_RDWR", O_RDWR},
                                                    {"O_NONBLOCK", O_NONBLOCK},
                                                    {"O_APPEND", O_APPEND},
                                                    {"O_ASYNC", O_ASYNC},
                                                    {"O_LARGEFILE", O_LARGEFILE},
                                                    {"O_CLOEXEC", O_CLOEXEC},
                                                    {"MAP_SHARED", MAP_SHARED},
                                                    {"MAP_PRIVATE", MAP_PRIVATE},
                                                    {"MAP_FIXED", MAP_FIXED},
                                                    {"MAP_ANONYMOUS", MAP_ANONYMOUS},
                                                    {"MAP_NORESERVE", MAP_NORESERVE},
                                                    {"MAP_STACK", MAP_STACK},
                                                    {"MAP_GROWSDOWN", MAP_GROWSDOWN},
                                                    {"MAP_DENYWRITE", MAP_DENYWRITE},
                                                    {"MAP_EXECUTABLE", MAP_EXECUTABLE},
                                                    {"MAP_POPULATE", MAP_POPULATE},
                                                    {"MAP_FIXED_NOREPLACE", MAP_FIXED_NOREPLACE},
                                                    {"MREMAP_MAYMOVE", MREMAP_MAYMOVE},
                                                    {"MREMAP_FIXED", MREMAP_FIXED},
                                                    {"SIG_BLOCK", SIG_BLOCK},
                                                    {"SIG_UNBLOCK", SIG_UNBLOCK},
                                                    {"SIG_SETMASK", SIG_SETMASK},
                                                    {"FUTEX_WAIT", 0},
                                                    {"FUTEX_WAKE", 1},
                                                    {"FUTEX_REQUEUE", 3},
                                                    {"FUTEX_CMP_REQUEUE", 4},
                                                    {"FUTEX_WAKE_OP", 5},
                                                    {"FUTEX_LOCK_PI", 6},
                                                    {"FUTEX_UNLOCK_PI", 7},
                                                    {"FUTEX_TRYLOCK_PI", 8},
                                                    {"FUTEX_WAIT_BITSET", 9},
                                                    {"FUTEX_WAKE_BITSET", 10},
                                                    {"FUTEX_PRIVATE_FLAG", 128},
                                                    {"FUTEX_CLOCK_REALTIME", 256},
                                                    {"CLOCK_REALTIME", 0},
                                                    {"CLOCK_MONOTONIC", 1},
                                                    {"CLOCK_PROCESS_CPUTIME_ID", 2},
                                                    {"CLOCK_THREAD_CPUTIME_ID", 3},
                                                    {"CLOCK_MONOTONIC_RAW", 4},
                                                    {"CLOCK_REALTIME_COARSE", 5},
                                                    {"CLOCK_MONOTONIC_COARSE", 6},
                                                    {"CLOCK_BOOTTIME", 7},
                                                    {"RLIMIT_CPU", RLIMIT_CPU},
                                                    {"RLIMIT_FSIZE", RLIMIT_FSIZE},
                                                    {"RLIMIT_DATA", RLIMIT_DATA},
                                                    {"RLIMIT_STACK", RLIMIT_STACK},
                                                    {"RLIMIT_CORE", RLIMIT_CORE},
                                                    {"RLIMIT_AS", RLIMIT_AS},
                                                    {"RLIMIT_NOFILE", RLIMIT_NOFILE},
                                                    {"SEEK_SET", SEEK_SET},
                                                    {"SEEK_CUR", SEEK_CUR},
                                                    {"SEEK_END", SEEK_END},
                                                    {"MSG_CMSG_CLOEXEC", MSG_CMSG_CLOEXEC},
                                                    {"MSG_NOSIGNAL", MSG_NOSIGNAL},
                                                    {"MADV_DONTNEED", MADV_DONTNEED},
                                                    {"MADV_FREE", MADV_FREE},
                                                    {"SIGABRT", SIGABRT},
                                                    {"SIGSEGV", SIGSEGV},
                                                    {"SIGBUS", SIGBUS},
                                                    {"SIGFPE", SIGFPE},
                                                    {"SIGILL", SIGILL},
                                                    {"SIGXCPU", SIGXCPU},
                                                    {"SIGPIPE", SIGPIPE},
                                                    {"SIGKILL", SIGKILL},
                                                    {"CLONE_VM", CLONE_VM},
                                                    {"CLONE_FS", CLONE_FS},
                                                    {"CLONE_FILES", CLONE_FILES},
                                                    {"CLONE_SIGHAND", CLONE_SIGHAND},
                                                    {"CLONE_THREAD", CLONE_THREAD},
                                                    {"CLONE_SYSVSEM", CLONE_SYSVSEM},
                                                    {"CLONE_SETTLS", CLONE_SETTLS},
                                                    {"CLONE_PARENT_SETTID", CLONE_PARENT_SETTID},
                                                    {"CLONE_CHILD_SETTID", CLONE_CHILD_SETTID},
                                                    {"CLONE_CHILD_CLEARTID", CLONE_CHILD_CLEARTID},
                                                    {"CLONE_VFORK", CLONE_VFORK},
                                                    {"CLONE_PARENT", CLONE_PARENT},
                                                    {"CLONE_NEWNS", CLONE_NEWNS},
                                                    {"CLONE_NEWUSER", CLONE_NEWUSER},
                                                    {"CLONE_NEWPID", CLONE_NEWPID},
                                                    {"CLONE_NEWNET", CLONE_NEWNET},
                                                    {"CLONE_PTRACE", CLONE_PTRACE},
                                                    {"CLONE_UNTRACED", CLONE_UNTRACED},
                                                    {"CLONE_IO", CLONE_IO}};

// One argument's value, as far as the filter can look at it; false for a name not known.
bool argumentValue(const std::string &given, uint64_t *value) {
    // Some calls' arguments are printed named: "child_stack=0x...".
    const size_t equals = given.find('=');
    const std::string text =
        equals != std::string::npos && given[0] != '"' && given[0] != '{' && given[0] != '['
            ? given.substr(equals + 1)
            : given;
    if (text.empty()) return false;
    if (text[0] == '"' || text[0] == '{' || text[0] == '[') {
        *value = 1;  // a pointer to it
        return true;
    }
    uint64_t total = 0;
    size_t start = 0;
    // Flags joined by '|', each a number or a name.
    while (start <= text.size()) {
        size_t end = text.find('|', start);
        if (end == std::string::npos) end = text.size();
        const std::string part = text.substr(start, end - start);
        char *rest = nullptr;
        const long long number = strtoll(part.c_str(), &rest, 0);
        if (!part.empty() && rest && *rest == '\0') {
            total |= uint64_t(number);
        } else if (kConstants.count(part)) {
            total |= kConstants.at(part);
        } else {
            return false;
        }
        start = end + 1;
    }
    // A 32-bit target passes each argument in a 32-bit register.
    if (sizeof(long) == 4) total &= 0xffffffffu;
    *value = total;
    return true;
}

// Where the parenthesis that closes the one at `open` is, past strings and nested ones.
size_t closingParenthesis(const std::string &text, size_t open) {
    int depth = 0;
    bool quoted = false;
    for (size_t i = open; i < text.size(); i++) {
        const char c = text[i];
        if (quoted) {
            if (c == '\\')
                i++;
            else if (c == '"')
                quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '(') {
            depth++;
        } else if (c == ')' && --depth == 0) {
            return i;
        }
    }
    return std::string::npos;
}

// The arguments between the parentheses of a traced call, split at the commas that separate
// them rather than those inside strings and structures.
std::vector<std::string> splitArguments(const std::string &inside) {
    std::vector<std::string> arguments;
    std::string current;
    int depth = 0;
    bool quoted = false;
    for (size_t i = 0; i < inside.size(); i++) {
        const char c = inside[i];
        if (quoted) {
            if (c == '\\' && i + 1 < inside.size())
                current += inside[i++];
            else if (c == '"')
                quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '{' || c == '[' || c == '(') {
            depth++;
        } else if (c == '}' || c == ']' || c == ')') {
            depth--;
        } else if (c == ',' && depth == 0) {
            arguments.push_back(current);
            current.clear();
            continue;
        }
        current += c;
    }
    if (!current.empty()) arguments.push_back(current);
    return arguments;
}

// Checks the calls in one trace, adding those the filter would stop to `stopped` and the count
// of those checked to `checked`; the number of workers the trace shows past their filter point.
size_t checkTrace(const char *path, const std::vector<sock_filter> &filter,
                  std::set<std::string> *stopped, size_t *checked) {
    std::ifstream trace(path);
    std::set<long> filtered;  // the processes past their filter point
    std::vector<std::string> lines;
    for (std::string line; std::getline(trace, line);) {
        // The viewer marks each line it relays from a worker as the decoder's.
        for (size_t mark = line.find(kRelayMark); mark != std::string::npos;
             mark = line.find(kRelayMark, mark))
            line.erase(mark, strlen(kRelayMark));
        // A worker's line the viewer relays lands right after the emulator's account of the
        // viewer's own write, before its result: "PID write(2,...)PID call(...)".
        size_t from = 0;
        for (size_t at = line.find(')'); at != std::string::npos; at = line.find(')', at + 1)) {
            size_t end = at + 1;
            while (end < line.size() && isdigit(static_cast<unsigned char>(line[end]))) end++;
            if (end > at + 1 && end < line.size() && line[end] == ' ') {
                lines.push_back(line.substr(from, at + 1 - from));
                from = at + 1;
            }
        }
        lines.push_back(line.substr(from));
    }
    for (const std::string &line : lines) {
        // "PID name(arguments) = result", the result on a line of its own at times.
        char *rest = nullptr;
        const long pid = strtol(line.c_str(), &rest, 10);
        if (rest == line.c_str() || *rest != ' ') continue;
        const std::string call = rest + 1;
        const size_t open = call.find('(');
        if (open == std::string::npos) continue;
        const size_t close = closingParenthesis(call, open);
        if (close == std::string::npos) continue;
        const std::string name = call.substr(0, open);
        if (name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos)
            continue;
        const std::vector<std::string> arguments =
            splitArguments(call.substr(open + 1, close - open - 1));
        if (!filtered.count(pid)) {
            // A worker loads its filter with prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER,
            // program); the helper's look at whether the kernel takes one passes no program.
            uint64_t option = 0, program = 0;
            if (name == "prctl" && arguments.size() >= 3 && argumentValue(arguments[0], &option) &&
                option == PR_SET_SECCOMP && argumentValue(arguments[2], &program) && program)
                filtered.insert(pid);
            continue;
        }
        (*checked)++;
        seccomp_data data{};
        data.arch = seccomp_arch_native();
        data.nr = seccomp_syscall_resolve_name(name.c_str());
        bool known = data.nr != __NR_SCMP_ERROR;
        for (size_t i = 0; i < arguments.size() && i < 6; i++) {
            uint64_t value = 0;
            known = argumentValue(arguments[i], &value) && known;
            data.args[i] = value;
        }
        // The worker's own process number stands in the filter for what each writes in.
        std::vector<sock_filter> program = filter;
        for (sock_filter &op : program) {
            if (op.code == (BPF_JMP | BPF_JEQ | BPF_K) && op.k == kOwnProcess) op.k = uint32_t(pid);
        }
        // A call answered with an error (as clone3 is, so that threads are made with clone),
        // or by the worker's own handler (a status call), does not stop the worker.
        const uint32_t action = runFilter(program, data) & SECCOMP_RET_ACTION_FULL;
        if (!known || (action != SECCOMP_RET_ALLOW && action != SECCOMP_RET_ERRNO &&
                       action != SECCOMP_RET_TRAP)) {
            const std::string what = name + "(" + call.substr(open + 1, close - open - 1) + ")";
            if (stopped->insert(std::string(path) + what).second)
                printf("%s: stopped%s: %s\n", path, known ? "" : " (not understood)", what.c_str());
        }
    }
    return filtered.size();
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s TRACE...\n", argv[0]);
        return 2;
    }
    prepareWorkerFilter();
    const std::vector<sock_filter> &filter = workerFilterProgram();
    if (filter.empty()) {
        fprintf(stderr, "filter_check: this build compiles no filter\n");
        return 2;
    }
    std::set<std::string> stopped;
    size_t checked = 0, workers = 0;
    bool everyTraceHasWorkers = true;
    for (int trace = 1; trace < argc; trace++) {
        const size_t found = checkTrace(argv[trace], filter, &stopped, &checked);
        workers += found;
        everyTraceHasWorkers = everyTraceHasWorkers && found > 0;
    }
    printf("%zu calls of %zu workers in %d traces checked, %zu the filter would stop\n", checked,
           workers, argc - 1, stopped.size());
    if (!everyTraceHasWorkers) return 2;
    return stopped.empty() ? 0 : 1;
}
