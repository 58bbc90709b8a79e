// The frame sink on top of the resampler: which samples it writes and at
// what size, how it hands each plane and its stride over, how it writes
// (whole frames under short, interrupted and would-block writes and
// concurrent callers; a vanished reader without SIGPIPE) and what ends its
// output.
#include "tap.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include "support.h"

using namespace support;

namespace {

// The sink never calls the stream it is handed.
struct NullStream final : capture::Stream {
    bool addStreamOutput(std::shared_ptr<capture::StreamOutput>, capture::OutputType,
                         std::shared_ptr<capture::Queue>, capture::Error*) override {
        return false;
    }
    void startCapture(capture::Completion) override {}
    void stopCapture(capture::Completion) override {}
};

void deliver(Tap& tap, std::shared_ptr<capture::PixelBuffer> image,
             capture::OutputType type = capture::kOutputTypeScreen) {
    NullStream stream;
    tap.didOutputSampleBuffer(stream, fake::SampleBuffer(std::move(image)), type);
}

struct SampleCase {
    const char* name;
    std::int64_t W = 64, H = 32;      // requested
    std::size_t outW = 64, outH = 32;  // the frame written; 0: none
    std::size_t sw = 64, sh = 32;      // source
    std::uint32_t format = capture::kPixelFormat420v;
    std::size_t lumaStride = 0, chromaStride = 0;
    capture::OutputType type = capture::kOutputTypeScreen;
    bool noImage = false, withheld = false;
};
void PrintTo(const SampleCase& c, std::ostream* os) { *os << c.name; }

class TapSamples : public testing::TestWithParam<SampleCase> {};

}  // namespace

// Same-size sources, so a frame is the source's top-left visible pixels.
TEST_P(TapSamples, WritesTheVisiblePixelsOrNothing) {
    const SampleCase& c = GetParam();
    auto src = patterned(c.sw, c.sh, c.format, c.lumaStride, c.chromaStride);
    if (c.withheld) src->withholdPlanes();
    ScratchFile out;
    {
        Tap tap(c.W, c.H, out.dupForWriter());
        deliver(tap, c.noImage ? nullptr : src, c.type);
    }
    EXPECT_EQ(out.contents(), topLeftOfPatterned(c.outW, c.outH));
    EXPECT_EQ(src->lockDepth(), 0);
}

constexpr std::uint32_t k420f = capture::kPixelFormat420f;
constexpr std::int64_t kBig = std::int64_t{1} << 31;

INSTANTIATE_TEST_SUITE_P(
    EachRule, TapSamples,
    testing::Values(
        SampleCase{.name = "Tight"},
        SampleCase{.name = "PaddedStrides", .lumaStride = 80, .chromaStride = 96},
        SampleCase{.name = "OddStridesDifferentPerPlane", .lumaStride = 67, .chromaStride = 71},
        SampleCase{.name = "FullRange", .format = k420f, .lumaStride = 70, .chromaStride = 66},
        SampleCase{.name = "OddSizeDropsTheLastColumnAndRow", .W = 63, .H = 31, .outW = 62,
                   .outH = 30, .sw = 63, .sh = 31},
        SampleCase{.name = "OneWide", .W = 1, .outW = 0},
        SampleCase{.name = "OneHigh", .H = 1, .outW = 0},
        SampleCase{.name = "NegativeWidth", .W = -2, .outW = 0},
        SampleCase{.name = "NegativeHeight", .H = -2, .outW = 0},
        SampleCase{.name = "Smallest", .W = INT64_MIN, .H = INT64_MIN, .outW = 0},
        SampleCase{.name = "Largest", .W = INT64_MAX, .H = INT64_MAX, .outW = 0},
        SampleCase{.name = "TooLargeToAllocate", .W = kBig, .H = kBig / 2, .outW = 0},
        SampleCase{.name = "Bgra", .outW = 0, .format = 0x42475241},
        SampleCase{.name = "Planar420", .outW = 0, .format = 0x79343230},
        SampleCase{.name = "OneBitOff420v", .outW = 0, .format = 0x34323077},
        SampleCase{.name = "EmptyWidth", .outW = 0, .sw = 0},
        SampleCase{.name = "EmptyHeight", .outW = 0, .sh = 0},
        SampleCase{.name = "PlanesWithheld", .outW = 0, .withheld = true},
        SampleCase{.name = "NoImage", .outW = 0, .noImage = true},
        SampleCase{.name = "AudioSample", .outW = 0, .type = capture::kOutputTypeAudio},
        SampleCase{.name = "UnknownSampleType", .outW = 0, .type = 2}),
    [](const testing::TestParamInfo<SampleCase>& i) { return std::string(i.param.name); });

