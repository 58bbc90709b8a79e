// mirvo-sck-audio end to end: the built program recording a private
// PulseAudio server's default sink while the test plays a known tone into it.
//
// Every deadline below is a guard that turns a hang into a failure on a
// slow, shared machine; none is a timing requirement.
#include <gtest/gtest.h>

#include "private_pulse.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kProgram = MIRVO_AUDIO_PROGRAM;
// The private server's script: PulseAudio's by default, another one with
// the same interface (scripts/pipewire-server.sh) from MIRVO_SOUND_SERVER_SCRIPT.
const char* const kScript = std::getenv("MIRVO_SOUND_SERVER_SCRIPT") != nullptr
                                ? std::getenv("MIRVO_SOUND_SERVER_SCRIPT")
                                : MIRVO_PULSE_SCRIPT;
constexpr const char* kSink = "mirvo_null";
constexpr int kRate = 48000;
// The tone: 1 kHz, left at half scale and right at a quarter, so a swapped
// or duplicated channel shows.
constexpr double kToneHz = 1000.0;
constexpr double kLeftLevel = 0.5;
constexpr double kRightLevel = 0.25;

// Runs a shell command; its standard output, and whether it exited 0.
struct ShellResult {
    bool ok;
    std::string out;
};
ShellResult shell(const std::string& command) {
    ShellResult r{false, {}};
    FILE* f = ::popen(command.c_str(), "r");
    if (f == nullptr) return r;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) r.out.append(buf, n);
    const int status = ::pclose(f);
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        if (!l.empty()) out.push_back(l);
    }
    return out;
}

// Collects everything a descriptor delivers until end of file.
class Collector {
public:
    explicit Collector(int fd) : fd_(fd), thread_([this] { run(); }) {}
    ~Collector() { join(); }

    void join() {
        if (thread_.joinable()) thread_.join();
    }
    // Waits until pred(bytes so far) holds or the stream ends; false if
    // the guard ran out first.
    template <class Pred>
    bool waitFor(Pred pred, std::chrono::seconds guard) {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, guard, [&] { return pred(data_) || ended_; }) && pred(data_);
    }
    std::string data() {
        std::lock_guard<std::mutex> l(m_);
        return data_;
    }

private:
    void run() {
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            std::lock_guard<std::mutex> l(m_);
            if (n <= 0) {
                ended_ = true;
                cv_.notify_all();
                break;
            }
            data_.append(buf, static_cast<std::size_t>(n));
            cv_.notify_all();
        }
        ::close(fd_);
    }

    int fd_;
    std::mutex m_;
    std::condition_variable cv_;
    std::string data_;
    bool ended_ = false;
    std::thread thread_;
};

// A child process with standard output and standard error on pipes.
class Child {
public:
    explicit Child(std::vector<std::string> argv) {
        int out[2];
        int err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            // The program must stand on its own: default dispositions and an
            // empty mask, whatever the test runner set up.
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::signal(SIGPIPE, SIG_DFL);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            const int devnull = ::open("/dev/null", O_RDONLY);
            ::dup2(devnull, 0);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        outFd_ = out[0];
        err_.emplace(err[0]);
    }
    ~Child() {
        if (pid_ > 0 && !status_) wait(0s);
        if (outFd_ >= 0) ::close(outFd_);
    }

    pid_t pid() const { return pid_; }
    // Collects standard output from now on. The collector lives as long as
    // the child object, which kills the process first if it still runs.
    Collector& collectStdout() {
        out_.emplace(outFd_);
        outFd_ = -1;
        return *out_;
    }
    // Hands the stdout pipe to the caller (who then owns it).
    int takeStdout() {
        const int fd = outFd_;
        outFd_ = -1;
        return fd;
    }
    std::string stderrText() {
        err_->join();
        return err_->data();
    }
    // The wait status, or nothing if the child was still running after
    // guard; it is then killed, so that its pipes close and readers end.
    std::optional<int> wait(std::chrono::seconds guard) {
        const auto deadline = Clock::now() + guard;
        while (!status_) {
            int st = 0;
            const pid_t r = ::waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                status_ = st;
            } else if (r < 0 && errno != EINTR) {
                break;
            } else if (Clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &st, 0);
                status_ = st;
                return std::nullopt;
            } else {
                std::this_thread::sleep_for(20ms);
            }
        }
        return status_;
    }

