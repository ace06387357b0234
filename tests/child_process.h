// Child processes for the tests and the benchmarks: start one, read its output with a deadline,
// wait for its end, count its wake-ups.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

/// A running child process whose standard output is read through a pipe.
struct Child {
    pid_t pid = -1;      ///< -1 when it could not be started
    int outputFd = -1;   ///< read end of its standard output; -1 once that has ended
    std::string output;  ///< what it printed so far
};

/// Starts `program` (looked up in PATH) with `args` and extra `NAME=value` entries of
/// `environment`; `mergeErrors` sends standard error to the pipe too, and `inChild` runs in the
/// child just before the program is started.
Child startChild(const std::string &program, const std::vector<std::string> &args,
                 const std::vector<std::string> &environment = {}, bool mergeErrors = false,
                 const std::function<void()> &inChild = {});
/// Reads the child's output until `done` holds for it or `seconds` pass; returns whether it held.
bool readUntil(Child &child, const std::function<bool(const std::string &)> &done, double seconds);
/// Waits for the child to end, reading its output; its exit status, -1 after a signal, -2 when
/// it was killed after `seconds`. `usage`, if given, receives its resource usage.
int waitForExit(Child &child, double seconds, rusage *usage = nullptr);
/// Number of line ends in `text`.
size_t countLines(const std::string &text);
/// Waits up to `seconds` for every process of process group `group` to have ended; whether
/// they have.
bool processGroupGone(pid_t group, double seconds);
/// Voluntary context switches of all the threads of process `pid`: each is a wake-up after a
/// wait. -1 when the process cannot be read.
long voluntarySwitches(pid_t pid);
