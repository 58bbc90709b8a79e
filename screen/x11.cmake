# Linux binding of capture.h: the X server in $DISPLAY.
add_library(mirvo_screen_capture OBJECT capture_x11.cpp)
target_link_libraries(mirvo_screen_capture PUBLIC mirvo_screen_core)