private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    std::optional<Collector> err_;
    std::optional<Collector> out_;
    std::optional<int> status_;
};

::testing::AssertionResult exitedWith(std::optional<int> status, int code) {
    if (!status) return ::testing::AssertionFailure() << "still running after the guard time";
    if (WIFSIGNALED(*status)) {
        return ::testing::AssertionFailure() << "killed by signal " << WTERMSIG(*status);
    }
    if (WEXITSTATUS(*status) != code) {
        return ::testing::AssertionFailure() << "exit status " << WEXITSTATUS(*status);
    }
    return ::testing::AssertionSuccess();
}

// Interleaved s16le stereo, as the program writes it.
struct Pcm {
    std::vector<std::int16_t> left;
    std::vector<std::int16_t> right;
};
Pcm split(const std::string& bytes) {
    Pcm p;
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        const auto* b = reinterpret_cast<const std::uint8_t*>(bytes.data() + i);
        p.left.push_back(static_cast<std::int16_t>(b[0] | (b[1] << 8)));
        p.right.push_back(static_cast<std::int16_t>(b[2] | (b[3] << 8)));
    }
    return p;
}

// The first frame whose left sample reaches half the tone's peak, if any.
std::optional<std::size_t> toneOnset(const std::string& bytes) {
    const int threshold = static_cast<int>(kLeftLevel * 32767 / 2);
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        const auto* b = reinterpret_cast<const std::uint8_t*>(bytes.data() + i);
        const int l = static_cast<std::int16_t>(b[0] | (b[1] << 8));
        if (std::abs(l) >= threshold) return i / 4;
    }
    return std::nullopt;
}

struct ChannelStats {
    int zeroCrossings = 0;
    int peak = 0;
    double rms = 0;
};
ChannelStats stats(const std::vector<std::int16_t>& s, std::size_t from, std::size_t count) {
    ChannelStats st;
    double sum = 0;
    for (std::size_t i = from; i < from + count; ++i) {
        st.peak = std::max(st.peak, std::abs(int(s[i])));
        sum += double(s[i]) * s[i];
        if (i > from && (s[i - 1] > 0) != (s[i] > 0)) ++st.zeroCrossings;
    }
    st.rms = std::sqrt(sum / double(count));
    return st;
}

// Each test gets its own server in its own directory, and its clients
// (pactl, pacat, the program) find it through the environment.
class PulseTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.start("mirvo-audio-e2e", kSink))
            << "the private server did not start; see " << server_.dir() << "/server.log";
        dir_ = server_.dir();
    }
    void TearDown() override {
        server_.stop();
        if (!HasFailure()) server_.removeDir();
    }

    void stopServer() { server_.stop(); }

    std::vector<std::string> recordingStreams() {
        const auto r = shell("pactl list short source-outputs");
        EXPECT_TRUE(r.ok);
        return lines(r.out);
    }

    // Writes `seconds` of the stereo test tone as float32le and returns the
    // file's path.
    std::string toneFile(double seconds) {
        const std::string path = dir_ + "/tone.f32";
        std::ofstream f(path, std::ios::binary);
        const auto frames = static_cast<std::size_t>(seconds * kRate);
        for (std::size_t i = 0; i < frames; ++i) {
            const double ph = 2 * M_PI * kToneHz * double(i) / kRate;
            const float lr[2] = {float(kLeftLevel * std::sin(ph)), float(kRightLevel * std::sin(ph))};
            f.write(reinterpret_cast<const char*>(lr), sizeof lr);
        }
        return path;
    }

    std::unique_ptr<Child> play(const std::string& file, const std::string& sink) {
        return std::make_unique<Child>(std::vector<std::string>{
            "/usr/bin/pacat", "--playback", "--raw", "--format=float32le", "--rate=48000",
            "--channels=2", "--device=" + sink, file});
    }

    testing_support::PrivatePulse server_{kScript};
    std::string dir_;
};

