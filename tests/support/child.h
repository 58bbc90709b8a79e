// Runs a piece of a test in a forked child, as the real program would run:
// with its own standard output and error, its own exit status, and the
// fake's call log mirrored back to the parent.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

struct ChildResult {
    bool exited = false;   // ended through exit()
    int exitCode = -1;     // when exited
    int termSignal = 0;    // when killed by a signal
    std::string out;       // everything written to descriptor 1
    std::string err;       // everything written to descriptor 2
    std::vector<std::string> log;  // lines the child wrote to logFd
};

// Forks; the child points descriptors 1 and 2 at fresh files, calls
// setupLog(fd) with a descriptor for log lines, runs body, then _exit(0) if
// body returns. The parent waits and collects everything.
ChildResult runChild(const std::function<void(int logFd)>& setupLog,
                     const std::function<void()>& body);

// Reads a whole file descriptor from offset 0.
std::string readAll(int fd);

}  // namespace testing_support
