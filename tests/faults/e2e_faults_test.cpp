// Faults end to end on the Linux bindings, each test with its own private
// servers: the library loaded by a host (a forked child, so its standard
// error, exit status and death are its own) capturing a private Xvfb whose
// reader goes away or whose server is killed; the audio program under bursts
// of stop signals and with its sound server killed outright.
//
// Covered elsewhere, not repeated here: the audio program's reader closing
// its pipe (AudioE2EEnding.ReaderClosingThePipeEndsTheProgramInOrder), the
// sound server stopping (AudioE2EEnding.ServerGoingAwayEndsTheCapture...),
// the X binding losing its server (CaptureX11.ServerGoingAwayStopsTheStream
// WithOneError), non-blocking and interrupted writes of the sink
// (TapWrites.*), and one signal during setup or teardown against the fake
// (Shutdown.*).
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "private_pulse.h"

#include "child.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// --- the library in a host ----------------------------------------------------

struct Library {
    Library() {
        handle = ::dlopen(MIRVO_SCK_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!handle) return;
        start = reinterpret_cast<std::int32_t (*)(std::int32_t, std::int32_t, std::int32_t,
                                                  std::int32_t)>(::dlsym(handle, "mirvo_sck_start"));
        stop = reinterpret_cast<void (*)()>(::dlsym(handle, "mirvo_sck_stop"));
    }
    void* handle = nullptr;
    std::int32_t (*start)(std::int32_t, std::int32_t, std::int32_t, std::int32_t) = nullptr;
    void (*stop)() = nullptr;
};

constexpr int kW = 320, kH = 240;
constexpr std::size_t kFrame = kW * kH * 3 / 2;

// Reads n bytes unless end of file or the guard comes first.
std::size_t readFor(int fd, std::size_t n, std::chrono::seconds guard) {
    const auto deadline = Clock::now() + guard;
    std::vector<std::uint8_t> buf(65536);
    std::size_t got = 0;
    while (got < n && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) continue;
        const ssize_t r = ::read(fd, buf.data(), std::min(buf.size(), n - got));
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    return got;
}

// Whether the reader reaches end of file within the guard.
bool reachesEof(int fd, std::chrono::seconds guard) {
    const auto deadline = Clock::now() + guard;
    char buf[65536];
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) continue;
        const ssize_t r = ::read(fd, buf, sizeof buf);
        if (r == 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
    return false;
}

// Whether descriptor fd gets closed (by the library) within the guard.
bool getsClosed(int fd, std::chrono::seconds guard) {
    const auto deadline = Clock::now() + guard;
    while (Clock::now() < deadline) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// A private Xvfb, started and painted by scripts/xvfb-server.sh and from
// then on held by its process id alone. The script's pid file is named by
// display number in a shared directory, and the number of a server killed
// here can be taken at once by anyone's next server; stopping through that
// file could then end someone else's.
class PrivateXvfb {
public:
    PrivateXvfb() {
        const std::string cmd = std::string("'") + MIRVO_XVFB_SCRIPT + "' start '" + MIRVO_PAINTER + "'";
        if (FILE* p = ::popen(cmd.c_str(), "r")) {
            char line[64] = {};
            if (std::fgets(line, sizeof line, p)) display_ = line;
            while (!display_.empty() && (display_.back() == '\n' || display_.back() == '\r'))
                display_.pop_back();
            if (::pclose(p) != 0) display_.clear();
        }
        if (display_.empty()) return;
        const char* tmp = std::getenv("TMPDIR");
        const std::string base = std::string(tmp ? tmp : "/tmp") + "/mirvo-xvfb" + display_;
        std::ifstream(base + ".pid") >> pid_;
        std::remove((base + ".pid").c_str());
        std::remove((base + ".log").c_str());
    }
    ~PrivateXvfb() {
        if (pid_ <= 0 || killed_) return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 100 && ::kill(pid_, 0) == 0; ++i) std::this_thread::sleep_for(50ms);
        if (::kill(pid_, 0) == 0) ::kill(pid_, SIGKILL);
    }
    PrivateXvfb(const PrivateXvfb&) = delete;
    PrivateXvfb& operator=(const PrivateXvfb&) = delete;

    const std::string& display() const { return display_; }
    pid_t pid() const { return pid_; }
    // The test killed the server itself (in a child): nothing left to stop.
    void markKilled() { killed_ = true; }

private:
    std::string display_;
    pid_t pid_ = -1;
    bool killed_ = false;
};

// Runs body as a host in a forked child; what it says goes to its stdout.
testing_support::ChildResult host(const std::function<void()>& body) {
    return testing_support::runChild([](int) {}, body);
}

class LibraryFaults : public ::testing::TestWithParam<bool> {};

