// Sample conversion and the PCM stream: exact bytes for every input shape the
// IO proc can be handed, and the writer's behaviour on slow and dead readers.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include "alloc_counter.h"
#include "child.h"
#include "pcm.h"
#include "pcm_out.h"
#include "shutdown.h"

namespace {

// Captures what the PCM writer emits into a temporary file.
class PcmCapture {
public:
    PcmCapture() : file_(std::tmpfile()) {
        pcm::resetOutput();
        pcm::setOutputFd(::fileno(file_));
    }
    ~PcmCapture() {
        pcm::setOutputFd(1);
        std::fclose(file_);
    }
    std::vector<std::uint8_t> bytes() const {
        const std::string s = testing_support::readAll(::fileno(file_));
        return {s.begin(), s.end()};
    }

private:
    std::FILE* file_;
};

std::vector<std::uint8_t> le16(std::initializer_list<int> samples) {
    std::vector<std::uint8_t> b;
    for (int s : samples) {
        const auto u = static_cast<std::uint16_t>(static_cast<std::int16_t>(s));
        b.push_back(std::uint8_t(u & 0xFF));
        b.push_back(std::uint8_t(u >> 8));
    }
    return b;
}

// A buffer list with room for `n` buffers, as Core Audio lays it out.
struct ListStorage {
    explicit ListStorage(std::uint32_t n)
        : raw(sizeof(hal::AudioBufferList) + (n ? n - 1 : 0) * sizeof(hal::AudioBuffer)) {
        list()->mNumberBuffers = n;
    }
    hal::AudioBufferList* list() { return reinterpret_cast<hal::AudioBufferList*>(raw.data()); }
    hal::AudioBuffer& buf(std::uint32_t i) { return list()->mBuffers[i]; }
    std::vector<std::max_align_t> raw;
};

hal::OSStatus callIOProc(const hal::AudioBufferList* in, hal::AudioBufferList* out = nullptr) {
    return ioProc(7, nullptr, in, nullptr, out, nullptr, nullptr);
}

TEST(Sat, WorkedValuesAndSymmetricFullScale) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(sat(0.0f), 0);
    EXPECT_EQ(sat(-0.0f), 0);
    EXPECT_EQ(sat(0.5f), 16384);   // 16383.5, ties away from zero
    EXPECT_EQ(sat(-0.5f), -16384);
    EXPECT_EQ(sat(1.0f), 32767);
    EXPECT_EQ(sat(2.0f), 32767);
    EXPECT_EQ(sat(inf), 32767);
    EXPECT_EQ(sat(nan), 32767);
    EXPECT_EQ(sat(-nan), 32767);
    EXPECT_EQ(sat(-1.0f), -32767);
    EXPECT_EQ(sat(-3.0f), -32767);
    EXPECT_EQ(sat(-inf), -32767);
    EXPECT_EQ(sat(std::nextafter(1.0f, 0.0f)), 32767);
    EXPECT_EQ(sat(std::numeric_limits<float>::denorm_min()), 0);
    // 1.5 / 32767 scales back to 1.5 (within float precision) and rounds to 2.
    EXPECT_EQ(sat(1.5f / 32767.0f), 2);
    EXPECT_EQ(sat(-1.5f / 32767.0f), -2);
    EXPECT_EQ(sat(0.4f / 32767.0f), 0);
}

TEST(Sat, MonotonicAndNeverMinus32768) {
    std::int16_t prev = sat(-1.0f);
    for (float x = -1.25f; x <= 1.25f; x = std::nextafter(x, 2.0f) + 1e-7f) {
        const std::int16_t s = sat(x);
        ASSERT_NE(s, -32768) << x;
        if (x >= -1.0f) {
            ASSERT_GE(s, prev) << x;
        }
        prev = s;
    }
}

