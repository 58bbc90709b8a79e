// mirvo-record's watch over the screen library's diagnostics.
#pragma once

#include "record.h"

namespace record {

// The screen library reports a capture the platform ended with an error as
// one "sck-video: " line on our standard error. Standard error goes through
// a pipe while the library runs; this thread passes everything on unchanged
// and, while armed, takes such a line as the loss of the capture.
class ErrorWatch {
public:
    bool begin() {
        int p[2];
        original_ = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
        if (original_ < 0 || ::pipe2(p, O_CLOEXEC) != 0) return false;
        if (::dup2(p[1], 2) < 0) {
            ::close(p[0]);
            ::close(p[1]);
            return false;
        }
        ::close(p[1]);
        readFd_ = p[0];
        thread_ = std::thread([this] { run(); });
        return true;
    }
    // Puts standard error back and waits until everything written so far
    // has been passed on.
    void end() {
        if (!thread_.joinable()) return;
        std::fflush(stderr);
        ::dup2(original_, 2);  // closes the pipe's last write end
        thread_.join();
        ::close(readFd_);
    }
    void arm(bool on) { armed_ = on; }
    bool lost() const { return lost_; }

private:
    void run() {
        char buf[4096];
        static constexpr char kPrefix[] = "sck-video: ";
        std::size_t matched = 0;  // characters of kPrefix matched at a line start
        bool lineStart = true;
        for (;;) {
            const ssize_t n = ::read(readFd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            (void)writeAll(original_, buf, std::size_t(n));
            for (ssize_t i = 0; i < n; ++i) {
                const char c = buf[i];
                if (lineStart || matched > 0) {
                    if (c == kPrefix[matched]) {
                        if (++matched == sizeof kPrefix - 1) {
                            matched = 0;
                            if (armed_ && !lost_.exchange(true)) notifyMain();
                        }
                    } else {
                        matched = 0;
                    }
                }
                lineStart = c == '\n';
            }
        }
    }
    int original_ = -1;
    int readFd_ = -1;
    std::thread thread_;
    std::atomic<bool> armed_{false};
    std::atomic<bool> lost_{false};
};

}  // namespace record
