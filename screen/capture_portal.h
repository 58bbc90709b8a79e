// Linux bindings of capture.h and the choice between them.
//
// Two bindings serve Linux: capture_x11.cpp grabs the X server in $DISPLAY,
// capture_portal*.cpp asks the desktop portal's ScreenCast interface on the
// session bus for a monitor and reads it from PipeWire (what a Wayland
// compositor offers). capture_linux.cpp defines the capture.h functions and
// forwards each call to the binding the environment chooses; each binding
// makes and accepts only its own objects.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "capture.h"

namespace capture {

// The binding a call goes to: MIRVO_SCREEN_BINDING=x11 or =portal when set,
// else the portal in a Wayland session (WAYLAND_DISPLAY set, or
// XDG_SESSION_TYPE=wayland), else X11. The same environment always gives
// the same answer.
bool usePortal();

#define MIRVO_CAPTURE_BINDING_FUNCTIONS                                                      \
    void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,          \
                             ContentCompletion completion);                                  \
    std::shared_ptr<ContentFilter> makeContentFilter(std::shared_ptr<Display> display);      \
    std::shared_ptr<StreamConfiguration> makeStreamConfiguration();                          \
    std::shared_ptr<Queue> makeSerialQueue(const std::string& label);                        \
    std::shared_ptr<Stream> makeStream(std::shared_ptr<ContentFilter> filter,                \
                                       std::shared_ptr<StreamConfiguration> configuration,   \
                                       std::shared_ptr<StreamDelegate> delegate);

namespace x11b {
MIRVO_CAPTURE_BINDING_FUNCTIONS
}  // namespace x11b

namespace portal {
MIRVO_CAPTURE_BINDING_FUNCTIONS

// One ScreenCast session the portal has granted: a monitor's PipeWire node
// and a connection to PipeWire that reaches it. The session lasts as long
// as this object (its D-Bus connection) or until close().
//
// open() runs on the content thread; afterwards the object belongs to one
// capture thread at a time.
class Session {
public:
    // CreateSession, SelectSources (one monitor; the cursor drawn into the
    // picture when embedCursor and the portal can; persistent permission
    // with the restore token kept from the last grant), Start, then
    // OpenPipeWireRemote. Null with *error when the portal is missing,
    // fails, or the user declines.
    static std::unique_ptr<Session> open(bool embedCursor, std::string* error);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    std::uint32_t node() const { return node_; }
    // The PipeWire connection, once; -1 afterwards.
    int takePipeWireFd();

    // Watching the session during the capture: poll busFd() for input, then
    // call dispatch(). It returns false, with *why, once the portal has
    // closed the session, left the bus, or the bus connection is lost.
    int busFd() const;
    bool dispatch(std::string* why);

    // Closes the portal session and the bus connection; idempotent.
    void close();

    struct Impl;

private:
    Session() = default;
    std::unique_ptr<Impl> impl_;
    std::uint32_t node_ = 0;
    int pipewireFd_ = -1;
};

// Where the restore token is kept: $XDG_STATE_HOME/mirvo/screencast-restore-token
// ($HOME/.local/state when XDG_STATE_HOME is unset); empty without either.
std::string restoreTokenPath();
}  // namespace portal

#undef MIRVO_CAPTURE_BINDING_FUNCTIONS

}  // namespace capture
