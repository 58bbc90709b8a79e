// The frame sink: exact NV12 bytes on the descriptor, what it drops, how it
// writes (whole frames, no SIGPIPE), its stop line and its descriptor's
// lifetime.
#include "tap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "capture_fake.h"
#include "nv12.h"
#include "support.h"

using namespace support;

namespace {

constexpr std::uint32_t k420v = capture::kPixelFormat420v;
constexpr std::uint32_t k420f = capture::kPixelFormat420f;

void deliver(Tap& tap, const std::shared_ptr<fake::PixelBuffer>& image,
             capture::OutputType type = capture::kOutputTypeScreen) {
    NullStream stream;
    fake::SampleBuffer sample(image);
    tap.didOutputSampleBuffer(stream, sample, type);
}

// One frame through a sink of the requested size; what reached the file.
std::vector<std::uint8_t> bytesFor(std::int64_t width, std::int64_t height,
                                   const std::shared_ptr<fake::PixelBuffer>& image) {
    ScratchFile out;
    {
        Tap tap(width, height, out.dupForWriter());
        deliver(tap, image);
    }
    return out.contents();
}

// The buffer was locked read-only before anything was read from it and
// unlocked, once, after the last read.
void expectBracketed(const fake::PixelBuffer& b) {
    const auto calls = b.calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls.front(), "lock(1)");
    EXPECT_EQ(calls.back(), "unlock(1)");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "lock(1)"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "unlock(1)"), 1);
    EXPECT_EQ(b.lockDepth(), 0);
}

std::uint8_t lumaOf(const std::vector<std::uint8_t>& f, std::int64_t W, std::int64_t x,
                    std::int64_t y) {
    return f[static_cast<std::size_t>(y * W + x)];
}
std::uint8_t cbOf(const std::vector<std::uint8_t>& f, std::int64_t W, std::int64_t H,
                  std::int64_t c, std::int64_t r) {
    return f[static_cast<std::size_t>(W * H + r * W + 2 * c)];
}
std::uint8_t crOf(const std::vector<std::uint8_t>& f, std::int64_t W, std::int64_t H,
                  std::int64_t c, std::int64_t r) {
    return f[static_cast<std::size_t>(W * H + r * W + 2 * c + 1)];
}

// Frames split at frameBytes; each must be luma m then chroma m ^ 0xFF.
std::vector<std::uint8_t> markersOf(const std::vector<std::uint8_t>& stream, std::size_t lumaBytes,
                                    std::size_t frameBytes) {
    std::vector<std::uint8_t> markers;
    EXPECT_EQ(stream.size() % frameBytes, 0u) << "a partial frame in the stream";
    for (std::size_t at = 0; at + frameBytes <= stream.size(); at += frameBytes) {
        const std::uint8_t m = stream[at];
        for (std::size_t i = 0; i < frameBytes; ++i) {
            const std::uint8_t want = i < lumaBytes ? m : static_cast<std::uint8_t>(m ^ 0xFF);
            if (stream[at + i] != want) {
                ADD_FAILURE() << "frame at " << at << " torn at byte " << i;
                return markers;
            }
        }
        markers.push_back(m);
    }
    return markers;
}

}  // namespace

// --- exact bytes ---

TEST(TapBytes, SameSizeCopiesVisiblePixelsWhateverTheRowStride) {
    for (const auto& [lumaStride, chromaStride] :
         {std::pair<std::size_t, std::size_t>{0, 0}, {2048, 2048}, {1925, 1931}}) {
        SCOPED_TRACE(testing::Message() << "strides " << lumaStride << "," << chromaStride);
        auto src = patterned(1920, 1080, k420v, lumaStride, chromaStride);
        const auto f = bytesFor(1920, 1080, src);
        ASSERT_EQ(f.size(), 3110400u);
        for (std::int64_t y = 0; y < 1080; ++y)
            for (std::int64_t x = 0; x < 1920; ++x)
                ASSERT_EQ(lumaOf(f, 1920, x, y), lumaAt(x, y)) << x << "," << y;
        for (std::int64_t r = 0; r < 540; ++r)
            for (std::int64_t c = 0; c < 960; ++c) {
                ASSERT_EQ(cbOf(f, 1920, 1080, c, r), cbAt(c, r)) << c << "," << r;
                ASSERT_EQ(crOf(f, 1920, 1080, c, r), crAt(c, r)) << c << "," << r;
            }
        expectBracketed(*src);
    }
}

