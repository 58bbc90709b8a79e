#include "child.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

namespace testing_support {

std::string readAll(int fd) {
    std::string s;
    char buf[65536];
    off_t off = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buf, sizeof buf, off);
        if (n <= 0) break;
        s.append(buf, static_cast<std::size_t>(n));
        off += n;
    }
    return s;
}

ChildResult runChild(const std::function<void(int)>& setupLog, const std::function<void()>& body) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::FILE* log = std::tmpfile();
    const int outFd = ::fileno(out), errFd = ::fileno(err), logFd = ::fileno(log);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(outFd, 1);
        ::dup2(errFd, 2);
        setupLog(logFd);
        body();
        ::_exit(0);
    }
    ChildResult r;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    if (WIFEXITED(status)) {
        r.exited = true;
        r.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        r.termSignal = WTERMSIG(status);
    }
    r.out = readAll(outFd);
    r.err = readAll(errFd);
    std::istringstream lines(readAll(logFd));
    for (std::string line; std::getline(lines, line);) r.log.push_back(line);
    std::fclose(out);
    std::fclose(err);
    std::fclose(log);
    return r;
}

}  // namespace testing_support