// A write error other than a vanished reader is reported once and ends the
// output: nothing is written even once the descriptor number is valid again.
TEST(TapDescriptor, AWriteErrorIsReportedOnceAndNothingMoreIsWritten) {
    StderrCapture err;  // first: its descriptors must not take the closed number
    Pipe later;
    const int fd = ::dup(later.w);
    ::close(fd);
    {
        Tap tap(4, 2, fd);
        deliver(tap, marked(4, 2, 1));
        ASSERT_EQ(::dup2(later.w, fd), fd);
        deliver(tap, marked(4, 2, 2));
    }  // closes fd
    ::close(later.w);
    later.w = -1;
    EXPECT_EQ(readUpTo(later.r), Bytes{});
    EXPECT_EQ(err.text(), "sck-video: frame write failed: Bad file descriptor\n");
}

// --- a reader that goes away ---

namespace {

// A named pipe: its reader can go away and come back while the sink keeps
// the same writing descriptor.
struct Fifo {
    std::string path = "/tmp/mirvo-tap-fifo-" + std::to_string(::getpid());
    int r = -1, w = -1;
    Fifo() {
        if (::mkfifo(path.c_str(), 0600) != 0) std::abort();
        r = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
        w = ::open(path.c_str(), O_WRONLY);
    }
    ~Fifo() {
        ::close(r);
        ::unlink(path.c_str());
    }
};

bool sigpipeIn(bool pendingSet) {
    sigset_t s;
    pendingSet ? sigpending(&s) : pthread_sigmask(SIG_BLOCK, nullptr, &s);
    return sigismember(&s, SIGPIPE) == 1;
}

enum class Host { ignoresSigpipe, defaultSigpipe, blocksAPendingSigpipe };

class TapWritesClosedReader : public testing::TestWithParam<Host> {};

}  // namespace

// Frames cost silently, no SIGPIPE reaches the host (nor is one of its own
// taken), its mask and disposition stay, and a reader that comes back gets
// the next frame whole.
TEST_P(TapWritesClosedReader, CostsFramesSilentlyAndResumesForANewReader) {
    const bool pending = GetParam() == Host::blocksAPendingSigpipe;
    struct sigaction set {}, old {};
    set.sa_handler = GetParam() == Host::ignoresSigpipe ? SIG_IGN : SIG_DFL;
    ASSERT_EQ(sigaction(SIGPIPE, &set, &old), 0);
    sigset_t pipe, savedMask;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    if (pending) {
        pthread_sigmask(SIG_BLOCK, &pipe, &savedMask);
        pthread_kill(pthread_self(), SIGPIPE);
    }
    StderrCapture err;
    Fifo fifo;
    {
        Tap tap(4, 2, fifo.w);
        ::close(std::exchange(fifo.r, -1));
        for (std::uint8_t m = 1; m <= 3; ++m) deliver(tap, marked(4, 2, m));
        EXPECT_EQ(sigpipeIn(true), pending);
        EXPECT_EQ(sigpipeIn(false), pending);
        struct sigaction now {};
        sigaction(SIGPIPE, nullptr, &now);
        EXPECT_EQ(now.sa_handler, set.sa_handler);

        fifo.r = ::open(fifo.path.c_str(), O_RDONLY | O_NONBLOCK);
        deliver(tap, marked(4, 2, 7));
        EXPECT_EQ(readUpTo(fifo.r, 12), (Bytes{7, 7, 7, 7, 7, 7, 7, 7, 0xF8, 0xF8, 0xF8, 0xF8}));
    }
    EXPECT_EQ(err.text(), "");
    if (pending) {
        const timespec zero{};
        EXPECT_EQ(sigtimedwait(&pipe, nullptr, &zero), SIGPIPE);
        pthread_sigmask(SIG_SETMASK, &savedMask, nullptr);
    }
    sigaction(SIGPIPE, &old, nullptr);
}