TEST(TapBytes, HalfSizeTakesEvenRowsAndColumns) {
    auto src = patterned(3840, 2160);
    const auto f = bytesFor(1920, 1080, src);
    ASSERT_EQ(f.size(), 3110400u);
    for (std::int64_t y = 0; y < 1080; ++y)
        for (std::int64_t x = 0; x < 1920; ++x)
            ASSERT_EQ(lumaOf(f, 1920, x, y), lumaAt(2 * x, 2 * y)) << x << "," << y;
    for (std::int64_t r = 0; r < 540; ++r)
        for (std::int64_t c = 0; c < 960; ++c) {
            ASSERT_EQ(cbOf(f, 1920, 1080, c, r), cbAt(2 * c, 2 * r)) << c << "," << r;
            ASSERT_EQ(crOf(f, 1920, 1080, c, r), crAt(2 * c, 2 * r)) << c << "," << r;
        }
}

TEST(TapBytes, WideningRepeatsColumnsRoundingDown) {
    auto src = patterned(1280, 720);
    const auto f = bytesFor(1920, 720, src);
    ASSERT_EQ(f.size(), 1920u * 720 * 3 / 2);
    const std::int64_t expected[8] = {0, 0, 1, 2, 2, 3, 4, 4};
    for (std::int64_t y : {0, 1, 359, 719})
        for (std::int64_t x = 0; x < 8; ++x)
            EXPECT_EQ(lumaOf(f, 1920, x, y), lumaAt(expected[x], y)) << x << "," << y;
    // Chroma widens by the same ratio, 640 pairs to 960.
    for (std::int64_t r : {0, 359})
        for (std::int64_t c = 0; c < 8; ++c) {
            EXPECT_EQ(cbOf(f, 1920, 720, c, r), cbAt(expected[c], r)) << c << "," << r;
            EXPECT_EQ(crOf(f, 1920, 720, c, r), crAt(expected[c], r)) << c << "," << r;
        }
    // The last output column takes the last source column.
    EXPECT_EQ(lumaOf(f, 1920, 1919, 0), lumaAt(1279, 0));
}

TEST(TapBytes, OddSizeDropsTheLastColumnAndRow) {
    auto src = patterned(1279, 719);
    const auto f = bytesFor(1279, 719, src);
    ASSERT_EQ(f.size(), 1376406u);
    for (std::int64_t y = 0; y < 718; ++y)
        for (std::int64_t x = 0; x < 1278; ++x)
            ASSERT_EQ(lumaOf(f, 1278, x, y), lumaAt(x, y)) << x << "," << y;
    for (std::int64_t r = 0; r < 359; ++r)
        for (std::int64_t c = 0; c < 639; ++c) {
            ASSERT_EQ(cbOf(f, 1278, 718, c, r), cbAt(c, r)) << c << "," << r;
            ASSERT_EQ(crOf(f, 1278, 718, c, r), crAt(c, r)) << c << "," << r;
        }
}

TEST(TapBytes, FullRangeIsWrittenLikeVideoRange) {
    const auto v = bytesFor(640, 360, patterned(800, 600, k420v, 832, 832));
    const auto f = bytesFor(640, 360, patterned(800, 600, k420f, 832, 832));
    ASSERT_EQ(v.size(), 345600u);
    EXPECT_EQ(f, v);
}

