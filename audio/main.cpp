#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "app.h"
#include "shutdown.h"

int main() {
    // A standard descriptor the parent left closed would go to the first
    // descriptor opened here (the wake-up pipe, the sound server's socket),
    // and the PCM with it. /dev/null, read-only, holds each free place:
    // standard input reads end of file, and writes to a closed standard
    // output or error fail with EBADF as they would have.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free descriptor: this one.
        if (::open("/dev/null", O_RDONLY) < 0) die(std::string("/dev/null: ") + std::strerror(errno));
    }
    App::main();
    return 0;
}
