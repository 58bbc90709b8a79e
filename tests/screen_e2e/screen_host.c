/* A minimal host of the library, run as a child process by the e2e tests so
 * that they can read its standard error alone: loads the library named by
 * argv[1], starts a capture of argv[2] x argv[3] at argv[4] frames a second
 * into a fresh pipe, and prints "result R fd open|closed" for the start's
 * result and the state of the descriptor it passed. Stops a started capture
 * before it exits. */
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stdout, "usage: screen_host LIBRARY WIDTH HEIGHT FPS\n");
        return 2;
    }
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stdout, "dlopen: %s\n", dlerror());
        return 2;
    }
    /* POSIX's way of turning dlsym's object pointer into a function pointer. */
    int32_t (*start)(int32_t, int32_t, int32_t, int32_t);
    void (*stop)(void);
    *(void**)(&start) = dlsym(lib, "mirvo_sck_start");
    *(void**)(&stop) = dlsym(lib, "mirvo_sck_stop");
    if (!start || !stop) {
        fprintf(stdout, "dlsym: missing export\n");
        return 2;
    }
    int fds[2];
    if (pipe(fds) != 0) return 2;
    const int32_t r = start(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), fds[1]);
    const int open = fcntl(fds[1], F_GETFD) != -1;
    fprintf(stdout, "result %d fd %s\n", (int)r, open ? "open" : "closed");
    fflush(stdout);
    if (r == 0) stop();
    return 0;
}
