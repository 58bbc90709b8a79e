// The X11 binding's stream state, shared by stream.cpp (the capture.h
// objects, the capture thread's lifecycle) and capture_loop.cpp (what the
// capture thread does).
#pragma once

#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "linux/stream_parts.h"
#include "x11/grab.h"

namespace capture::x11 {

class X11Display : public Display {
public:
    X11Display(std::string name, Monitor m) : server(std::move(name)), monitor(m) {}
    const std::string server;  // the display name the content was read from
    const Monitor monitor;
};

// What the stream, its capture thread and its stop thread share.
struct Core : linux_shared::Callouts {
    Core() : Callouts("mirvo.x11.out") {}
    ~Core() {
        if (wake >= 0) ::close(wake);
    }

    // Fixed before the capture thread starts.
    std::shared_ptr<X11Display> display;
    linux_shared::Configuration config;

    // Capture thread lifecycle.
    std::mutex m;
    std::condition_variable cv;  // stop requested, capture thread done, a buffer came back
    bool started = false;
    bool stopRequested = false;
    bool threadDone = true;
    std::thread::id captureThread;
    int wake = -1;  // eventfd, readable once a stop is requested; made by startCapture

    // Called with m held.
    void requestStop() {
        stopRequested = true;
        cv.notify_all();
        const std::uint64_t one = 1;
        if (wake >= 0 && ::write(wake, &one, sizeof one) < 0) {
            // Only a counter overflow fails, and then the descriptor is readable anyway.
        }
    }
};

// The capture thread's work, from opening the server to the stop or the
// loss: answers `started` once, unless it throws first.
void captureLoop(const std::shared_ptr<Core>& core, const Completion& started);

}  // namespace capture::x11
