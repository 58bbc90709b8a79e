// The signals that ask our programs to stop.
#pragma once

#include <csignal>

namespace common {

// SIGINT and SIGTERM.
inline sigset_t stopSignals() noexcept {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace common
