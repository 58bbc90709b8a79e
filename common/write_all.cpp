#include "write_all.h"

#include <cerrno>

#include <poll.h>
#include <unistd.h>

namespace common {
namespace {

// Waits until fd has room, or stopFd (if >= 0) is readable. Returns 0 to
// write, kStopped, or an errno value.
int waitForRoom(int fd, int stopFd) noexcept {
    pollfd fds[2] = {{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
    const nfds_t n = stopFd >= 0 ? 2 : 1;
    for (;;) {
        if (::poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 2 && fds[1].revents != 0) return kStopped;
        if (n == 1 && (fds[0].revents & POLLNVAL) != 0) return EBADF;
        // Any event on fd means trying the write: an error or a hang-up then
        // reports itself, and with a stop descriptor a descriptor poll
        // cannot watch (POLLNVAL, some devices on macOS) degrades to plain
        // blocking writes.
        if (fds[0].revents != 0) return 0;
    }
}

}  // namespace

int writeAll(int fd, iovec* parts, int count, const WritePolicy& policy) noexcept {
    while (count > 0 && parts->iov_len == 0) ++parts, --count;
    while (count > 0) {
        if (policy.stopFd >= 0) {
            if (const int r = waitForRoom(fd, policy.stopFd); r != 0) return r;
        }
        ssize_t w;
        if (policy.chunk != 0 || count == 1) {
            std::size_t n = parts->iov_len;
            if (policy.chunk != 0 && n > policy.chunk) n = policy.chunk;
            w = ::write(fd, parts->iov_base, n);
        } else {
            w = ::writev(fd, parts, count);
        }
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (policy.stopFd >= 0) continue;  // waited on before each write
                if (!policy.waitForRoom) return errno;
                if (const int r = waitForRoom(fd, -1); r != 0) return r;
                continue;
            }
            return errno;
        }
        if (w == 0) return EIO;
        auto left = static_cast<std::size_t>(w);
        while (count > 0 && left >= parts->iov_len) {
            left -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char*>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
        while (count > 0 && parts->iov_len == 0) ++parts, --count;
    }
    return 0;
}

}  // namespace common
