/* Paints the root window of the X server in $DISPLAY with four solid
 * quadrants: red top left, green top right, blue bottom left, white bottom
 * right. Run once by xvfb-server.sh for the capture tests.
 *
 * The pattern becomes the root's background pixmap and the pixmap is kept
 * after we disconnect (RetainPermanent), so it survives exposures; the
 * server must run with -noreset. */
#include <stdio.h>
#include <stdlib.h>
#include <xcb/xcb.h>

int main(void) {
    int screen_number = 0;
    xcb_connection_t* c = xcb_connect(NULL, &screen_number);
    if (xcb_connection_has_error(c)) {
        fprintf(stderr, "paint_root: cannot open the X display\n");
        return 1;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (; screen_number > 0 && it.rem; --screen_number) xcb_screen_next(&it);
    xcb_screen_t* s = it.data;
    const uint16_t w = s->width_in_pixels, h = s->height_in_pixels;

    xcb_set_close_down_mode(c, XCB_CLOSE_DOWN_RETAIN_PERMANENT);
    xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_create_pixmap(c, s->root_depth, pixmap, s->root, w, h);
    xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, pixmap, 0, NULL);

    /* Depth-24 TrueColor pixels are 0xRRGGBB. */
    const uint32_t colours[4] = {0xff0000, 0x00ff00, 0x0000ff, 0xffffff};
    for (int q = 0; q < 4; ++q) {
        xcb_rectangle_t r = {(int16_t)(q % 2 ? w / 2 : 0), (int16_t)(q / 2 ? h / 2 : 0),
                             (uint16_t)(q % 2 ? w - w / 2 : w / 2),
                             (uint16_t)(q / 2 ? h - h / 2 : h / 2)};
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colours[q]);
        xcb_poly_fill_rectangle(c, pixmap, gc, 1, &r);
    }
    xcb_change_window_attributes(c, s->root, XCB_CW_BACK_PIXMAP, &pixmap);
    xcb_clear_area(c, 0, s->root, 0, 0, 0, 0);

    /* A round trip, so every request has been carried out before we go. */
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), NULL));
    const int failed = xcb_connection_has_error(c);
    xcb_disconnect(c);
    return failed ? 1 : 0;
}
