// Sample conversion and the PCM stream: exact values on every vector path,
// exact bytes for every buffer list the IO proc can be handed, and the one
// write loop on slow, interrupted and non-blocking readers.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
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
#include <unistd.h>

#include "alloc_counter.h"
#include "child.h"
#include "pcm.h"
#include "pcm_out.h"
#include "write_all.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

class ConvertPath : public ::testing::TestWithParam<const char*> {};

// Scale 32767 both ways, ties away from zero, NaN and +inf full scale. Each
// value fills whole vectors, in stereo and mono.
TEST_P(ConvertPath, WorkedValues) {
    const std::pair<float, int> cases[] = {
        {0.0f, 0}, {-0.0f, 0}, {0.5f, 16384}, {-0.5f, -16384}, {1.5f / 32767, 2}, {-1.5f / 32767, -2},
        {0.4f / 32767, 0}, {1.0f, 32767}, {2.0f, 32767}, {-1.0f, -32767}, {-3.0f, -32767},
        {kInf, 32767}, {-kInf, -32767}, {kNaN, 32767}, {-kNaN, 32767},
        {std::nextafter(1.0f, 0.0f), 32767}, {std::numeric_limits<float>::denorm_min(), 0},
    };
    for (const auto& [x, want] : cases) {
        for (const int channels : {1, 2}) {
            const std::vector<float> src(32, x);
            std::vector<std::int16_t> got(2 * 32 / channels);
            ASSERT_TRUE(audio::convertWith(GetParam(), 32 / channels, channels, src.data(), got.data()));
            EXPECT_EQ(got, std::vector<std::int16_t>(got.size(), std::int16_t(want))) << x << " " << channels;
        }
    }
}

