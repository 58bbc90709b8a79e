# Linux binding of capture.h: the X server in $DISPLAY, through XCB (MIT-SHM,
# RandR, XFixes). Scaling and colour conversion are our own (rgb_nv12.cpp):
# Debian's libyuv converts with BT.601 only and its scalers shift uniform
# areas by a level or two.
find_package(PkgConfig REQUIRED)
pkg_check_modules(MIRVO_XCB REQUIRED IMPORTED_TARGET xcb xcb-shm xcb-randr xcb-xfixes)

add_library(mirvo_screen_capture OBJECT capture_x11.cpp capture_x11_grab.cpp rgb_nv12.cpp)
# Only capture.h is needed from the neutral code, so the binding builds and
# is testable on its own.
target_include_directories(mirvo_screen_capture PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(mirvo_screen_capture PUBLIC PkgConfig::MIRVO_XCB Threads::Threads)
