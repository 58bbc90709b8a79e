// A program built against an installed libmirvo_sck, through pkg-config and
// through find_package. A start with no reachable X display must return 1
// and leave the descriptor the caller's; a start on the display named in
// argv[1] must return 0 and give one whole frame, then end of file after the
// stop. Prints the top-left quadrant's centre and "consumer: ok"; anything
// else it names and exits 1.
#define _POSIX_C_SOURCE 200809L  // setenv
#include <mirvo_sck.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

enum { W = 64, H = 36, FRAME = W * H * 3 / 2 };  // 16:9 like the display, which fills it

static int fail(const char* what) {
    printf("consumer: %s\n", what);
    return 1;
}

int main(int argc, char** argv) {
    static unsigned char frame[FRAME], sink[65536];
    int p[2];
    if (argc != 2 || pipe(p) != 0) return fail("usage: consumer DISPLAY");
    setenv("DISPLAY", ":65000", 1);  // no such server
    if (mirvo_sck_start(W, H, 10, p[1]) != 1) return fail("start without a display did not return 1");
    if (fcntl(p[1], F_GETFD) == -1) return fail("a failed start closed the caller's descriptor");
    setenv("DISPLAY", argv[1], 1);
    if (mirvo_sck_start(W, H, 10, p[1]) != 0) return fail("start on the display did not return 0");
    for (ssize_t got = 0, n; got < FRAME; got += n) {
        if ((n = read(p[0], frame + got, FRAME - got)) <= 0) return fail("no whole frame");
    }
    mirvo_sck_stop();
    ssize_t n;
    while ((n = read(p[0], sink, sizeof sink)) > 0) {  // frames may still come, then end of file
    }
    if (n != 0) return fail("reading after the stop failed");
    const int x = W / 4, y = H / 4, c = W * H + y / 2 * W + x / 2 * 2;
    printf("consumer: top left Y %d Cb %d Cr %d\nconsumer: ok\n", frame[y * W + x], frame[c],
           frame[c + 1]);
    return 0;
}