// Random shapes, odd lengths and every channel count, the input ending
// exactly where a frame ends: exactly the reference, nothing past the end.
TEST_P(ConvertPath, RandomShapesMatchTheReference) {
    std::mt19937 rng(12345);
    std::uniform_real_distribution<float> val(-1.3f, 1.3f);
    const float specials[] = {kNaN, kInf, -kInf, 0.5f, -0.5f, 1.0f, -1.0f};
    for (int round = 0; round < 1500; ++round) {
        const std::int64_t channels = 1 + std::int64_t(rng() % 8), frames = std::int64_t(rng() % 300);
        std::vector<float> src(std::size_t(frames * channels));
        for (auto& s : src) s = (rng() % 16 == 0) ? specials[rng() % 7] : val(rng);
        std::vector<std::int16_t> want(std::size_t(2 * frames) + 8, 0x5A5A), got = want;
        audio::convertReference(frames, channels, src.data(), want.data());
        ASSERT_TRUE(audio::convertWith(GetParam(), frames, channels, src.data(), got.data()));
        ASSERT_EQ(got, want) << "frames " << frames << " channels " << channels;
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, ConvertPath, ::testing::ValuesIn(common::availablePaths()),
                         [](const auto& p) { return std::string(p.param); });

float fromBits(std::uint32_t b) {
    float f;
    std::memcpy(&f, &b, 4);
    return f;
}

// Every vector path against the scalar conversion on all 2^32 floats.
TEST(ConvertPaths, EveryFloatBitPatternMatchesScalar) {
    constexpr std::size_t kChunk = 1u << 20;
    std::vector<float> src(kChunk);
    std::vector<std::int16_t> want(kChunk), got(kChunk);
    for (std::uint64_t base = 0; base < (1ull << 32); base += kChunk) {
        for (std::size_t i = 0; i < kChunk; ++i) src[i] = fromBits(std::uint32_t(base + i));
        audio::convertReference(kChunk / 2, 2, src.data(), want.data());
        for (const char* path : common::availablePaths()) {
            if (std::strcmp(path, "scalar") == 0) continue;
            ASSERT_TRUE(audio::convertWith(path, kChunk / 2, 2, src.data(), got.data()));
            if (std::memcmp(got.data(), want.data(), kChunk * 2) == 0) continue;
            for (std::size_t i = 0; i < kChunk; ++i)
                ASSERT_EQ(got[i], want[i]) << path << " bits 0x" << std::hex << base + i;
        }
    }
}

// Captures what the PCM writer emits into a temporary file.
struct PcmCapture {
    std::FILE* file = std::tmpfile();
    PcmCapture() {
        audio::resetOutput();
        audio::setOutputFd(::fileno(file));
    }
    ~PcmCapture() {
        audio::setOutputFd(1);
        std::fclose(file);
    }
    std::string bytes() const { return testing_support::readAll(::fileno(file)); }
};

std::string le16(std::initializer_list<int> samples) {
    std::string b;
    for (int s : samples) b += {char(s & 0xFF), char((s >> 8) & 0xFF)};
    return b;
}

struct Cycle {
    const char* name;
    std::int64_t buffers;  // -1: no list at all
    std::uint32_t channels, bytes;
    std::vector<float> data;  // empty: null data
    std::string want;
};
void PrintTo(const Cycle& c, std::ostream* os) { *os << c.name; }

class IOProcCycle : public ::testing::TestWithParam<Cycle> {};

// The whole frames of the first buffer, channel 0 left and 1 right (a single
// one to both), little-endian; a second buffer and the output are untouched.
TEST_P(IOProcCycle, WritesExactlyTheFirstBuffersWholeFrames) {
    const Cycle& c = GetParam();
    std::vector<float> data = c.data, second(4, 0.9f);
    std::vector<std::max_align_t> raw(4);
    auto* list = reinterpret_cast<hal::AudioBufferList*>(raw.data());
    list->mNumberBuffers = std::uint32_t(c.buffers);
    list->mBuffers[0] = {c.channels, c.bytes, data.empty() ? nullptr : data.data()};
    (&list->mBuffers[0])[1] = {2, 16, second.data()};
    PcmCapture cap;
    EXPECT_EQ(ioProc(7, nullptr, c.buffers < 0 ? nullptr : list, nullptr, list, nullptr, nullptr), 0);
    EXPECT_EQ(cap.bytes(), c.want);
    EXPECT_EQ(second, std::vector<float>(4, 0.9f));
    EXPECT_EQ(list->mBuffers[0].mData, data.empty() ? nullptr : data.data());
}

const std::vector<float> kSix = {0.5f, -0.5f, 0.9f, 0.9f, 0.9f, 0.9f, -1.0f, 1.0f, 0.9f, 0.9f, 0.9f, 0.9f};
INSTANTIATE_TEST_SUITE_P(Lists, IOProcCycle, ::testing::Values(
    Cycle{"NoList", -1, 2, 16, {0.5f, 0.5f, 0.5f, 0.5f}, ""},
    Cycle{"NoBuffers", 0, 2, 16, {0.5f, 0.5f, 0.5f, 0.5f}, ""},
    Cycle{"NullData", 1, 2, 32, {}, ""},
    Cycle{"ZeroBytes", 1, 2, 0, {0.5f, 0.5f}, ""},
    Cycle{"LessThanAFrame", 1, 2, 4, {0.5f, 0.5f}, ""},
    Cycle{"HugeChannelCount", 1, 0xFFFFFFFFu, 16, {0.5f, 0.5f, 0.5f, 0.5f}, ""},
    Cycle{"StereoWithStrayBytes", 2, 2, 20, {0.5f, -0.5f, -1.0f, 1.0f, 0.25f}, le16({16384, -16384, -32767, 32767})},
    Cycle{"ZeroChannelsIsMono", 1, 0, 12, {0.5f, -0.5f, 1.0f}, le16({16384, 16384, -16384, -16384, 32767, 32767})},
    Cycle{"SixChannels", 1, 6, 48, kSix, le16({16384, -16384, -32767, 32767})}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(IOProc, SteadyStateCyclesAllocateNothing) {
    PcmCapture cap;
    std::vector<float> big(2 * 4096, 0.25f), small(2 * 480, -0.25f);
    hal::AudioBufferList l{1, {{2, std::uint32_t(big.size() * 4), big.data()}}};
    ioProc(7, nullptr, &l, nullptr, nullptr, nullptr, nullptr);  // grows the block once
    const long before = testing_support::allocationCount();
    for (int i = 0; i < 100; ++i) {
        for (auto* v : {&small, &big}) {
            l.mBuffers[0] = {2, std::uint32_t(v->size() * 4), v->data()};
            ioProc(7, nullptr, &l, nullptr, nullptr, nullptr, nullptr);
        }
    }
    EXPECT_EQ(testing_support::allocationCount() - before, 0);
    EXPECT_EQ(cap.bytes().size(), 4u * (4096 + 100 * (480 + 4096)));
}

struct WriteCase {
    const char* name;
    bool nonBlocking;
    common::WritePolicy policy;
};
void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

class WriteAll : public ::testing::TestWithParam<WriteCase> {};

void noop(int) {}

// A stop descriptor that never becomes readable.
int neverReadable() {
    static int p[2] = {-1, -1};
    if (p[0] < 0 && ::pipe(p) != 0) return -1;
    return p[0];
}

// A reader that takes small pieces and interrupts the writer between them
// (no SA_RESTART: blocked writes return early, EINTR or short): every byte
// arrives once, in order.
TEST_P(WriteAll, WholeBufferDespiteShortWritesInterruptsAndFullPipes) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    if (GetParam().nonBlocking) ::fcntl(p[1], F_SETFL, O_NONBLOCK);
    std::string data(1 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7919 >> 3);
    struct sigaction sa {}, old {};
    sa.sa_handler = noop;
    ::sigaction(SIGUSR1, &sa, &old);
    const pthread_t writer = pthread_self();
    std::string got;
    std::thread reader([&] {
        char buf[1000];
        for (ssize_t n = 1; n > 0;) {
            pthread_kill(writer, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            n = ::read(p[0], buf, sizeof buf);
            if (n > 0) got.append(buf, std::size_t(n));
        }
    });
    EXPECT_EQ(common::writeAll(p[1], data.data(), data.size(), GetParam().policy), 0);
    ::close(p[1]);
    reader.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    ::close(p[0]);
    EXPECT_TRUE(got == data) << got.size() << " bytes of " << data.size();
}

INSTANTIATE_TEST_SUITE_P(Modes, WriteAll, ::testing::Values(
    WriteCase{"Blocking", false, {}},
    WriteCase{"NonBlocking", true, {}},
    WriteCase{"PipeBufPiecesWithStop", true, {.stopFd = neverReadable(), .chunk = PIPE_BUF}}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