TEST(WriteS16, ExactBytesForOneTwoAndSixChannels) {
    {
        PcmCapture cap;
        const float mono[] = {0.5f, -1.0f, 0.0f};
        writeS16(3, 1, mono);
        EXPECT_EQ(cap.bytes(), le16({16384, 16384, -32767, -32767, 0, 0}));
    }
    {
        PcmCapture cap;
        const float stereo[] = {0.5f, -0.5f, 1.0f, std::nanf("")};
        writeS16(2, 2, stereo);
        EXPECT_EQ(cap.bytes(), le16({16384, -16384, 32767, 32767}));
    }
    {
        PcmCapture cap;
        // Channels 2..5 carry values that would show if they leaked through.
        const float six[] = {0.5f, -0.5f, 0.9f, 0.9f, 0.9f, 0.9f,
                             -1.0f, 1.0f, 0.9f, 0.9f, 0.9f, 0.9f};
        writeS16(2, 6, six);
        EXPECT_EQ(cap.bytes(), le16({16384, -16384, -32767, 32767}));
    }
    {
        PcmCapture cap;
        writeS16(0, 2, nullptr);
        EXPECT_TRUE(cap.bytes().empty());
    }
}

TEST(WriteS16, HalfIsWrittenLowByteFirst) {
    PcmCapture cap;
    const float s[] = {0.5f, 0.5f};
    writeS16(1, 2, s);
    EXPECT_EQ(cap.bytes(), (std::vector<std::uint8_t>{0x00, 0x40, 0x00, 0x40}));
}

TEST(IOProc, IgnoresListsWithNothingToConvert) {
    PcmCapture cap;
    float data[8] = {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f};
    EXPECT_EQ(callIOProc(nullptr), 0);

    ListStorage none(0);
    EXPECT_EQ(callIOProc(none.list()), 0);

    ListStorage nullData(1);
    nullData.buf(0) = {2, 32, nullptr};
    EXPECT_EQ(callIOProc(nullData.list()), 0);

    ListStorage zeroBytes(1);
    zeroBytes.buf(0) = {2, 0, data};
    EXPECT_EQ(callIOProc(zeroBytes.list()), 0);

    ListStorage shorterThanAFrame(1);
    shorterThanAFrame.buf(0) = {2, 4, data};
    EXPECT_EQ(callIOProc(shorterThanAFrame.list()), 0);

    EXPECT_TRUE(cap.bytes().empty());
}

TEST(IOProc, ConvertsWholeFramesOfTheFirstBufferOnly) {
    PcmCapture cap;
    float first[5] = {0.5f, -0.5f, -1.0f, 1.0f, 0.25f};  // 20 bytes: 2 frames + 4 stray bytes
    float second[4] = {0.9f, 0.9f, 0.9f, 0.9f};
    ListStorage two(2);
    two.buf(0) = {2, 20, first};
    two.buf(1) = {2, 16, second};
    hal::AudioBuffer untouched{2, 16, second};
    ListStorage out(1);
    out.buf(0) = untouched;
    EXPECT_EQ(callIOProc(two.list(), out.list()), 0);
    EXPECT_EQ(cap.bytes(), le16({16384, -16384, -32767, 32767}));
    EXPECT_EQ(out.buf(0).mData, untouched.mData);
    EXPECT_EQ(out.buf(0).mDataByteSize, 16u);
    EXPECT_EQ(second[0], 0.9f);
}

TEST(IOProc, ZeroChannelsMeansOne) {
    PcmCapture cap;
    float mono[3] = {0.5f, -0.5f, 1.0f};
    ListStorage l(1);
    l.buf(0) = {0, 12, mono};
    EXPECT_EQ(callIOProc(l.list()), 0);
    EXPECT_EQ(cap.bytes(), le16({16384, 16384, -16384, -16384, 32767, 32767}));
}

TEST(IOProc, SixChannelsGiveFourBytesPerFrame) {
    PcmCapture cap;
    std::vector<float> six(6 * 100, 0.75f);
    for (int i = 0; i < 100; ++i) {
        six[i * 6] = float(i) / 100.0f;
        six[i * 6 + 1] = -float(i) / 100.0f;
    }
    ListStorage l(1);
    l.buf(0) = {6, std::uint32_t(six.size() * 4), six.data()};
    callIOProc(l.list());
    const auto b = cap.bytes();
    ASSERT_EQ(b.size(), 400u);
    for (int i = 0; i < 100; ++i) {
        const auto left = std::int16_t(b[4 * i] | (b[4 * i + 1] << 8));
        const auto right = std::int16_t(b[4 * i + 2] | (b[4 * i + 3] << 8));
        EXPECT_EQ(left, sat(float(i) / 100.0f));
        EXPECT_EQ(right, sat(-float(i) / 100.0f));
    }
}