INSTANTIATE_TEST_SUITE_P(EachHost, TapWritesClosedReader,
                         testing::Values(Host::ignoresSigpipe, Host::defaultSigpipe,
                                         Host::blocksAPendingSigpipe),
                         [](const testing::TestParamInfo<Host>& i) {
                             return std::string(std::array{"Ignored", "Default", "BlockedAndPending"}[int(i.param)]);
                         });

// --- whole frames ---

namespace {

void onUsr1(int) {}

class TapWrites : public testing::TestWithParam<bool> {};  // non-blocking?

}  // namespace

// Two threads write five frames each, larger than the pipe, to a reader that
// starts late and reads in odd pieces: each frame arrives whole, each
// thread's in order, through short writes, EAGAIN and EINTR.
TEST_P(TapWrites, FramesFromConcurrentWritersArriveWhole) {
    constexpr std::size_t kW = 320, kH = 180, kLuma = kW * kH;
    const bool nonBlocking = GetParam();
    struct sigaction set {}, old {};
    set.sa_handler = onUsr1;  // no SA_RESTART: a blocked write returns early
    ASSERT_EQ(sigaction(SIGUSR1, &set, &old), 0);
    Pipe p;
    if (nonBlocking) ::fcntl(p.w, F_SETFL, ::fcntl(p.w, F_GETFL) | O_NONBLOCK);
    auto tap = std::make_shared<Tap>(kW, kH, p.giveWriteEnd());
    std::atomic<int> running{2}, ready{0};
    std::vector<std::thread> writers;
    for (int first : {10, 100})
        writers.emplace_back([tap, first, &running, &ready]() mutable {
            for (++ready; ready < 2;) std::this_thread::yield();  // both write from the start
            for (int m = first; m < first + 5; ++m) deliver(*tap, marked(kW, kH, static_cast<std::uint8_t>(m)));
            tap.reset();  // the last writer's reset closes the descriptor
            --running;
        });
    tap.reset();

    // Nothing is read until a frame's luma is queued: its chroma then
    // exceeds the pipe's room and the writer must wait.
    const auto guard = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGuardMs);
    for (int queued = 0; queued < static_cast<int>(kLuma);) {
        ASSERT_LT(std::chrono::steady_clock::now(), guard) << "the writers stalled";
        ASSERT_EQ(::ioctl(p.r, FIONREAD, &queued), 0);
    }
    Bytes stream;
    const std::size_t pieces[] = {1, 7, 4093, 65521, 3, 12289};
    for (std::size_t i = 0;; ++i) {
        if (!nonBlocking && running > 0)
            for (auto& w : writers) pthread_kill(w.native_handle(), SIGUSR1);
        const Bytes got = readUpTo(p.r, pieces[i % 6], pieces[i % 6]);
        if (got.empty()) break;
        stream.insert(stream.end(), got.begin(), got.end());
    }
    for (auto& w : writers) w.join();
    sigaction(SIGUSR1, &old, nullptr);

    Bytes fromFirst, fromSecond;
    for (auto m : markersOf(stream, kLuma)) (m < 100 ? fromFirst : fromSecond).push_back(m);
    EXPECT_EQ(fromFirst, (Bytes{10, 11, 12, 13, 14}));
    EXPECT_EQ(fromSecond, (Bytes{100, 101, 102, 103, 104}));
}

INSTANTIATE_TEST_SUITE_P(EachDescriptor, TapWrites, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& i) {
                             return std::string(i.param ? "NonBlocking" : "BlockingInterrupted");
                         });