// Sources 1 pixel wide or high: their 4:2:0 chroma plane still has one
// pair or row, which every output chroma sample repeats. The fake's planes
// end at an inaccessible page, so reading past them crashes the test.
TEST(TapBytes, OnePixelSourcesReadOnlyTheirOwnPlanes) {
    struct Case {
        std::size_t sw, sh;
        std::int64_t W, H;
        std::vector<std::int64_t> cols, rows, pairs, chromaRows;
    };
    const Case cases[] = {
        {1, 1, 4, 4, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0}, {0, 0}},
        {1, 5, 4, 6, {0, 0, 0, 0}, {0, 0, 1, 2, 3, 4}, {0, 0}, {0, 0, 1}},
        {5, 1, 6, 4, {0, 0, 1, 2, 3, 4}, {0, 0, 0, 0}, {0, 0, 1}, {0, 0}},
        {3, 3, 6, 6, {0, 0, 1, 1, 2, 2}, {0, 0, 1, 1, 2, 2}, {0, 0, 0}, {0, 0, 0}},
        {2, 2, 4, 2, {0, 0, 1, 1}, {0, 1}, {0, 0}, {0}},
        {1, 1, 2, 2, {0, 0}, {0, 0}, {0}, {0}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.sw << "x" << k.sh << " to " << k.W << "x" << k.H);
        auto src = patterned(k.sw, k.sh);
        // Planes allocated to the byte: ceil(w / 2) x ceil(h / 2) pairs.
        EXPECT_EQ(src->planeBytes(0), k.sw * k.sh);
        EXPECT_EQ(src->planeBytes(1), 2 * ((k.sw + 1) / 2) * ((k.sh + 1) / 2));
        const auto f = bytesFor(k.W, k.H, src);
        ASSERT_EQ(f.size(), static_cast<std::size_t>(k.W * k.H * 3 / 2));
        for (std::int64_t y = 0; y < k.H; ++y)
            for (std::int64_t x = 0; x < k.W; ++x)
                EXPECT_EQ(lumaOf(f, k.W, x, y), lumaAt(k.cols[x], k.rows[y])) << x << "," << y;
        for (std::int64_t r = 0; r < k.H / 2; ++r)
            for (std::int64_t c = 0; c < k.W / 2; ++c) {
                EXPECT_EQ(cbOf(f, k.W, k.H, c, r), cbAt(k.pairs[c], k.chromaRows[r]));
                EXPECT_EQ(crOf(f, k.W, k.H, c, r), crAt(k.pairs[c], k.chromaRows[r]));
            }
    }
}

// --- what is dropped ---

TEST(TapDrops, SizesBelowTwoOrNegativeWriteNothing) {
    const std::pair<std::int64_t, std::int64_t> sizes[] = {
        {0, 0}, {1, 1}, {0, 720}, {1280, 0}, {1, 720}, {1280, 1}, {-2, 720}, {1280, -2},
        {-1, -1}, {INT64_MIN, INT64_MIN}, {-1280, -720},
    };
    for (const auto& [w, h] : sizes) {
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        auto src = patterned(64, 32);
        EXPECT_TRUE(bytesFor(w, h, src).empty());
        expectBracketed(*src);
    }
}

TEST(TapDrops, SizesTooLargeToAllocateWriteNothing) {
    const std::pair<std::int64_t, std::int64_t> sizes[] = {
        {INT64_MAX, INT64_MAX}, {INT64_MAX, 2}, {std::int64_t{1} << 31, std::int64_t{1} << 30},
        {std::int64_t{1} << 40, std::int64_t{1} << 22},
    };
    for (const auto& [w, h] : sizes) {
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        auto src = patterned(64, 32);
        EXPECT_TRUE(bytesFor(w, h, src).empty());
        expectBracketed(*src);
    }
}

TEST(TapDrops, OtherPixelFormatsAreUnlockedUnread) {
    const std::uint32_t formats[] = {
        0x42475241,  // 'BGRA'
        0x79343230,  // 'y420' planar
        0x78343230,  // 'x420' 10-bit
        0x34323077,  // one bit off '420v'
        0x34323066 ^ 0x01000000,
        0,
    };
    for (std::uint32_t format : formats) {
        SCOPED_TRACE(testing::Message() << std::hex << format);
        auto src = patterned(64, 32, format);
        EXPECT_TRUE(bytesFor(64, 32, src).empty());
        EXPECT_EQ(src->calls(), (std::vector<std::string>{"lock(1)", "width()", "height()",
                                                          "pixelFormatType()", "unlock(1)"}));
    }
}

TEST(TapDrops, EmptySourceOrUnavailablePlanesWriteNothing) {
    for (auto [w, h] : {std::pair<std::size_t, std::size_t>{0, 32}, {64, 0}}) {
        auto empty = std::make_shared<fake::PixelBuffer>(w, h, k420v);
        EXPECT_TRUE(bytesFor(64, 32, empty).empty());
        expectBracketed(*empty);
    }
    auto withheld = patterned(64, 32);
    withheld->withholdPlanes();
    EXPECT_TRUE(bytesFor(64, 32, withheld).empty());
    expectBracketed(*withheld);
}

