// Paints the root window of the X server in $DISPLAY for the capture tests.
//
//   mirvo_paint_root                 four solid quadrants of the root's
//                                    current size: red top left, green top
//                                    right, blue bottom left, white bottom
//                                    right; then leaves a child that redraws
//                                    a 32x32 square of the red quadrant at
//                                    (64, 64) in red 100 times a second, so
//                                    the server keeps reporting damage (as a
//                                    desktop does) while the picture stays
//                                    the same; MIRVO_PAINT_REDRAW=0: no child
//   mirvo_paint_root X Y W H RRGGBB  fills one rectangle once
//   mirvo_paint_root X Y W H HZ      fills it HZ times a second, black and
//                                    white in turn, until killed
//   mirvo_paint_root X Y             moves the pointer to (X, Y)
// The redrawing processes end when the server goes away.
//
// The quadrants become the root's background pixmap, kept after we
// disconnect (RetainPermanent), so they survive exposures; the server must
// run with -noreset.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <xcb/xcb.h>

static xcb_connection_t* c;
static xcb_screen_t* s;

static void fill(xcb_drawable_t d, xcb_gcontext_t gc, uint32_t colour, int x, int y, int w,
                 int h) {
    xcb_rectangle_t r = {(int16_t)x, (int16_t)y, (uint16_t)w, (uint16_t)h};
    xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
    xcb_poly_fill_rectangle(c, d, gc, 1, &r);
}

// A round trip, so every request has been carried out; 0 once the
// connection is gone.
static int sync_server(void) {
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), NULL));
    return !xcb_connection_has_error(c);
}

static int connect_server(void) {
    int screen_number = 0;
    c = xcb_connect(NULL, &screen_number);
    if (xcb_connection_has_error(c)) {
        fprintf(stderr, "paint_root: cannot open the X display\n");
        return 0;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (; screen_number > 0 && it.rem; --screen_number) xcb_screen_next(&it);
    s = it.data;
    return 1;
}

// Fills the rectangle in the given colours by turns, every 1/hz s until the
// server goes; or once when hz is 0. 0 on success.
static int redraw(const uint32_t* colours, int n, int x, int y, int w, int h, double hz) {
    xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, s->root, 0, NULL);
    const long ns = hz > 0 ? (long)(1e9 / hz) : 0;
    for (unsigned i = 0;; ++i) {
        fill(s->root, gc, colours[i % n], x, y, w, h);
        const int ok = sync_server();
        if (!ok || ns == 0) return !ok;
        struct timespec t = {ns / 1000000000L, ns % 1000000000L};
        nanosleep(&t, NULL);
    }
}

int main(int argc, char** argv) {
    if (argc != 1 && argc != 3 && argc != 6) {
        fprintf(stderr, "usage: paint_root [X Y W H RRGGBB|HZ | X Y]\n");
        return 2;
    }
    if (!connect_server()) return 1;
    if (argc == 6) {
        const uint32_t turns[2] = {0x000000, 0xffffff}, once = (uint32_t)strtoul(argv[5], NULL, 16);
        const int x = atoi(argv[1]), y = atoi(argv[2]), w = atoi(argv[3]), h = atoi(argv[4]);
        return strlen(argv[5]) == 6 ? redraw(&once, 1, x, y, w, h, 0)
                                    : redraw(turns, 2, x, y, w, h, atof(argv[5]));
    }
    if (argc == 3) {
        xcb_warp_pointer(c, XCB_NONE, s->root, 0, 0, 0, 0, (int16_t)atoi(argv[1]),
                         (int16_t)atoi(argv[2]));
        return sync_server() ? 0 : 1;
    }
    const uint16_t w = s->width_in_pixels, h = s->height_in_pixels;

    xcb_set_close_down_mode(c, XCB_CLOSE_DOWN_RETAIN_PERMANENT);
    xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_create_pixmap(c, s->root_depth, pixmap, s->root, w, h);
    xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, pixmap, 0, NULL);

    // Depth-24 TrueColor pixels are 0xRRGGBB.
    const uint32_t colours[4] = {0xff0000, 0x00ff00, 0x0000ff, 0xffffff};
    for (int q = 0; q < 4; ++q)
        fill(pixmap, gc, colours[q], q % 2 ? w / 2 : 0, q / 2 ? h / 2 : 0,
             q % 2 ? w - w / 2 : w / 2, q / 2 ? h - h / 2 : h / 2);
    xcb_change_window_attributes(c, s->root, XCB_CW_BACK_PIXMAP, &pixmap);
    xcb_clear_area(c, 0, s->root, 0, 0, 0, 0);
    const int failed = !sync_server();
    xcb_disconnect(c);
    const char* keep = getenv("MIRVO_PAINT_REDRAW");
    if (failed || (keep && strcmp(keep, "0") == 0)) return failed;

    // The child must hold none of the caller's descriptors open: a caller
    // may wait for end of file on its output.
    if (fork() != 0) return 0;
    setsid();
    const int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    if (!connect_server()) return 1;
    const uint32_t red = 0xff0000;
    redraw(&red, 1, 64, 64, 32, 32, 100);
    return 0;
}
