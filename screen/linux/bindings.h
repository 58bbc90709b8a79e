// The Linux bindings of capture.h and the choice between them.
//
// Two bindings serve Linux: x11/ grabs the X server in $DISPLAY, wayland/
// asks the desktop portal's ScreenCast interface on the session bus for a
// monitor and reads it from PipeWire (what a Wayland compositor offers).
// capture_linux.cpp defines the capture.h functions and forwards each call
// that differs to the binding the environment chooses; each binding makes
// and accepts only its own content, filters and streams. Both share linux/:
// the configuration, the serial queue, the frame pool and the stream parts,
// so capture_linux.cpp makes configurations and queues itself.
#pragma once

#include <memory>

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
    std::shared_ptr<Stream> makeStream(std::shared_ptr<ContentFilter> filter,                \
                                       std::shared_ptr<StreamConfiguration> configuration,   \
                                       std::shared_ptr<StreamDelegate> delegate);

namespace x11 {
MIRVO_CAPTURE_BINDING_FUNCTIONS
}  // namespace x11

namespace wayland {
MIRVO_CAPTURE_BINDING_FUNCTIONS
}  // namespace wayland

#undef MIRVO_CAPTURE_BINDING_FUNCTIONS

}  // namespace capture