TEST(TapDrops, OnlyScreenSamplesWithAnImageAreWritten) {
    ScratchFile out;
    Tap tap(64, 32, out.dupForWriter());
    NullStream stream;
    auto src = patterned(64, 32);
    fake::SampleBuffer withImage(src);
    fake::SampleBuffer noImage(nullptr);
    tap.didOutputSampleBuffer(stream, withImage, capture::kOutputTypeAudio);
    tap.didOutputSampleBuffer(stream, withImage, 2);
    tap.didOutputSampleBuffer(stream, withImage, -1);
    tap.didOutputSampleBuffer(stream, noImage, capture::kOutputTypeScreen);
    EXPECT_TRUE(out.contents().empty());
    EXPECT_TRUE(src->calls().empty());
    tap.didOutputSampleBuffer(stream, withImage, capture::kOutputTypeScreen);
    EXPECT_EQ(out.contents().size(), 64u * 32 * 3 / 2);
}

TEST(TapDrops, FrameSizesFollowTheRequestedSize) {
    auto f = nv12::frameFor(1920, 1080);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->lumaBytes, 2073600u);
    EXPECT_EQ(f->chromaBytes, 1036800u);
    f = nv12::frameFor(1279, 719);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->width, 1278);
    EXPECT_EQ(f->height, 718);
    EXPECT_EQ(f->lumaBytes + f->chromaBytes, 1376406u);
    f = nv12::frameFor(-5, 720);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->lumaBytes, 0u);
    EXPECT_FALSE(nv12::frameFor(INT64_MAX, INT64_MAX));
}

// --- the stop line ---

TEST(TapStopReport, WritesOneLineAndKeepsWriting) {
    ScratchFile out;
    Tap tap(4, 2, out.dupForWriter());
    NullStream stream;
    {
        StderrCapture err;
        tap.didStopWithError(stream, capture::Error{"x"});
        const std::string text = err.text();
        EXPECT_EQ(text, "sck-video: x\n");
        EXPECT_EQ(text.size(), 13u);
    }
    {
        StderrCapture err;
        tap.didStopWithError(stream, capture::Error{"\xC3\xA9" "cran perdu"});
        EXPECT_EQ(err.text(), "sck-video: \xC3\xA9" "cran perdu\n");
    }
    // The report changes nothing: frames are still written.
    deliver(tap, marked(4, 2, 9));
    const std::vector<std::uint8_t> frame = {9, 9, 9, 9, 9, 9, 9, 9, 0xF6, 0xF6, 0xF6, 0xF6};
    EXPECT_EQ(out.contents(), frame);
}

// --- the descriptor's lifetime ---

TEST(TapDescriptor, DestroyingTheSinkClosesIt) {
    Pipe p;
    const int fd = p.giveWriteEnd();
    auto tap = std::make_unique<Tap>(4, 2, fd);
    EXPECT_TRUE(isOpen(fd));
    EXPECT_FALSE(writerGoneNow(p.r));
    tap.reset();
    EXPECT_FALSE(isOpen(fd));
    EXPECT_TRUE(readToEof(p.r).empty());
}

TEST(TapDescriptor, ADescriptorThatIsNotOpenIsReportedOnceAtTheFirstFrame) {
    StderrCapture err;  // first: its own descriptors must not reuse fd
    int fd = ::dup(0);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_FALSE(isOpen(fd));
    {
        Tap tap(4, 2, fd);
        for (std::uint8_t m = 1; m <= 2; ++m) {
            auto src = marked(4, 2, m);
            deliver(tap, src);
            expectBracketed(*src);
        }
    }
    EXPECT_EQ(err.text(), "sck-video: frame write failed: Bad file descriptor\n");
}

// --- how frames are written ---