TEST(IOProc, SteadyStateCyclesAllocateNothing) {
    PcmCapture cap;
    std::vector<float> big(2 * 4096, 0.25f), small(2 * 480, -0.25f);
    ListStorage l(1);
    l.buf(0) = {2, std::uint32_t(big.size() * 4), big.data()};
    callIOProc(l.list());  // grows the block once
    const long before = testing_support::allocationCount();
    for (int i = 0; i < 200; ++i) {
        l.buf(0) = {2, std::uint32_t(small.size() * 4), small.data()};
        callIOProc(l.list());
        l.buf(0) = {2, std::uint32_t(big.size() * 4), big.data()};
        callIOProc(l.list());
    }
    EXPECT_EQ(testing_support::allocationCount() - before, 0);
    EXPECT_EQ(cap.bytes().size(), 4u * (4096 + 200 * (480 + 4096)));
}

void noopHandler(int) {}

// Blocks of several pipe buffers, a reader that takes odd-sized pieces, and
// a timer interrupting the writer: every byte arrives, in order.
TEST(PcmWriter, WholeBlocksDespitePartialWritesAndInterrupts) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    pcm::resetOutput();
    pcm::setOutputFd(p[1]);

    constexpr int kFrames = 100000, kBlocks = 4;
    std::vector<float> src(2 * kFrames);
    for (int i = 0; i < 2 * kFrames; ++i) src[i] = float((i * 7919) % 65535 - 32767) / 32767.0f;

    std::string got;
    std::thread reader([&] {
        // The timer's signals are for the writer.
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
        char buf[997];
        for (;;) {
            const ssize_t n = ::read(p[0], buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got.append(buf, std::size_t(n));
        }
    });

    struct sigaction sa {};
    sa.sa_handler = noopHandler;  // no SA_RESTART: writes return early
    struct sigaction old {};
    ::sigaction(SIGALRM, &sa, &old);
    itimerval t{{0, 200}, {0, 200}};
    ::setitimer(ITIMER_REAL, &t, nullptr);
    for (int b = 0; b < kBlocks; ++b) writeS16(kFrames, 2, src.data());
    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &old, nullptr);
    ::close(p[1]);
    reader.join();
    ::close(p[0]);
    pcm::setOutputFd(1);

    ASSERT_EQ(got.size(), std::size_t(kBlocks) * kFrames * 4);
    EXPECT_FALSE(pcm::outputClosed());
    for (int b = 0; b < kBlocks; ++b) {
        for (int i = 0; i < 2 * kFrames; i += 997) {
            const std::size_t at = (std::size_t(b) * kFrames * 2 + std::size_t(i)) * 2;
            const auto v = std::int16_t(std::uint8_t(got[at]) | (std::uint8_t(got[at + 1]) << 8));
            ASSERT_EQ(v, sat(src[i])) << "block " << b << " sample " << i;
        }
    }
}

