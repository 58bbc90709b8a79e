#include "frame_out.h"

#include <cerrno>
#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "write_all.h"

namespace {

#ifndef F_SETNOSIGPIPE
// Keeps a write to a pipe without a reader from raising SIGPIPE on this
// thread, without touching the process-wide disposition the host chose.
class SigpipeBlock {
public:
    SigpipeBlock() noexcept {
        sigemptyset(&pipeOnly_);
        sigaddset(&pipeOnly_, SIGPIPE);
        blocked_ = ::pthread_sigmask(SIG_BLOCK, &pipeOnly_, &saved_) == 0;
        sigset_t pending;
        sigemptyset(&pending);
        wasPending_ = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeBlock() {
        if (!blocked_) return;
        if (brokenPipe_ && !wasPending_) {
            // Ours alone: take it back before the mask is restored. One
            // pending, whoever raised it, stays for its owner.
            const timespec zero{};
            const int savedErrno = errno;
            while (::sigtimedwait(&pipeOnly_, nullptr, &zero) < 0 && errno == EINTR) {
            }
            errno = savedErrno;
        }
        ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

    void sawBrokenPipe() noexcept { brokenPipe_ = true; }

private:
    sigset_t pipeOnly_;
    sigset_t saved_;
    bool blocked_ = false;
    bool wasPending_ = false;
    bool brokenPipe_ = false;
};
#endif

}  // namespace

FrameOutput::FrameOutput(int fd) noexcept : fd_(fd) {
#ifdef F_SETNOSIGPIPE
    // The descriptor then reports EPIPE without a signal; no per-write work.
    if (fd_ >= 0) ::fcntl(fd_, F_SETNOSIGPIPE, 1);
#endif
}

FrameOutput::~FrameOutput() {
    if (fd_ >= 0) ::close(fd_);
}

FrameOutput::Result FrameOutput::writeAll(
    std::span<const std::span<const std::uint8_t>> parts) noexcept {
    if (error_ != 0) return Result::ended;
#ifndef F_SETNOSIGPIPE
    SigpipeBlock block;
#endif
    for (const auto& part : parts) {
        const int r = common::writeAll(fd_, part.data(), part.size());
        if (r == 0) continue;
        if (r == EPIPE) {
#ifndef F_SETNOSIGPIPE
            block.sawBrokenPipe();
#endif
            return Result::readerGone;
        }
        error_ = r;
        return Result::failed;
    }
    return Result::written;
}