namespace {

// A named pipe whose reader can go away and come back while the sink keeps
// the same writing descriptor.
struct Fifo {
    std::string path;
    int r = -1;
    int w = -1;
    Fifo() {
        char dir[] = "/tmp/mirvo-fifo-XXXXXX";
        if (!::mkdtemp(dir)) std::abort();
        path = std::string(dir) + "/frames";
        if (::mkfifo(path.c_str(), 0600) != 0) std::abort();
        r = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
        w = ::open(path.c_str(), O_WRONLY);
        if (r < 0 || w < 0) std::abort();
    }
    void closeReader() {
        ::close(r);
        r = -1;
    }
    void reopenReader() { r = ::open(path.c_str(), O_RDONLY | O_NONBLOCK); }
    ~Fifo() {
        if (r >= 0) ::close(r);
        ::unlink(path.c_str());
        ::rmdir(path.substr(0, path.rfind('/')).c_str());
    }
};

bool sigpipePending() {
    sigset_t s;
    sigemptyset(&s);
    sigpending(&s);
    return sigismember(&s, SIGPIPE) == 1;
}

bool sigpipeBlocked() {
    sigset_t s;
    sigemptyset(&s);
    pthread_sigmask(SIG_BLOCK, nullptr, &s);
    return sigismember(&s, SIGPIPE) == 1;
}

// With the reader gone, frames fail without a signal reaching the host and
// without the sink giving up: once a reader is back, the next frame arrives.
void closedReaderRun(void (*disposition)(int)) {
    struct sigaction old {};
    struct sigaction set {};
    set.sa_handler = disposition;
    sigemptyset(&set.sa_mask);
    ASSERT_EQ(sigaction(SIGPIPE, &set, &old), 0);

    Fifo fifo;
    {
        Tap tap(4, 2, fifo.w);
        fifo.closeReader();
        for (std::uint8_t m = 1; m <= 3; ++m) {
            auto src = marked(4, 2, m);
            deliver(tap, src);
            expectBracketed(*src);  // converted and attempted
        }
        EXPECT_FALSE(sigpipePending());
        EXPECT_FALSE(sigpipeBlocked());
        struct sigaction now {};
        sigaction(SIGPIPE, nullptr, &now);
        EXPECT_EQ(now.sa_handler, disposition);

        fifo.reopenReader();
        ASSERT_GE(fifo.r, 0);
        deliver(tap, marked(4, 2, 7));
        const std::vector<std::uint8_t> frame = {7, 7, 7, 7, 7, 7, 7, 7, 0xF8, 0xF8, 0xF8, 0xF8};
        EXPECT_EQ(readExactly(fifo.r, frame.size()), frame);
    }
    sigaction(SIGPIPE, &old, nullptr);
}

}  // namespace

TEST(TapWrites, ClosedReaderWithSigpipeIgnored) { closedReaderRun(SIG_IGN); }

TEST(TapWrites, ClosedReaderWithDefaultSigpipeDoesNotKillTheProcess) {
    closedReaderRun(SIG_DFL);
}

#ifndef F_SETNOSIGPIPE
// A SIGPIPE the host already had pending is the host's, not the sink's.
TEST(TapWrites, ClosedReaderLeavesAnEarlierPendingSigpipe) {
    sigset_t pipeOnly, saved;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &pipeOnly, &saved), 0);
    ASSERT_EQ(pthread_kill(pthread_self(), SIGPIPE), 0);
    ASSERT_TRUE(sigpipePending());

    Fifo fifo;
    {
        Tap tap(4, 2, fifo.w);
        fifo.closeReader();
        deliver(tap, marked(4, 2, 1));
    }
    EXPECT_TRUE(sigpipePending());
    EXPECT_TRUE(sigpipeBlocked());  // the caller's mask is back as it was
    const timespec zero{};
    EXPECT_EQ(sigtimedwait(&pipeOnly, nullptr, &zero), SIGPIPE);
    EXPECT_FALSE(sigpipePending());
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}
#endif

