/* A C program built against an installed libmirvo_sck, once through
 * pkg-config and once through find_package. It proves the install is usable
 * by checking two real outcomes:
 *   1. with no X display reachable, mirvo_sck_start returns 1 and the
 *      descriptor is still the caller's (open);
 *   2. with the display in $DISPLAY (a private Xvfb showing red, green /
 *      blue, white quadrants), it returns 0 and a whole frame arrives whose
 *      top-left quadrant is red; after mirvo_sck_stop the stream reaches end of
 *      file.
 * Prints "consumer: ok" and exits 0 on success, else names what went wrong
 * and exits 1. */
#define _POSIX_C_SOURCE 200809L /* setenv, strdup */
#include <mirvo_sck.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* 16:9 like the test display, so the picture fills the frame. */
enum { W = 64, H = 36, FRAME = W * H * 3 / 2 };

static int fail(const char* what) {
    fprintf(stdout, "consumer: %s\n", what);
    return 1;
}

static int near(int v, int want) { return v >= want - 2 && v <= want + 2; }

int main(void) {
    const char* display = getenv("DISPLAY");
    if (!display) return fail("DISPLAY must name the test's X server");
    char* saved = strdup(display);

    int p[2];
    if (pipe(p) != 0) return fail("pipe");
    setenv("DISPLAY", ":65000", 1); /* no such server */
    if (mirvo_sck_start(W, H, 10, p[1]) != 1) return fail("start without a display did not return 1");
    if (fcntl(p[1], F_GETFD) == -1) return fail("a failed start closed the caller's descriptor");
    close(p[0]);
    close(p[1]);

    setenv("DISPLAY", saved, 1);
    if (pipe(p) != 0) return fail("pipe");
    if (mirvo_sck_start(W, H, 10, p[1]) != 0) return fail("start on the test display did not return 0");
    static unsigned char frame[FRAME];
    size_t got = 0;
    while (got < FRAME) {
        const ssize_t n = read(p[0], frame + got, FRAME - got);
        if (n <= 0) return fail("the stream ended before one whole frame");
        got += (size_t)n;
    }
    mirvo_sck_stop();
    /* Frames may still come after the stop; then end of file. */
    unsigned char sink[65536];
    ssize_t n;
    while ((n = read(p[0], sink, sizeof sink)) > 0) {
    }
    if (n != 0) return fail("reading after the stop failed");
    /* The red quadrant's centre, in BT.709 video range: Y 63, Cb 102, Cr 240. */
    const int x = W / 4, yy = H / 4;
    const int c = W * H + (yy / 2) * W + (x / 2) * 2;
    const int y = frame[yy * W + x], cb = frame[c], cr = frame[c + 1];
    printf("consumer: red quadrant Y %d Cb %d Cr %d\n", y, cb, cr);
    if (!near(y, 63) || !near(cb, 102) || !near(cr, 240)) return fail("the top-left quadrant is not red");
    printf("consumer: ok\n");
    free(saved);
    return 0;
}
