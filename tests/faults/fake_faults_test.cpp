// Faults of the frame stream against the platform fake with real pipes: a
// reader that stalls and resumes (blocking and non-blocking descriptors),
// and a thousand start/stop cycles that must not leave descriptors,
// threads or memory behind. Every frame carries its number in its first
// bytes, so a torn, lost or reordered frame shows.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "capture_fake.h"
#include "mirvo_sck.h"
#include "proc_usage.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// 320x240: one frame (115200 bytes) is larger than a pipe's buffer, so every
// frame needs several writes and a stalled reader stops the writer midway.
constexpr int kW = 320, kH = 240;
constexpr std::size_t kFrame = kW * kH * 3 / 2;

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kUnderSanitizer = true;
#else
constexpr bool kUnderSanitizer = false;
#endif
#else
constexpr bool kUnderSanitizer = false;
#endif

// A same-size source whose every luma byte, and every chroma byte, is a
// function of the frame number n: the output frame is then the source's
// visible pixels, and its first four bytes spell n.
std::shared_ptr<fake::PixelBuffer> markedBuffer(std::uint32_t n) {
    auto pb = std::make_shared<fake::PixelBuffer>(kW, kH, capture::kPixelFormat420v);
    std::uint8_t* y = pb->plane(0);
    for (std::size_t i = 0; i < pb->planeBytes(0); ++i) y[i] = static_cast<std::uint8_t>(n * 7 + i);
    std::memcpy(y, &n, sizeof n);
    std::memset(pb->plane(1), static_cast<int>(n & 0xFF), pb->planeBytes(1));
    return pb;
}

::testing::AssertionResult frameIs(const std::uint8_t* f, std::uint32_t n) {
    std::uint32_t got;
    std::memcpy(&got, f, sizeof got);
    if (got != n) return ::testing::AssertionFailure() << "frame " << n << " carries " << got;
    for (std::size_t i = sizeof n; i < kW * kH; ++i)
        if (f[i] != static_cast<std::uint8_t>(n * 7 + i))
            return ::testing::AssertionFailure() << "frame " << n << " torn at luma byte " << i;
    for (std::size_t i = kW * kH; i < kFrame; ++i)
        if (f[i] != static_cast<std::uint8_t>(n & 0xFF))
            return ::testing::AssertionFailure() << "frame " << n << " torn at chroma byte " << i;
    return ::testing::AssertionSuccess();
}

class StalledReader : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override {
        mirvo_sck_stop();
        EXPECT_TRUE(fake::waitForNoStreams());
    }
};

TEST_P(StalledReader, ResumesWithEveryFrameWholeAndInOrder) {
    const bool nonBlocking = GetParam();
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    if (nonBlocking) ::fcntl(p[1], F_SETFL, ::fcntl(p[1], F_GETFL) | O_NONBLOCK);
    ASSERT_EQ(mirvo_sck_start(kW, kH, 30, p[1]), 0);

    constexpr std::uint32_t kFrames = 40;
    std::atomic<std::uint32_t> delivered{0};
    std::thread platform([&] {
        // The platform's serial queue: one frame after another, each
        // blocked in the write while the reader stalls.
        for (std::uint32_t n = 0; n < kFrames; ++n) {
            fake::SampleBuffer s(markedBuffer(n));
            if (!fake::deliverSample(s)) break;
            delivered = n + 1;
        }
    });

    // Read three frames, stall for 5 s with the writer blocked mid-frame,
    // then read the rest.
    std::vector<std::uint8_t> got;
    auto readSome = [&](std::size_t until, Clock::time_point guard) {
        std::uint8_t buf[65536];
        while (got.size() < until && Clock::now() < guard) {
            pollfd pf{p[0], POLLIN, 0};
            if (::poll(&pf, 1, 200) <= 0) continue;
            const ssize_t r = ::read(p[0], buf, std::min(sizeof buf, until - got.size()));
            if (r <= 0) break;
            got.insert(got.end(), buf, buf + r);
        }
    };
    readSome(3 * kFrame, Clock::now() + 30s);
    EXPECT_EQ(got.size(), 3 * kFrame);  // the platform thread is joined below either way
    std::this_thread::sleep_for(5s);
    EXPECT_LT(delivered.load(), kFrames) << "the writer did not wait for the stalled reader";
    readSome(kFrames * kFrame, Clock::now() + 60s);
    platform.join();
    ASSERT_EQ(delivered.load(), kFrames);

    mirvo_sck_stop();
    ASSERT_TRUE(fake::waitForNoStreams());
    readSome(kFrames * kFrame + 1, Clock::now() + 5s);  // to end of file: nothing more
    ASSERT_EQ(got.size(), kFrames * kFrame);
    for (std::uint32_t n = 0; n < kFrames; ++n) ASSERT_TRUE(frameIs(got.data() + n * kFrame, n));
    ::close(p[0]);
}

