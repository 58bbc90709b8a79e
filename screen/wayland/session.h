// The desktop portal's side of the Wayland binding (portal_bus.cpp): the
// ScreenCast handshake over the session bus and the session it grants.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace capture::wayland {

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

}  // namespace capture::wayland