// Frames of tone captured so far, counted from its onset.
std::size_t toneFrames(const std::string& bytes) {
    const auto onset = toneOnset(bytes);
    return onset ? bytes.size() / 4 - *onset : 0;
}

void expectTone(const std::string& out) {
    ASSERT_EQ(out.size() % 4, 0u) << "not a whole number of frames";
    const auto onset = toneOnset(out);
    ASSERT_TRUE(onset.has_value()) << "no tone in " << out.size() << " bytes";
    const Pcm pcm = split(out);
    // One second of steady tone, a little after it began.
    const std::size_t from = *onset + kRate / 10;
    ASSERT_GE(pcm.left.size(), from + kRate);
    const auto l = stats(pcm.left, from, kRate);
    const auto r = stats(pcm.right, from, kRate);
    // 1 kHz crosses zero 2000 times a second.
    EXPECT_NEAR(l.zeroCrossings, 2000, 10);
    EXPECT_NEAR(r.zeroCrossings, 2000, 10);
    EXPECT_NEAR(l.peak, kLeftLevel * 32767, kLeftLevel * 32767 * 0.05);
    EXPECT_NEAR(r.peak, kRightLevel * 32767, kRightLevel * 32767 * 0.05);
    EXPECT_NEAR(l.rms, kLeftLevel * 32767 / M_SQRT2, kLeftLevel * 32767 * 0.05);
    EXPECT_NEAR(r.rms, kRightLevel * 32767 / M_SQRT2, kRightLevel * 32767 * 0.05);
}

// --- a stop signal on a real capture ------------------------------------------

class AudioE2EStopSignal : public PulseTest, public ::testing::WithParamInterface<int> {};

TEST_P(AudioE2EStopSignal, CapturesTheToneThenExitsZeroAndLeavesNoRecording) {
    const std::string tone = toneFile(3.0);
    Child program({kProgram});
    Collector& out = program.collectStdout();
    // An idle null sink answers a new recording in blocks of up to 2 s.
    ASSERT_TRUE(out.waitFor([](const std::string& d) { return d.size() >= 4; }, 30s))
        << "no output from the program";

    const auto streams = recordingStreams();
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_NE(streams[0].find("float32le 2ch 48000Hz"), std::string::npos) << streams[0];

    auto player = play(tone, kSink);
    ASSERT_TRUE(out.waitFor([](const std::string& d) { return toneFrames(d) >= 2 * kRate; }, 60s))
        << "less than 2 s of tone captured";

    ASSERT_EQ(::kill(program.pid(), GetParam()), 0);
    EXPECT_TRUE(exitedWith(program.wait(30s), 0));
    out.join();
    EXPECT_EQ(program.stderrText(), "");
    expectTone(out.data());

    ::kill(player->pid(), SIGTERM);
    player->wait(30s);
    EXPECT_TRUE(recordingStreams().empty());
}

INSTANTIATE_TEST_SUITE_P(Signals, AudioE2EStopSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& p) {
                             return std::string(p.param == SIGTERM ? "SIGTERM" : "SIGINT");
                         });

// --- what is recorded ---------------------------------------------------------

using AudioE2ECapture = PulseTest;