TEST(TapWrites, ConcurrentWritersNeverInterleaveFramesForAnOddSizedReader) {
    constexpr std::size_t kW = 320, kH = 180, kLuma = kW * kH, kFrame = kLuma * 3 / 2;
    constexpr int kPerWriter = 6;
    Pipe p;
    auto tap = std::make_shared<Tap>(kW, kH, p.giveWriteEnd());
    auto writer = [sink = tap.get()](std::uint8_t first) {
        for (int i = 0; i < kPerWriter; ++i)
            deliver(*sink, marked(kW, kH, static_cast<std::uint8_t>(first + i)));
    };
    std::thread closer([tap, writer]() mutable {
        std::thread a(writer, std::uint8_t{10});
        std::thread b(writer, std::uint8_t{100});
        a.join();
        b.join();
        tap.reset();
    });
    tap.reset();  // the closer's copy is now the last

    std::vector<std::uint8_t> stream;
    const std::size_t pieces[] = {1, 7, 4093, 65521, 3, 12289};
    std::uint8_t buf[65521];
    for (std::size_t i = 0;; ++i) {
        pollfd pf{p.r, POLLIN, 0};
        ASSERT_GT(::poll(&pf, 1, kGuardMs), 0) << "the writers stalled";
        const ssize_t n = ::read(p.r, buf, pieces[i % 6]);
        if (n <= 0) break;
        stream.insert(stream.end(), buf, buf + n);
    }
    closer.join();

    ASSERT_EQ(stream.size(), 2 * kPerWriter * kFrame);
    const auto markers = markersOf(stream, kLuma, kFrame);
    std::vector<std::uint8_t> fromA, fromB;
    for (auto m : markers) (m < 100 ? fromA : fromB).push_back(m);
    EXPECT_EQ(fromA, (std::vector<std::uint8_t>{10, 11, 12, 13, 14, 15}));
    EXPECT_EQ(fromB, (std::vector<std::uint8_t>{100, 101, 102, 103, 104, 105}));
}

TEST(TapWrites, NonBlockingPipeWithASlowReaderGetsWholeFrames) {
    constexpr std::size_t kW = 320, kH = 180, kLuma = kW * kH, kFrame = kLuma * 3 / 2;
    Pipe p;
    ASSERT_EQ(::fcntl(p.w, F_SETFL, ::fcntl(p.w, F_GETFL) | O_NONBLOCK), 0);
    auto tap = std::make_unique<Tap>(kW, kH, p.giveWriteEnd());
    std::thread writer([&tap] {
        for (std::uint8_t m = 1; m <= 5; ++m) deliver(*tap, marked(kW, kH, m));
        tap.reset();
    });

    // Read nothing until the luma of the first frame is queued: its chroma
    // then exceeds the pipe's room (64 KiB here) and the writer meets EAGAIN.
    const auto guard = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGuardMs);
    for (int queued = 0; queued < static_cast<int>(kLuma);) {
        ASSERT_LT(std::chrono::steady_clock::now(), guard) << "the writer stalled";
        ASSERT_EQ(::ioctl(p.r, FIONREAD, &queued), 0);
        std::this_thread::yield();
    }
    std::vector<std::uint8_t> stream;
    std::uint8_t buf[997];
    for (;;) {
        pollfd pf{p.r, POLLIN, 0};
        ASSERT_GT(::poll(&pf, 1, kGuardMs), 0) << "the writer stalled";
        const ssize_t n = ::read(p.r, buf, sizeof buf);
        if (n <= 0) break;
        stream.insert(stream.end(), buf, buf + n);
    }
    writer.join();
    ASSERT_EQ(stream.size(), 5 * kFrame);
    EXPECT_EQ(markersOf(stream, kLuma, kFrame), (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
}

namespace {
void onUsr1(int) {}
}  // namespace

TEST(TapWrites, InterruptedWritesStillDeliverWholeFrames) {
    constexpr std::size_t kW = 320, kH = 180, kLuma = kW * kH, kFrame = kLuma * 3 / 2;
    struct sigaction old {};
    struct sigaction set {};
    set.sa_handler = onUsr1;  // no SA_RESTART: a blocked write returns early
    sigemptyset(&set.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &set, &old), 0);

    Pipe p;
    auto tap = std::make_unique<Tap>(kW, kH, p.giveWriteEnd());
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (std::uint8_t m = 1; m <= 4; ++m) deliver(*tap, marked(kW, kH, m));
        done = true;
        tap.reset();
    });
    std::vector<std::uint8_t> stream;
    std::uint8_t buf[4096];
    for (;;) {
        if (!done) pthread_kill(writer.native_handle(), SIGUSR1);
        pollfd pf{p.r, POLLIN, 0};
        ASSERT_GT(::poll(&pf, 1, kGuardMs), 0) << "the writer stalled";
        const ssize_t n = ::read(p.r, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        stream.insert(stream.end(), buf, buf + n);
    }
    writer.join();
    sigaction(SIGUSR1, &old, nullptr);
    ASSERT_EQ(stream.size(), 4 * kFrame);
    EXPECT_EQ(markersOf(stream, kLuma, kFrame), (std::vector<std::uint8_t>{1, 2, 3, 4}));
}
