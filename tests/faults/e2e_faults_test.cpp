// Faults end to end on the Linux audio binding, each test with its own
// private sound server: the audio program under bursts of stop signals and
// with its sound server killed outright.
//
// Covered elsewhere, not repeated here: the audio program's reader closing
// its pipe (AudioE2EEnding.ReaderClosingThePipeEndsTheProgramInOrder), the
// sound server stopping (AudioE2EEnding.ServerGoingAwayEndsTheCapture...),
// the library losing its X server (test_screen_x11.py), non-blocking and interrupted writes of the sink
// (TapWrites.*), and one signal during setup or teardown against the fake
// (Shutdown.*).
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
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "private_pulse.h"


namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

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
