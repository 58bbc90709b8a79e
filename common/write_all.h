// The one loop every writer of ours goes through to put whole buffers on a
// descriptor: the PCM stream, the frames, the diagnostic lines and the
// audio program's last words.
//
// A write is retried after EINTR and continued after a short write, so the
// reader never sees part of a buffer followed by something else. The
// descriptor's mode is the caller's (often the host's): it is never changed.
// SIGPIPE is the caller's business too; a vanished reader comes back as
// EPIPE where the signal is ignored or blocked.
#pragma once

#include <cstddef>

#include <sys/uio.h>

namespace common {

struct WritePolicy {
    // When >= 0: before each write, wait until fd has room or stopFd is
    // readable, and give up with kStopped once it is. Nothing drains it.
    int stopFd = -1;
    // Most bytes per write call; 0 for no limit. With a stop descriptor and
    // PIPE_BUF here, a write to a pipe cannot block, however the host set it up.
    std::size_t chunk = 0;
    // EAGAIN (a non-blocking descriptor): wait for room (true) or give up
    // with EAGAIN (false).
    bool waitForRoom = true;
};

// Gives up at once on a full non-blocking descriptor: for last words and
// diagnostics, which must not hold their thread.
inline constexpr WritePolicy kNoWait{.stopFd = -1, .chunk = 0, .waitForRoom = false};

// writeAll's result when the stop descriptor made it give up.
inline constexpr int kStopped = -1;

// Writes the count buffers of parts in order and in full; parts is used up
// (advanced) as it goes. Without a chunk limit the buffers go out gathered,
// so on a pipe a line of up to PIPE_BUF bytes arrives in one piece. Returns
// 0, kStopped, or the errno value that ended it (EIO for a write that took
// nothing, EBADF for a descriptor poll calls invalid). Thread-safe on
// distinct buffers.
int writeAll(int fd, iovec* parts, int count, const WritePolicy& policy = {}) noexcept;

// One buffer.
inline int writeAll(int fd, const void* data, std::size_t size,
                    const WritePolicy& policy = {}) noexcept {
    iovec one{const_cast<void*>(data), size};
    return writeAll(fd, &one, 1, policy);
}

}  // namespace common
