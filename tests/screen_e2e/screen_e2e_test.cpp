// The shipped library end to end, as a host uses it: loaded with dlopen,
// capturing a private Xvfb painted with four quadrants, frames read from a
// pipe; the failure without a server; the exported symbols.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "xvfb_server.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr auto kGuard = 30s;  // against hangs only

struct Library {
    Library() {
        handle = dlopen(MIRVO_SCK_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!handle) return;
        start = reinterpret_cast<std::int32_t (*)(std::int32_t, std::int32_t, std::int32_t,
                                                  std::int32_t)>(dlsym(handle, "mirvo_sck_start"));
        stop = reinterpret_cast<void (*)()>(dlsym(handle, "mirvo_sck_stop"));
    }
    void* handle = nullptr;
    std::int32_t (*start)(std::int32_t, std::int32_t, std::int32_t, std::int32_t) = nullptr;
    void (*stop)() = nullptr;
};

// Reads exactly n bytes, or fewer at end of file or when the guard expires.
std::size_t readFully(int fd, std::uint8_t* out, std::size_t n, Clock::time_point deadline) {
    std::size_t got = 0;
    while (got < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - Clock::now());
        if (left <= 0ms) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        const ssize_t r = read(fd, out + got, n - got);
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    return got;
}

struct Yuv {
    int y, cb, cr;
};

void expectNear(const Yuv& got, const Yuv& want, const char* what, int frame) {
    EXPECT_NEAR(got.y, want.y, 2) << what << " Y, frame " << frame;
    EXPECT_NEAR(got.cb, want.cb, 2) << what << " Cb, frame " << frame;
    EXPECT_NEAR(got.cr, want.cr, 2) << what << " Cr, frame " << frame;
}

TEST(ScreenE2E, StreamsTheQuadrantsAsNv12AndStopEndsTheStream) {
    XvfbServer server;
    ASSERT_FALSE(server.display().empty()) << "Xvfb did not start";
    setenv("DISPLAY", server.display().c_str(), 1);
    Library lib;
    ASSERT_TRUE(lib.start && lib.stop) << dlerror();

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(lib.start(1280, 720, 30, fds[1]), 0);

    constexpr int W = 1280, H = 720;
    constexpr std::size_t kFrame = W * H * 3 / 2;
    static_assert(kFrame == 1382400);
    std::vector<std::uint8_t> frame(kFrame);
    const auto deadline = Clock::now() + kGuard;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(readFully(fds[0], frame.data(), kFrame, deadline), kFrame) << "frame " << i;
        // Quadrant centres, far from the edges and from the cursor in the middle.
        auto at = [&](int x, int y) {
            const std::size_t c = W * H + (y / 2) * W + (x / 2) * 2;
            return Yuv{frame[y * W + x], frame[c], frame[c + 1]};
        };
        expectNear(at(320, 180), {63, 102, 240}, "red", i);
        expectNear(at(960, 180), {173, 42, 26}, "green", i);
        expectNear(at(320, 540), {32, 240, 118}, "blue", i);
        expectNear(at(960, 540), {235, 128, 128}, "white", i);
        if (HasFailure()) break;
    }

    lib.stop();
    // Frames still in flight may arrive; then the library closes its end.
    std::size_t tail = 0;
    bool eof = false;
    const auto stopDeadline = Clock::now() + kGuard;
    while (Clock::now() < stopDeadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 1000) < 0) break;
        if (p.revents == 0) continue;
        const ssize_t r = read(fds[0], frame.data(), frame.size());
        if (r <= 0) {
            eof = r == 0;
            break;
        }
        tail += static_cast<std::size_t>(r);
    }
    EXPECT_TRUE(eof) << "no end of file after stop";
    EXPECT_EQ(tail % kFrame, 0u) << "a partial frame after stop";
    close(fds[0]);
}

// Runs the host program with DISPLAY set; returns its stdout and stderr.
struct HostRun {
    std::string out, err;
    int status = -1;
};

HostRun runHost(const std::string& display, const char* w, const char* h, const char* fps) {
    HostRun run;
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("DISPLAY=", 0) != 0) env.emplace_back(*e);
    env.push_back("DISPLAY=" + display);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(MIRVO_SCREEN_HOST), const_cast<char*>(MIRVO_SCK_LIBRARY),
                    const_cast<char*>(w), const_cast<char*>(h), const_cast<char*>(fps), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, MIRVO_SCREEN_HOST, &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (spawned == 0) {
        const auto deadline = Clock::now() + kGuard;
        std::vector<std::uint8_t> buf(4096);
        for (auto [fd, text] : {std::pair{out[0], &run.out}, std::pair{err[0], &run.err}}) {
            for (;;) {
                const std::size_t n = readFully(fd, buf.data(), 1, deadline);
                if (n == 0) break;
                text->push_back(static_cast<char>(buf[0]));
            }
        }
        waitpid(pid, &run.status, 0);
    }
    close(out[0]);
    close(err[0]);
    return run;
}

TEST(ScreenE2E, WithoutAServerStartFailsWithOneLineAndLeavesTheDescriptor) {
    const HostRun run = runHost(":unused", "1280", "720", "30");
    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(WEXITSTATUS(run.status), 0);
    EXPECT_EQ(run.out, "result 1 fd open\n");
    EXPECT_EQ(run.err, "sck-video: cannot open X display \":unused\"\n");
}

TEST(ScreenE2E, HostProgramStartsAndStopsCleanly) {
    XvfbServer server;
    ASSERT_FALSE(server.display().empty()) << "Xvfb did not start";
    const HostRun run = runHost(server.display(), "640", "360", "30");
    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(run.out, "result 0 fd open\n");
    EXPECT_EQ(run.err, "");
}

TEST(ScreenE2E, ExportsExactlyTheTwoFunctions) {
    const std::string cmd = std::string("nm -D --defined-only '") + MIRVO_SCK_LIBRARY + "'";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_TRUE(p);
    std::set<std::string> names;
    char line[512];
    while (std::fgets(line, sizeof line, p)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
        const auto space = s.rfind(' ');
        names.insert(space == std::string::npos ? s : s.substr(space + 1));
    }
    ASSERT_EQ(pclose(p), 0);
    EXPECT_EQ(names, (std::set<std::string>{"mirvo_sck_start", "mirvo_sck_stop"}));
}

}  // namespace