INSTANTIATE_TEST_SUITE_P(Descriptor, StalledReader, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return std::string(i.param ? "NonBlocking" : "Blocking");
                         });

// A thousand cycles of start, one frame, stop. After a warm-up (allocator
// arenas, the first threads' stacks), nothing may grow: descriptors and
// threads exactly, resident memory within a small margin.
TEST(StartStopCycles, AThousandAgainstTheFakeLeaveNothingBehind) {
    fake::reset();
    auto cycle = [](std::uint32_t n) {
        int p[2];
        ASSERT_EQ(::pipe(p), 0);
        ASSERT_EQ(mirvo_sck_start(kW, kH, 30, p[1]), 0);
        fake::SampleBuffer s(markedBuffer(n));
        std::thread platform([&] { EXPECT_TRUE(fake::deliverSample(s)); });
        std::vector<std::uint8_t> frame(kFrame);
        std::size_t got = 0;
        while (got < kFrame) {
            const ssize_t r = ::read(p[0], frame.data() + got, kFrame - got);
            if (r <= 0) break;
            got += static_cast<std::size_t>(r);
        }
        platform.join();
        mirvo_sck_stop();
        // The stop ends once the platform has stopped: then end of file
        // (the poll's guard turns a descriptor left open into a failure).
        pollfd pf{p[0], POLLIN, 0};
        if (::poll(&pf, 1, 10000) != 1) {
            ::close(p[0]);
            FAIL() << "no end of file after stop, cycle " << n;
        }
        std::uint8_t extra;
        EXPECT_EQ(::read(p[0], &extra, 1), 0);
        ::close(p[0]);
        ASSERT_EQ(got, kFrame);
        ASSERT_TRUE(frameIs(frame.data(), n));
        ASSERT_TRUE(fake::waitForNoStreams());
        fake::reset();  // the fake's call log would grow otherwise
    };
    // Stop tasks end just after releasing the stream; let them go.
    auto settled = [] {
        for (int i = 0; i < 200 && ProcUsage::now().threads > 1; ++i) std::this_thread::sleep_for(5ms);
        return ProcUsage::now();
    };
    for (std::uint32_t n = 0; n < 100; ++n) ASSERT_NO_FATAL_FAILURE(cycle(n));
    const ProcUsage before = settled();
    for (std::uint32_t n = 100; n < 1100; ++n) ASSERT_NO_FATAL_FAILURE(cycle(n));
    const ProcUsage after = settled();
    EXPECT_EQ(after.fds, before.fds);
    EXPECT_EQ(after.threads, before.threads);
    // Under a sanitizer, quarantined frees grow resident memory by design;
    // its leak checker covers memory there.
    if (!kUnderSanitizer) {
        EXPECT_LE(after.residentKiB, before.residentKiB + 1024)
            << "resident " << before.residentKiB << " KiB after warm-up, " << after.residentKiB
            << " KiB after 1000 cycles";
    }
}

}  // namespace
