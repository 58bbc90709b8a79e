// mirvo-record's shared runtime: the main thread's wake-up and stop signal,
// the reads and writes every side uses, and the timeline's origin and end.
#include "record.h"

#include "write_all.h"

namespace record {

// Wakes the main thread: a byte arrives on Ctrl-C or SIGTERM (gStop set),
// when the screen library's start returns and when the screen capture is
// lost. Never closed.
int gWake[2] = {-1, -1};
volatile std::sig_atomic_t gStop = 0;
void notifyMain() {
    const char b = 1;
    (void)!::write(gWake[1], &b, 1);
}
void onStopSignal(int) {
    const int saved = errno;
    gStop = 1;
    notifyMain();
    errno = saved;
}


bool writeAll(int fd, const void* data, std::size_t n) {
    return common::writeAll(fd, data, n, common::kNoWait) == 0;
}

// Reads exactly n bytes unless the stream ends or cancelFd becomes readable
// first; returns the count.
std::size_t readFull(int fd, int cancelFd, std::uint8_t* p, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) break;
        const ssize_t r = ::read(fd, p + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += std::size_t(r);
    }
    return got;
}

bool pwriteAll(int fd, const std::uint8_t* p, std::size_t n, std::uint64_t at) {
    while (n > 0) {
        const ssize_t w = ::pwrite(fd, p, n, off_t(at));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        at += std::uint64_t(w);
        n -= std::size_t(w);
    }
    return true;
}

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
std::atomic<std::int64_t> gOrigin{0};
std::int64_t setOrigin(std::int64_t t) {
    std::int64_t unset = 0;
    gOrigin.compare_exchange_strong(unset, t);
    return gOrigin.load();
}
std::atomic<std::int64_t> gEndFrames{-1};
std::atomic<std::int64_t> gEndSamples{-1};

}  // namespace record
