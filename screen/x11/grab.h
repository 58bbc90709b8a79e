// X11 glue of the Linux capture binding: one XCB connection per user, the
// server's monitors, and grabbing one monitor's pixels (with the cursor):
// only the rows that changed, told by the server's damage reports, the
// cursor's shape notifications and the pointer's position.
//
// Called by capture_loop.cpp and stream.cpp: listMonitors on the content thread, Grabber on
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

#include "free_deleter.h"

struct xcb_connection_t;

namespace capture::x11 {

// Every XCB reply and error is malloc'ed and ours to free.
template <class T>
using Reply = std::unique_ptr<T, common::FreeDeleter>;

struct Monitor {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    double refresh = 0;  // frames a second the monitor shows; 0 when the server does not say
    std::uint32_t name = 0;  // the RandR monitor's name atom; 0 for the whole root window
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

// The area of the root that a monitor covers, clipped to the root's size.
Monitor clipToRoot(const Monitor& m, int rootWidth, int rootHeight);

// Grabs one monitor of the root window into 32-bit BGRX pixels, and follows
// it: its pixels are kept in one image that each grab brings up to date.
class Grabber {
public:
    // Fills *error with a readable text and returns null when the server
    // cannot be reached or stores pixels in a layout we do not read.
    // Once wakeFd (-1: none) is readable, no call waits for the server any
    // longer: a stopped or hung server cannot hold the caller.
    static std::unique_ptr<Grabber> open(const std::string& displayName, Monitor area,
                                         int wakeFd, std::string* error);
    ~Grabber();
    Grabber(const Grabber&) = delete;
    Grabber& operator=(const Grabber&) = delete;

    // The area grabbed: the monitor clipped to the root.
    int width() const { return area_.width; }
    int height() const { return area_.height; }

    enum class Wake {
        change,  // the picture or the cursor may have changed: grab
        layout,  // the screen's size or monitors changed: call followLayout()
        stop,    // wakeFd became readable
        lost,    // the connection is gone
    };
    // Waits for something to grab. Without the server's damage reports
    // every call is a change. With cursorPollMs >= 0 the pointer is also
    // looked at that often, and its move over the area is a change.
    Wake waitForChange(int cursorPollMs);

    enum class Layout { same, moved, gone };
    // Reads the monitor's place again (by its name; the whole root for a
    // root grabber). moved: the area changed and the next grab is whole.
    // gone: the monitor is no longer listed or lies outside the root.
    Layout followLayout();

    // Brings the image up to date and, when asked, draws the cursor over it.
    // Returns pixels valid until the next grab (stride width() * 4), and in
    // *firstRow, *endRow the rows that differ from the previous grab's
    // (empty when nothing did; every row at the first grab and after a
    // move). Null when this frame was lost; lost() then tells whether the
    // connection is gone. After wakeFd woke it, every call returns at once
    // (the connection may still owe a reply) and lost() stays false.
    const std::uint8_t* grab(bool withCursor, int* firstRow, int* endRow);
    bool lost() const;
    bool usesSharedMemory() const { return shmSegment_ != 0; }
    bool watchesDamage() const { return damage_ != 0; }

private:
    struct Box {
        int x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // [x0, x1) x [y0, y1)
        bool empty() const { return x1 <= x0 || y1 <= y0; }
    };
    Grabber() = default;
    bool makeImage();
    bool attachSharedMemory();
    void detachSharedMemory();
    void watch();
    void handle(const void* event);
    bool damagedRows(int* y0, int* y1);
    bool grabRows(int y0, int y1);
    bool grabPlain(int y0, int y1);
    void restoreUnderCursor();
    Box drawCursor(bool* changed);
    // What xcb_wait_for_reply does, except that it also gives up once
    // wakeFd_ is readable. Returns the reply, or null (an error reply, whose
    // code goes to *errorCode, a broken connection, or woken_).
    void* awaitAny(unsigned int sequence, int* errorCode);
    template <class R>
    R* awaitReply(unsigned int sequence, int* errorCode = nullptr) {
        return static_cast<R*>(awaitAny(sequence, errorCode));
    }

    xcb_connection_t* conn_ = nullptr;
    std::string displayName_;
    std::uint32_t root_ = 0;
    std::uint32_t monitorName_ = 0;
    Monitor area_;
    std::size_t bytes_ = 0;
    bool wantShm_ = false;
    std::uint32_t shmSegment_ = 0;  // 0: plain GetImage
    int shmId_ = -1;
    std::uint8_t* shmAddr_ = nullptr;
    std::vector<std::uint8_t> plain_;  // used without shared memory
    std::uint8_t* pixels_ = nullptr;
    bool hasXfixes_ = false;
    int wakeFd_ = -1;
    bool woken_ = false;

    // What the server told us since the last look.
    std::uint32_t damage_ = 0;  // 0: no damage reports, every grab is whole
    std::uint32_t region_ = 0;
    int damageEvent_ = -1, xfixesEvent_ = -1, randrEvent_ = -1;
    bool damaged_ = true, cursorShape_ = true, layout_ = false, whole_ = true;

    // The cursor as drawn into the image at the last grab, and the pixels
    // it covers.
    bool cursorDrawn_ = false;
    Box cursorBox_;
    int pointerX_ = -1, pointerY_ = -1;  // root coordinates at the last grab
    std::uint32_t cursorSerial_ = 0;
    int cursorW_ = 64, cursorH_ = 64, hotX_ = 32, hotY_ = 32;
    std::vector<std::uint8_t> under_;
};

}  // namespace capture::x11
