# Linux binding of capture.h: the X server in $DISPLAY, through XCB (MIT-SHM,
# RandR, XFixes, Damage). Scaling and colour conversion come from pixel/.

find_package(PkgConfig REQUIRED)
pkg_check_modules(MIRVO_XCB REQUIRED IMPORTED_TARGET xcb xcb-shm xcb-randr xcb-xfixes
  xcb-damage)

add_library(mirvo_screen_capture OBJECT capture_x11.cpp capture_x11_grab.cpp)
# Only capture.h is needed from the neutral code, so the binding builds and
# is testable on its own.
target_include_directories(mirvo_screen_capture PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(mirvo_screen_capture PUBLIC mirvo_pixel PkgConfig::MIRVO_XCB
  Threads::Threads)
include(portal.cmake)  # the portal binding and the choice between the two
