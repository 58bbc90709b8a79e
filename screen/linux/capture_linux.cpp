// The capture.h functions on Linux: each call goes to the binding the
// environment chooses (linux/bindings.h), the X server's or the desktop
// portal's; configurations and queues, the same for both, are made here.
// Content, filters and streams made by one binding mean nothing to the other.
#include <cstdlib>
#include <cstring>

#include "linux/bindings.h"
#include "linux/serial_queue.h"
#include "linux/stream_parts.h"

namespace capture {

bool usePortal() {
    if (const char* forced = std::getenv("MIRVO_SCREEN_BINDING"); forced && *forced)
        return std::strcmp(forced, "portal") == 0;
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* session = std::getenv("XDG_SESSION_TYPE");
    return (wayland && *wayland) || (session && std::strcmp(session, "wayland") == 0);
}

void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                         ContentCompletion completion) {
    if (usePortal())
        wayland::getShareableContent(excludeDesktopWindows, onScreenWindowsOnly,
                                    std::move(completion));
    else
        x11::getShareableContent(excludeDesktopWindows, onScreenWindowsOnly,
                                  std::move(completion));
}

std::shared_ptr<ContentFilter> makeContentFilter(std::shared_ptr<Display> display) {
    return usePortal() ? wayland::makeContentFilter(std::move(display))
                       : x11::makeContentFilter(std::move(display));
}

std::shared_ptr<StreamConfiguration> makeStreamConfiguration() {
    return std::make_shared<linux_shared::Configuration>();
}

std::shared_ptr<Queue> makeSerialQueue(const std::string& label) {
    return std::make_shared<linux_shared::SerialQueue>(label);
}

std::shared_ptr<Stream> makeStream(std::shared_ptr<ContentFilter> filter,
                                   std::shared_ptr<StreamConfiguration> configuration,
                                   std::shared_ptr<StreamDelegate> delegate) {
    return usePortal() ? wayland::makeStream(std::move(filter), std::move(configuration),
                                            std::move(delegate))
                       : x11::makeStream(std::move(filter), std::move(configuration),
                                          std::move(delegate));
}

}  // namespace capture