// The reader goes away mid-stream: the library goes on converting (writes
// fail quietly), the host is not killed whether or not it ignores SIGPIPE,
// and stop still closes the descriptor.
TEST_P(LibraryFaults, ReaderClosingEarlyLeavesTheHostAliveAndStopStillCloses) {
    PrivateXvfb xvfb;
    ASSERT_FALSE(xvfb.display().empty());
    const bool ignoreSigpipe = GetParam();
    const auto r = host([&] {
        ::setenv("DISPLAY", xvfb.display().c_str(), 1);
        ::signal(SIGPIPE, ignoreSigpipe ? SIG_IGN : SIG_DFL);
        Library lib;
        if (!lib.start) { std::printf("no library\n"); return; }
        int p[2];
        if (::pipe(p) != 0) return;
        if (lib.start(kW, kH, 30, p[1]) != 0) { std::printf("start failed\n"); return; }
        if (readFor(p[0], 2 * kFrame, 30s) != 2 * kFrame) std::printf("no frames\n");
        ::close(p[0]);
        std::this_thread::sleep_for(1500ms);  // frames keep coming and fail to write
        std::printf("%s\n", ::fcntl(p[1], F_GETFD) >= 0 ? "open while running" : "closed early");
        lib.stop();
        std::printf("%s\n", getsClosed(p[1], 30s) ? "closed after stop" : "still open");
        std::fflush(stdout);
    });
    EXPECT_TRUE(r.exited) << "host killed by signal " << r.termSignal;
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "open while running\nclosed after stop\n");
    EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Sigpipe, LibraryFaults, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return std::string(i.param ? "Ignored" : "Default");
                         });

// The X server is killed while frames flow: exactly one line, the host
// lives, and stop still ends the stream and closes the descriptor.
TEST(LibraryServerLoss, XServerKilledGivesOneLineAndStopStillCloses) {
    PrivateXvfb xvfb;
    ASSERT_FALSE(xvfb.display().empty());
    ASSERT_GT(xvfb.pid(), 0);
    const std::string display = xvfb.display();
    const pid_t server = xvfb.pid();
    const auto r = host([&] {
        ::setenv("DISPLAY", display.c_str(), 1);
        Library lib;
        int p[2];
        if (!lib.start || ::pipe(p) != 0) return;
        if (lib.start(kW, kH, 30, p[1]) != 0) { std::printf("start failed\n"); return; }
        if (readFor(p[0], 2 * kFrame, 30s) != 2 * kFrame) std::printf("no frames\n");
        ::kill(server, SIGKILL);
        // Drain what was in flight; the stream then stays quiet.
        std::this_thread::sleep_for(2s);
        lib.stop();
        std::printf("%s\n", reachesEof(p[0], 30s) ? "end of file after stop" : "no end of file");
        std::fflush(stdout);
    });
    xvfb.markKilled();
    EXPECT_TRUE(r.exited) << "host killed by signal " << r.termSignal;
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "end of file after stop\n");
    EXPECT_EQ(r.err, "sck-video: lost the connection to X display \"" + display + "\"\n");
}

// A hundred start/stop cycles on a real X server: after a warm-up, no
// descriptor, thread or resident memory is left behind.
TEST(LibraryCycles, AHundredAgainstXvfbLeaveNothingBehind) {
    PrivateXvfb xvfb;
    ASSERT_FALSE(xvfb.display().empty());
    const auto r = host([&] {
        ::setenv("DISPLAY", xvfb.display().c_str(), 1);
        Library lib;
        if (!lib.start) return;
        auto cycle = [&] {
            int p[2];
            if (::pipe(p) != 0) return false;
            const bool ok = lib.start(kW, kH, 30, p[1]) == 0 && readFor(p[0], kFrame, 30s) == kFrame;
            lib.stop();
            const bool eof = reachesEof(p[0], 30s);
            ::close(p[0]);
            return ok && eof;
        };
        auto usage = [] {
            // Stop tasks end just after the stream is released.
            std::this_thread::sleep_for(300ms);
            int fds = 0, threads = 0;
            for (auto& e : std::filesystem::directory_iterator("/proc/self/fd")) fds += !e.path().empty();
            for (auto& e : std::filesystem::directory_iterator("/proc/self/task")) threads += !e.path().empty();
            long size = 0, resident = 0;
            std::ifstream("/proc/self/statm") >> size >> resident;
            return std::vector<long>{fds, threads, resident * (::sysconf(_SC_PAGESIZE) / 1024)};
        };
        for (int i = 0; i < 10; ++i)
            if (!cycle()) { std::printf("warm-up cycle %d failed\n", i); return; }
        const auto before = usage();
        for (int i = 0; i < 100; ++i)
            if (!cycle()) { std::printf("cycle %d failed\n", i); return; }
        const auto after = usage();
        std::printf("fds %ld -> %ld, threads %ld -> %ld, rss %ld -> %ld KiB\n", before[0], after[0],
                    before[1], after[1], before[2], after[2]);
        std::fflush(stdout);
    });
    ASSERT_TRUE(r.exited) << "host killed by signal " << r.termSignal;
    long fd0, fd1, th0, th1, rss0, rss1;
    ASSERT_EQ(std::sscanf(r.out.c_str(), "fds %ld -> %ld, threads %ld -> %ld, rss %ld -> %ld KiB", &fd0,
                          &fd1, &th0, &th1, &rss0, &rss1),
              6)
        << r.out;
    EXPECT_EQ(fd1, fd0);
    EXPECT_EQ(th1, th0);
#if defined(__has_feature)
#if !__has_feature(address_sanitizer) && !__has_feature(thread_sanitizer)
    EXPECT_LE(rss1, rss0 + 2048) << r.out;  // quarantines grow under sanitizers by design
#endif
#else
    EXPECT_LE(rss1, rss0 + 2048) << r.out;
#endif
    EXPECT_EQ(r.err, "");
}