TEST_F(AudioE2ECapture, RecordsTheDefaultSinkOnly) {
    ASSERT_TRUE(shell("pactl load-module module-null-sink sink_name=other rate=48000 channels=2").ok);
    ASSERT_TRUE(shell("pactl set-default-sink other").ok);
    const std::string tone = toneFile(1.5);
    Child program({kProgram});
    Collector& out = program.collectStdout();
    ASSERT_TRUE(out.waitFor([](const std::string& d) { return d.size() >= 4; }, 30s));

    // Played to the end into the sink that is not the default...
    auto elsewhere = play(tone, kSink);
    EXPECT_TRUE(exitedWith(elsewhere->wait(60s), 0));
    const std::size_t before = out.data().size();
    // ...then into the default one.
    auto here = play(tone, "other");
    ASSERT_TRUE(out.waitFor([](const std::string& d) { return toneFrames(d) >= kRate * 5 / 4; }, 60s));
    ASSERT_EQ(::kill(program.pid(), SIGTERM), 0);
    EXPECT_TRUE(exitedWith(program.wait(30s), 0));
    out.join();
    EXPECT_EQ(program.stderrText(), "");

    const std::string data = out.data();
    const auto onset = toneOnset(data);
    ASSERT_TRUE(onset.has_value());
    EXPECT_GE(*onset * 4, before) << "tone captured from a sink that is not the default";
    // Everything captured while the other sink played is silence.
    const Pcm pcm = split(data.substr(0, before));
    ASSERT_FALSE(pcm.left.empty());
    EXPECT_EQ(stats(pcm.left, 0, pcm.left.size()).peak, 0);
    EXPECT_EQ(stats(pcm.right, 0, pcm.right.size()).peak, 0);
    expectTone(data);
    here->wait(30s);
}

// --- ends without a signal ----------------------------------------------------

using AudioE2EEnding = PulseTest;

TEST_F(AudioE2EEnding, ReaderClosingThePipeEndsTheProgramInOrder) {
    Child program({kProgram});
    const int fd = program.takeStdout();
    std::size_t got = 0;
    char buf[4096];
    const auto deadline = Clock::now() + 30s;
    while (got < 9600 && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) continue;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ASSERT_GE(got, 9600u) << "the program wrote too little";
    ::close(fd);

    EXPECT_TRUE(exitedWith(program.wait(30s), 0));
    EXPECT_EQ(program.stderrText(), "");
    EXPECT_TRUE(recordingStreams().empty());
}

TEST_F(AudioE2EEnding, ServerGoingAwayEndsTheCaptureInsteadOfHanging) {
    Child program({kProgram});
    Collector& out = program.collectStdout();
    ASSERT_TRUE(out.waitFor([](const std::string& d) { return d.size() >= 4; }, 30s));
    stopServer();
    // The loss wakes the main thread, which releases what it built and
    // reports the lost capture with the binding's not-running status.
    EXPECT_TRUE(exitedWith(program.wait(30s), 1));
    out.join();
    EXPECT_EQ(program.stderrText(), "pelko: device lost 1937010544\n");
    EXPECT_EQ(out.data().size() % 4, 0u);
}

// --- setup failures -------------------------------------------------------------

using AudioE2ESetupFailure = PulseTest;

TEST_F(AudioE2ESetupFailure, NoDefaultSinkIsNoDefaultOutput) {
    ASSERT_TRUE(shell("pactl unload-module module-null-sink").ok);
    Child program({kProgram});
    Collector& out = program.collectStdout();
    EXPECT_TRUE(exitedWith(program.wait(30s), 1));
    out.join();
    EXPECT_EQ(program.stderrText(), "pelko: no default output\n");
    EXPECT_EQ(out.data(), "");
    EXPECT_TRUE(recordingStreams().empty());
}

TEST(AudioE2ENoServer, TapCreationFailsWithNotRunning) {
    char tmpl[] = "/tmp/mirvo-audio-e2e.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    ::setenv("PULSE_SERVER", ("unix:" + dir + "/missing/native").c_str(), 1);
    ::setenv("PULSE_COOKIE", (dir + "/cookie").c_str(), 1);
    Child program({kProgram});
    Collector& out = program.collectStdout();
    EXPECT_TRUE(exitedWith(program.wait(30s), 1));
    out.join();
    EXPECT_EQ(program.stderrText(), "pelko: CreateProcessTap 1937010544\n");
    EXPECT_EQ(out.data(), "");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace
