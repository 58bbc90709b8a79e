#include "diag.h"

#include <cerrno>
#include <cstddef>

#include <sys/uio.h>
#include <unistd.h>

namespace diag {

void line(std::string_view text) noexcept {
    static constexpr char kPrefix[] = "sck-video: ";
    static constexpr char kEnd[] = "\n";
    // Gathered, so the line reaches the descriptor in a single write and
    // cannot interleave with another writer's output.
    iovec parts[3] = {
        {const_cast<char*>(kPrefix), sizeof kPrefix - 1},
        {const_cast<char*>(text.data()), text.size()},
        {const_cast<char*>(kEnd), 1},
    };
    iovec* p = parts;
    int count = 3;
    while (count > 0) {
        const ssize_t w = ::writev(STDERR_FILENO, p, count);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere left to report to
        }
        // A short write: go on with what is left.
        auto left = static_cast<std::size_t>(w);
        while (count > 0 && left >= p->iov_len) {
            left -= p->iov_len;
            ++p;
            --count;
        }
        if (count > 0) {
            p->iov_base = static_cast<char*>(p->iov_base) + left;
            p->iov_len -= left;
        }
    }
}

}  // namespace diag