// --- the audio program ---------------------------------------------------------

std::string shell(const std::string& command, bool* ok = nullptr) {
    std::string out;
    if (FILE* f = ::popen(command.c_str(), "r")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
        const int st = ::pclose(f);
        if (ok) *ok = WIFEXITED(st) && WEXITSTATUS(st) == 0;
    }
    return out;
}

class AudioFaults : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.start("mirvo-faults"))
            << "no private sound server; see " << server_.dir() << "/server.log";
        dir_ = server_.dir();
    }
    void TearDown() override {
        server_.stop();
        if (!HasFailure()) server_.removeDir();
    }

    // Starts the program with stdout and stderr on pipes and default
    // signal handling.
    void launch() {
        int out[2], err[2];
        ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
        ASSERT_EQ(::pipe2(err, O_CLOEXEC), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::signal(SIGPIPE, SIG_DFL);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::execl(MIRVO_AUDIO_PROGRAM, MIRVO_AUDIO_PROGRAM, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
        ::fcntl(out_, F_SETFL, O_NONBLOCK);
    }

    // Reads standard output until `bytes` have come, or the guard expires.
    std::size_t readOut(std::size_t bytes, std::chrono::seconds guard) {
        const auto deadline = Clock::now() + guard;
        char buf[65536];
        while (got_ < bytes && Clock::now() < deadline) {
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            const ssize_t r = ::read(out_, buf, sizeof buf);
            if (r == 0) break;
            if (r > 0) got_ += static_cast<std::size_t>(r);
        }
        return got_;
    }

    // Keeps reading stdout (so a write never blocks the program) until it
    // exits; then the wait status and all of stderr.
    std::optional<int> finish(std::chrono::seconds guard) {
        const auto deadline = Clock::now() + guard;
        int st = 0;
        while (::waitpid(pid_, &st, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &st, 0);
                return std::nullopt;
            }
            readOut(SIZE_MAX, std::chrono::seconds(0));
            std::this_thread::sleep_for(10ms);
        }
        readOut(SIZE_MAX, std::chrono::seconds(0));
        char buf[4096];
        for (ssize_t n; (n = ::read(err_, buf, sizeof buf)) > 0;) errText_.append(buf, static_cast<std::size_t>(n));
        ::close(out_);
        ::close(err_);
        return st;
    }

    void burst(int count) {
        for (int i = 0; i < count; ++i) ::kill(pid_, i % 2 ? SIGINT : SIGTERM);
    }

    bool nothingLeftOnTheServer() {
        bool ok = false;
        const std::string outputs = shell("pactl list short source-outputs", &ok);
        return ok && outputs.empty();
    }

    testing_support::PrivatePulse server_{MIRVO_PULSE_SCRIPT};
    std::string dir_;
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    std::size_t got_ = 0;
    std::string errText_;
};

::testing::AssertionResult exitedZero(std::optional<int> st) {
    if (!st) return ::testing::AssertionFailure() << "still running at the guard";
    if (WIFSIGNALED(*st)) return ::testing::AssertionFailure() << "killed by signal " << WTERMSIG(*st);
    if (WEXITSTATUS(*st) != 0) return ::testing::AssertionFailure() << "exit status " << WEXITSTATUS(*st);
    return ::testing::AssertionSuccess();
}

TEST_F(AudioFaults, BurstOfStopSignalsDuringTeardownEndsOnceWithStatusZero) {
    launch();
    ASSERT_GE(readOut(4, 30s), 4u) << "no capture";
    // The first signal starts the teardown; the rest arrive during it.
    for (int round = 0; round < 5; ++round) burst(40);
    EXPECT_TRUE(exitedZero(finish(30s)));
    EXPECT_EQ(errText_, "");
    EXPECT_TRUE(nothingLeftOnTheServer());
}

TEST_F(AudioFaults, SoundServerKilledOutrightEndsWithDeviceLost) {
    launch();
    ASSERT_GE(readOut(4, 30s), 4u) << "no capture";
    pid_t server = 0;
    std::ifstream(dir_ + "/pid") >> server;
    ASSERT_GT(server, 0);
    ASSERT_EQ(::kill(server, SIGKILL), 0);
    const auto st = finish(30s);
    ASSERT_TRUE(st.has_value()) << "still running at the guard";
    ASSERT_TRUE(WIFEXITED(*st)) << "killed by signal " << WTERMSIG(*st);
    EXPECT_EQ(WEXITSTATUS(*st), 1);
    EXPECT_EQ(errText_, "pelko: device lost 1937010544\n");
    EXPECT_EQ(got_ % 4, 0u) << "a partial frame on standard output";
}

}  // namespace