// A reader that has gone ends the output once and wakes the main thread; the
// next cycles write nothing and do not spin on the dead pipe.
TEST(PcmWriter, ReaderGoneClosesOutputAndRequestsShutdown) {
    auto r = testing_support::runChild([](int) {}, [] {
        std::signal(SIGPIPE, SIG_IGN);
        initShutdown();
        int p[2];
        if (::pipe(p) != 0) ::_exit(10);
        ::close(p[0]);
        pcm::setOutputFd(p[1]);
        const float s[4] = {0.1f, 0.2f, 0.3f, 0.4f};
        if (pcm::outputClosed() || shutdownRequested()) ::_exit(11);
        writeS16(2, 2, s);
        if (!pcm::outputClosed()) ::_exit(12);
        if (!shutdownRequested()) ::_exit(13);
        char b;
        if (::read(shutdownWakeFd(), &b, 1) != 1) ::_exit(14);  // the main loop would wake
        // Later cycles write nothing, even to a working descriptor.
        int q[2];
        if (::pipe(q) != 0) ::_exit(10);
        pcm::setOutputFd(q[1]);
        writeS16(2, 2, s);
        ::close(q[1]);
        if (::read(q[0], &b, 1) != 0) ::_exit(15);
        ::_exit(0);
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
}

}  // namespace

namespace {

// The rounding as first written: lround of the float product. sat() must
// agree with it everywhere; this samples every 251st bit pattern.
std::int16_t satByLround(float x) {
    if (!(x < 1.0f)) return 32767;
    const float p = (x < -1.0f ? -1.0f : x) * 32767.0f;
    return static_cast<std::int16_t>(std::lround(p));
}

float fromBits(std::uint32_t b) {
    float f;
    std::memcpy(&f, &b, 4);
    return f;
}

TEST(Sat, AgreesWithLroundAcrossTheFloatRange) {
    for (std::uint64_t b = 0; b <= 0xFFFFFFFFull; b += 251) {
        const float x = fromBits(std::uint32_t(b));
        ASSERT_EQ(sat(x), satByLround(x)) << std::hexfloat << x;
    }
}

// Every vector path against the scalar sat() on all 2^32 float bit patterns.
TEST(ConvertPaths, EveryFloatBitPatternMatchesScalarSat) {
    constexpr std::size_t kChunk = 1u << 20;
    std::vector<float> src(kChunk);
    std::vector<std::int16_t> want(kChunk), got(kChunk);
    const auto paths = pcm::availablePaths();
    for (std::uint64_t base = 0; base < (1ull << 32); base += kChunk) {
        for (std::size_t i = 0; i < kChunk; ++i) src[i] = fromBits(std::uint32_t(base + i));
        for (std::size_t i = 0; i < kChunk; ++i) want[i] = sat(src[i]);
        for (const char* path : paths) {
            if (std::strcmp(path, "scalar") == 0) continue;
            ASSERT_TRUE(pcm::convertWith(path, kChunk / 2, 2, src.data(), got.data()));
            if (std::memcmp(got.data(), want.data(), kChunk * 2) != 0) {
                for (std::size_t i = 0; i < kChunk; ++i) {
                    ASSERT_EQ(got[i], want[i]) << path << " bits 0x" << std::hex << base + i;
                }
            }
        }
    }
}

// Random shapes, odd lengths and every channel count through every path,
// with the input ending exactly where a frame ends.
TEST(ConvertPaths, RandomShapesMatchTheReference) {
    std::mt19937 rng(12345);
    std::uniform_real_distribution<float> val(-1.3f, 1.3f);
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(), 0.5f, -0.5f, 1.0f, -1.0f};
    for (int round = 0; round < 3000; ++round) {
        const std::int64_t channels = 1 + std::int64_t(rng() % 8);
        const std::int64_t frames = std::int64_t(rng() % 700);
        std::vector<float> src(std::size_t(frames * channels));
        for (auto& s : src) s = (rng() % 16 == 0) ? specials[rng() % 7] : val(rng);
        std::vector<std::int16_t> want(std::size_t(2 * frames) + 8, 0x5A5A);
        pcm::convertReference(frames, channels, src.data(), want.data());
        for (const char* path : pcm::availablePaths()) {
            std::vector<std::int16_t> got(want.size(), 0x5A5A);
            ASSERT_TRUE(pcm::convertWith(path, frames, channels, src.data(), got.data()));
            ASSERT_EQ(got, want) << path << " frames " << frames << " channels " << channels;
        }
        std::vector<std::int16_t> viaDefault(want.size(), 0x5A5A);
        pcm::convert(frames, channels, src.data(), viaDefault.data());
        ASSERT_EQ(viaDefault, want);
    }
}

}  // namespace
