// Child processes for the tests and the benchmarks: start one, read its output with a deadline,
// wait for its end, count its wake-ups.
#include "child_process.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

Child startChild(const std::string &program, const std::vector<std::string> &args,
                 const std::vector<std::string> &environment, bool mergeErrors,
                 const std::function<void()> &inChild) {
    Child child;
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return child;
    child.pid = fork();
    if (child.pid == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        if (mergeErrors) dup2(pipeEnds[1], STDERR_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        for (const std::string &entry : environment) putenv(strdup(entry.c_str()));
        if (inChild) inChild();
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execvp(program.c_str(), argv.data());
        fprintf(stderr, "cannot run %s: %s\n", program.c_str(), strerror(errno));
        _exit(127);
    }
    close(pipeEnds[1]);
    if (child.pid < 0) {
        close(pipeEnds[0]);
        return child;
    }
    child.outputFd = pipeEnds[0];
    return child;
}

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Reads whatever the child has printed within `waitSeconds`; false once its output has ended.
bool readSome(Child &child, double waitSeconds) {
    if (child.outputFd < 0) return false;
    pollfd waiting{child.outputFd, POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(waitSeconds * 1000)) <= 0) return true;
    char buffer[65536];
    const ssize_t got = read(child.outputFd, buffer, sizeof buffer);
    if (got <= 0) {
        close(child.outputFd);
        child.outputFd = -1;
        return false;
    }
    child.output.append(buffer, static_cast<size_t>(got));
    return true;
}

}  // namespace

bool readUntil(Child &child, const std::function<bool(const std::string &)> &done, double seconds) {
    const auto start = std::chrono::steady_clock::now();
    while (!done(child.output)) {
        const double left = seconds - secondsSince(start);
        if (left <= 0 || !readSome(child, std::min(left, 0.05))) return done(child.output);
    }
    return true;
}

int waitForExit(Child &child, double seconds, rusage *usage) {
    if (child.pid <= 0) return -2;
    const auto start = std::chrono::steady_clock::now();
    rusage ignored{};
    for (;;) {
        readSome(child, 0.02);
        int status = 0;
        const pid_t ended = wait4(child.pid, &status, WNOHANG, usage ? usage : &ignored);
        if (ended == child.pid) {
            while (readSome(child, 0)) {
            }
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (secondsSince(start) > seconds) {
            kill(child.pid, SIGKILL);
            wait4(child.pid, &status, 0, usage ? usage : &ignored);
            if (child.outputFd >= 0) close(child.outputFd);
            child.outputFd = -1;
            return -2;
        }
    }
}

size_t countLines(const std::string &text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

namespace {

// Whether a process of `group` still runs. Ended ones that wait to be reaped do not count:
// reaping orphans is the init process's business, and some take their time.
bool groupRuns(pid_t group) {
    DIR *processes = opendir("/proc");
    if (!processes) return false;
    bool runs = false;
    while (const dirent *entry = readdir(processes)) {
        if (runs || entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
        // After the name: state, parent, process group.
        std::istringstream fields(line.substr(line.rfind(')') + 1));
        char state = 0;
        long parent = 0, processGroup = 0;
        fields >> state >> parent >> processGroup;
        runs = processGroup == group && state != 'Z' && state != 'X';
    }
    closedir(processes);
    return runs;
}

}  // namespace

bool processGroupGone(pid_t group, double seconds) {
    const auto start = std::chrono::steady_clock::now();
    while (groupRuns(group)) {
        if (secondsSince(start) > seconds) return false;
        poll(nullptr, 0, 20);
    }
    return true;
}

long voluntarySwitches(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *folder = opendir(tasks.c_str());
    if (!folder) return -1;
    long total = 0;
    while (const dirent *task = readdir(folder)) {
        if (task->d_name[0] == '.') continue;
        std::ifstream status(tasks + "/" + task->d_name + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += std::stol(line.substr(24));
        }
    }
    closedir(folder);
    return total;
}
