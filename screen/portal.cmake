# The Linux binding for Wayland sessions: the desktop portal's ScreenCast
# over sd-bus (libsystemd: a plain C client with descriptor passing and no
# main loop of its own, so nothing is added to the host's process but our
# own connection) and the screen's frames from libpipewire. capture_linux.cpp
# chooses between it and the X11 binding at each call.
pkg_check_modules(MIRVO_PORTAL REQUIRED IMPORTED_TARGET libpipewire-0.3 libsystemd)
target_sources(mirvo_screen_capture PRIVATE capture_linux.cpp capture_portal.cpp
  capture_portal_bus.cpp)
target_link_libraries(mirvo_screen_capture PUBLIC PkgConfig::MIRVO_PORTAL)
