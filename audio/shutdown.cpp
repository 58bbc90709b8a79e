#include "shutdown.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "write_all.h"

namespace {

int gWakePipe[2] = {-1, -1};
std::atomic<bool> gRequested{false};

}  // namespace

void initShutdown() {
    if (gWakePipe[0] >= 0) return;
    if (::pipe(gWakePipe) != 0) die("pipe " + std::to_string(errno));
    for (int fd : gWakePipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
}

int shutdownWakeFd() { return gWakePipe[0]; }

void requestShutdown() {
    const int saved = errno;
    gRequested.store(true);
    // One byte is enough to wake the loop; a full pipe already wakes it.
    const char b = 1;
    if (gWakePipe[1] >= 0) (void)!::write(gWakePipe[1], &b, 1);
    errno = saved;
}

bool shutdownRequested() { return gRequested.load(); }

void onSignal(int) { requestShutdown(); }

void die(std::string_view message) {
    std::string line;
    line.reserve(message.size() + 8);
    line.append("pelko: ").append(message).push_back('\n');
    (void)common::writeAll(2, line.data(), line.size(), common::kNoWait);
    std::exit(1);
}
