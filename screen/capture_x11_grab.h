// X11 glue of the Linux capture binding: one XCB connection per user, the
// server's monitors, and grabbing one monitor's pixels (with the cursor).
//
// Called by capture_x11.cpp: listMonitors on the content thread, Grabber on
// the capture thread that owns it. Nothing here is shared between threads.
// XCB rather than Xlib because we live inside the host's process: a dying
// server breaks only our connection (xcb_connection_has_error) instead of
// running Xlib's process-wide IO error handler, which exits.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct xcb_connection_t;

namespace x11 {

struct Monitor {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    double refresh = 0;  // frames a second the monitor shows; 0 when the server does not say
};

// The name libxcb resolves when given no name: $DISPLAY, or "" when unset.
std::string defaultDisplayName();

// "cannot open X display \":N\"": the text of every failed connection.
std::string cannotOpenMessage(const std::string& displayName);

// The server's RandR monitors in its own order, or the whole root window as
// one monitor where RandR 1.5 is missing or lists none. A monitor's refresh
// is the fastest current mode among its outputs (virtual servers give modes
// without timings: 0). Fills *error and returns nothing when the server
// cannot be reached.
std::optional<std::vector<Monitor>> listMonitors(const std::string& displayName,
                                                 std::string* error);

// Grabs one rectangle of the root window into 32-bit BGRX pixels.
class Grabber {
public:
    // Fills *error with a readable text and returns null when the server
    // cannot be reached or stores pixels in a layout we do not read.
    // Once wakeFd (-1: none) is readable, grab() stops waiting for the
    // server: a stopped or hung server cannot hold the caller.
    static std::unique_ptr<Grabber> open(const std::string& displayName, Monitor area,
                                         int wakeFd, std::string* error);
    ~Grabber();
    Grabber(const Grabber&) = delete;
    Grabber& operator=(const Grabber&) = delete;

    // The area actually grabbed: the requested one clipped to the root.
    int width() const { return area_.width; }
    int height() const { return area_.height; }

    // Grabs the area and, when asked, draws the cursor over it. Returns
    // pixels valid until the next grab (stride width() * 4), or null when
    // this frame was lost; lost() then tells whether the connection is gone.
    // After wakeFd woke it, every grab returns null at once (the connection
    // may still owe a reply) and lost() stays false.
    const std::uint8_t* grab(bool withCursor);
    bool lost() const;
    bool usesSharedMemory() const { return shmSegment_ != 0; }

private:
    Grabber() = default;
    bool attachSharedMemory();
    void detachSharedMemory();
    bool grabPlain();
    void drawCursor();
    template <class R>
    R* awaitReply(unsigned int sequence);

    xcb_connection_t* conn_ = nullptr;
    std::uint32_t root_ = 0;
    Monitor area_;
    std::size_t bytes_ = 0;
    std::uint32_t shmSegment_ = 0;  // 0: plain GetImage
    int shmId_ = -1;
    std::uint8_t* shmAddr_ = nullptr;
    std::vector<std::uint8_t> plain_;  // used without shared memory
    std::uint8_t* pixels_ = nullptr;
    bool hasXfixes_ = false;
    int wakeFd_ = -1;
    bool woken_ = false;
};

}  // namespace x11
