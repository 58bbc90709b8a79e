// The fast conversion against the reference, byte for byte, on every path
// this build and processor can run; and the frame sink's steady state, which
// allocates nothing per frame.
//
// Source planes end exactly at the last byte the reference reads, at the end
// of a page followed by an inaccessible one, so any read past it faults;
// frame buffers end the same way, so any write past them faults too.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "alloc_counter.h"
#include "capture.h"
#include "nv12.h"
#include "page_end_buffer.h"
#include "nv12_fast.h"
#include "support.h"
#include "tap.h"

namespace {

using Guarded = testing_support::PageEndBuffer;

std::int64_t lastIndex(std::int64_t n, std::int64_t s) { return std::min((n - 1) * s / n, s - 1); }

// A source of sw x sh with the given strides whose planes end at the last
// byte a W x H conversion reads, filled with random bytes (padding too).
struct GuardedSource {
    std::unique_ptr<Guarded> luma, chroma;
    nv12::Source src{};

    GuardedSource(std::int64_t sw, std::int64_t sh, std::int64_t lumaStride,
                  std::int64_t chromaStride, std::int64_t W, std::int64_t H, std::mt19937& rng) {
        const std::int64_t scw = nv12::chromaSide(sw), sch = nv12::chromaSide(sh);
        const std::int64_t lumaEnd = lastIndex(H, sh) * lumaStride + lastIndex(W, sw) + 1;
        const std::int64_t chromaEnd =
            lastIndex(H / 2, sch) * chromaStride + 2 * lastIndex(W / 2, scw) + 2;
        luma = std::make_unique<Guarded>(static_cast<std::size_t>(lumaEnd));
        chroma = std::make_unique<Guarded>(static_cast<std::size_t>(chromaEnd));
        std::uint64_t x = rng() | 1;  // xorshift: eight bytes a step
        for (auto* g : {luma.get(), chroma.get()})
            for (std::size_t i = 0; i < g->size(); i += 8) {
                x ^= x << 13;
                x ^= x >> 7;
                x ^= x << 17;
                std::memcpy(g->data() + i, &x, std::min<std::size_t>(8, g->size() - i));
            }
        src = nv12::Source{luma->data(), lumaStride, chroma->data(), chromaStride, sw, sh};
    }
};

struct Geometry {
    std::int64_t sw, sh, W, H;
};

// Output sides: tiny, around the fast paths' thresholds (16, 17, 18, 32,
// 33, 34 bytes), and random ones; even, as frameFor makes them.
std::int64_t pick(std::mt19937& rng, std::int64_t source) {
    std::uniform_int_distribution<int> kind(0, 9);
    std::int64_t v = 0;
    switch (kind(rng)) {
        case 0: v = std::uniform_int_distribution<std::int64_t>(2, 8)(rng); break;
        case 1: v = std::uniform_int_distribution<std::int64_t>(14, 40)(rng); break;
        case 2: v = source; break;                 // same size
        case 3: v = source / 2; break;             // 2:1
        case 4: v = source * 2; break;             // 1:2
        case 5: v = source * 2 / 3; break;
        case 6: v = source * 3 / 2; break;
        case 7: v = source / 2 - 1; break;         // just over 2:1
        case 8: v = source / 5; break;             // beyond two loads a block
        default: v = std::uniform_int_distribution<std::int64_t>(2, 700)(rng); break;
    }
    return std::max<std::int64_t>(v & ~std::int64_t{1}, 2);
}

Geometry randomGeometry(std::mt19937& rng) {
    std::uniform_int_distribution<int> kind(0, 5);
    std::int64_t sw, sh;
    switch (kind(rng)) {
        case 0:
            sw = std::uniform_int_distribution<std::int64_t>(1, 5)(rng);
            sh = std::uniform_int_distribution<std::int64_t>(1, 5)(rng);
            break;
        case 1:
            sw = std::uniform_int_distribution<std::int64_t>(1, 80)(rng);
            sh = std::uniform_int_distribution<std::int64_t>(1, 40)(rng);
            break;
        default:
            sw = std::uniform_int_distribution<std::int64_t>(1, 520)(rng);
            sh = std::uniform_int_distribution<std::int64_t>(1, 120)(rng);
            break;
    }
    return {sw, sh, pick(rng, sw), std::min<std::int64_t>(pick(rng, sh), 120)};
}

std::int64_t stride(std::mt19937& rng, std::int64_t tight) {
    switch (std::uniform_int_distribution<int>(0, 3)(rng)) {
        case 0: return tight;
        case 1: return tight + std::uniform_int_distribution<std::int64_t>(1, 70)(rng);
        case 2: return (tight + 63) / 64 * 64;
        default: return (tight + 4095) / 4096 * 4096;
    }
}

// The reference's frame and each path's, into guarded buffers prefilled
// with a byte the paths must overwrite.
void expectAllPathsMatch(std::vector<nv12::Converter>& converters,
                         const std::vector<const char*>& paths, const nv12::Source& src,
                         std::int64_t W, std::int64_t H, const char* what) {
    const auto lumaBytes = static_cast<std::size_t>(W * H);
    std::vector<std::uint8_t> wantLuma(lumaBytes), wantChroma(lumaBytes / 2);
    nv12::convertReference(src, W, H, wantLuma.data(), wantChroma.data());
    Guarded luma(lumaBytes), chroma(lumaBytes / 2);
    static int fills = 0;
    for (std::size_t p = 0; p < converters.size(); ++p) {
        {
            const int fill = (fills++ & 1) ? 0xA5 : 0x00;
            std::memset(luma.data(), fill, luma.size());
            std::memset(chroma.data(), fill, chroma.size());
            converters[p].convert(src, W, H, luma.data(), chroma.data());
            const bool same = std::memcmp(luma.data(), wantLuma.data(), lumaBytes) == 0 &&
                              std::memcmp(chroma.data(), wantChroma.data(), lumaBytes / 2) == 0;
            ASSERT_TRUE(same) << what << ": path " << paths[p] << ", " << src.width << "x"
                              << src.height << " strides " << src.lumaStride << "/"
                              << src.chromaStride << " to " << W << "x" << H;
        }
    }
}

TEST(Nv12Fast, EveryPathMatchesTheReferenceOnRandomGeometries) {
    const auto paths = nv12::availablePaths();
    ASSERT_FALSE(paths.empty());
    // One converter per path for the whole run: plans are rebuilt on every
    // change of geometry and reused when it repeats.
    std::vector<nv12::Converter> converters;
    converters.reserve(paths.size());
    for (const char* p : paths) {
        converters.emplace_back(p);
        ASSERT_TRUE(converters.back().ok()) << p;
    }
    std::mt19937 rng(20240611);
    int checked = 0;
    for (int i = 0; i < 2000; ++i) {
        const Geometry g = randomGeometry(rng);
        // Twice: the second time with other strides and bytes and the
        // plan kept from the first. Output buffers are prefilled with 0x00
        // or 0xA5 in turn, so an unwritten byte shows.
        for (int again = 0; again < 2; ++again) {
            const std::int64_t ls = stride(rng, g.sw);
            const std::int64_t cs = stride(rng, 2 * ((g.sw + 1) / 2));
            GuardedSource s(g.sw, g.sh, ls, cs, g.W, g.H, rng);
            expectAllPathsMatch(converters, paths, s.src, g.W, g.H, "random");
            if (HasFatalFailure()) return;
            ++checked;
        }
    }
    EXPECT_EQ(checked, 4000);
}

TEST(Nv12Fast, EveryPathMatchesTheReferenceOnScreenSizes) {
    const auto paths = nv12::availablePaths();
    std::vector<nv12::Converter> converters;
    for (const char* p : paths) converters.emplace_back(p);
    std::mt19937 rng(7);
    const Geometry sizes[] = {
        {1920, 1080, 1920, 1080}, {3840, 2160, 1920, 1080}, {1280, 720, 1920, 1080},
        {2560, 1440, 1278, 718},  {1920, 1080, 1280, 720},  {3024, 1964, 1512, 982},
        {1366, 768, 1920, 1080},  {1921, 1081, 1920, 1080}, {5120, 2880, 640, 360},
        {33, 17, 1920, 1080},
    };
    for (const Geometry& g : sizes) {
        GuardedSource s(g.sw, g.sh, (g.sw + 63) / 64 * 64, (g.sw + 1 + 63) / 64 * 64, g.W, g.H, rng);
        expectAllPathsMatch(converters, paths, s.src, g.W, g.H, "screen");
        if (HasFatalFailure()) return;
    }
}

// Byte indexes past 32 bits: the converter hands such geometries to the
// reference. The rows are untouched zero pages of a reserved mapping.
TEST(Nv12Fast, RowsWiderThanFourGigabytesStillMatch) {
    const std::int64_t sw = (std::int64_t{1} << 33) + 2;
    const std::size_t bytes = static_cast<std::size_t>(sw) + 4096;
    void* map = ::mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (map == MAP_FAILED) GTEST_SKIP() << "no room for an 8 GB reservation";
    const auto* p = static_cast<const std::uint8_t*>(map);
    const nv12::Source src{p, 0, p, 0, sw, 1};
    for (const char* path : nv12::availablePaths()) {
        std::uint8_t luma[4] = {1, 1, 1, 1}, chroma[2] = {1, 1};
        ASSERT_TRUE(nv12::convertWith(path, src, 2, 2, luma, chroma));
        EXPECT_EQ(std::vector<int>(luma, luma + 4), std::vector<int>(4, 0)) << path;
        EXPECT_EQ(std::vector<int>(chroma, chroma + 2), std::vector<int>(2, 0)) << path;
    }
    ::munmap(map, bytes);
}

TEST(Nv12Fast, UnknownPathsAreRefused) {
    std::uint8_t l[4], c[2];
    const std::uint8_t px[4] = {};
    const nv12::Source src{px, 2, px, 2, 2, 2};
    EXPECT_FALSE(nv12::convertWith("mmx", src, 2, 2, l, c));
    EXPECT_FALSE(nv12::Converter("").ok());
    EXPECT_TRUE(nv12::Converter().ok());
}

// A pixel buffer that records nothing, so a frame through the sink is all
// the sink's own doing.
class QuietBuffer final : public capture::PixelBuffer {
public:
    QuietBuffer(std::size_t w, std::size_t h, std::uint8_t fill)
        : w_(w), h_(h), luma_(w * h, fill), chroma_(((w + 1) / 2) * 2 * ((h + 1) / 2), fill) {}
    std::int32_t lockBaseAddress(std::uint64_t) override { return 0; }
    std::int32_t unlockBaseAddress(std::uint64_t) override { return 0; }
    std::size_t width() const override { return w_; }
    std::size_t height() const override { return h_; }
    std::uint32_t pixelFormatType() const override { return capture::kPixelFormat420v; }
    const std::uint8_t* baseAddressOfPlane(std::size_t plane) const override {
        return plane == 0 ? luma_.data() : chroma_.data();
    }
    std::size_t bytesPerRowOfPlane(std::size_t plane) const override {
        return plane == 0 ? w_ : ((w_ + 1) / 2) * 2;
    }

private:
    std::size_t w_, h_;
    std::vector<std::uint8_t> luma_, chroma_;
};

struct DevNull {
    int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
};

TEST(TapSteadyState, FramesAfterTheFirstAllocateNothing) {
    for (const auto& [sw, sh, w, h] : {Geometry{640, 360, 320, 180}, Geometry{1280, 720, 1920, 1080},
                                       Geometry{333, 111, 101, 77}}) {
        QuietBuffer image(static_cast<std::size_t>(sw), static_cast<std::size_t>(sh), 9);
        Tap tap(w, h, DevNull().fd);
        tap.writeNV12(image);  // the first frame builds the plan and buffers
        const long before = testing_support::allocationCount();
        for (int i = 0; i < 20; ++i) tap.writeNV12(image);
        EXPECT_EQ(testing_support::allocationCount() - before, 0) << sw << "x" << sh << " to " << w
                                                                   << "x" << h;
    }
}

TEST(TapSteadyState, ASourceOfAnotherSizeOnlyReplansAndBytesStayRight) {
    support::ScratchFile out;
    {
        Tap tap(64, 48, out.dupForWriter());
        auto a = support::patterned(128, 96, capture::kPixelFormat420v, 160, 192);
        auto b = support::patterned(50, 30);
        tap.writeNV12(*a);
        tap.writeNV12(*b);
        tap.writeNV12(*a);
    }
    const auto got = out.contents();
    const std::size_t frame = 64 * 48 * 3 / 2;
    ASSERT_EQ(got.size(), 3 * frame);
    auto expectFrame = [&](std::size_t at, const std::shared_ptr<fake::PixelBuffer>& img) {
        std::vector<std::uint8_t> want(frame);
        const nv12::Source src{img->plane(0), static_cast<std::int64_t>(img->stride(0)), img->plane(1),
                               static_cast<std::int64_t>(img->stride(1)),
                               static_cast<std::int64_t>(img->width()),
                               static_cast<std::int64_t>(img->height())};
        nv12::convertReference(src, 64, 48, want.data(), want.data() + 64 * 48);
        EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin() + static_cast<std::ptrdiff_t>(at)));
    };
    expectFrame(0, support::patterned(128, 96, capture::kPixelFormat420v, 160, 192));
    expectFrame(frame, support::patterned(50, 30));
    expectFrame(2 * frame, support::patterned(128, 96, capture::kPixelFormat420v, 160, 192));
}

// Several threads in writeNV12 at once: each frame still arrives whole and
// right, whichever scratch it was converted in.
TEST(TapSteadyState, ConcurrentCallersEachGetAWholeRightFrame) {
    support::ScratchFile out;
    constexpr int kThreads = 4, kFrames = 40;
    {
        Tap tap(96, 64, out.dupForWriter());
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&tap, t] {
                QuietBuffer image(200 + 2 * static_cast<std::size_t>(t), 150,
                                  static_cast<std::uint8_t>(t + 1));
                for (int i = 0; i < kFrames; ++i) tap.writeNV12(image);
            });
        for (auto& th : threads) th.join();
    }
    const auto got = out.contents();
    const std::size_t frame = 96 * 64 * 3 / 2;
    ASSERT_EQ(got.size(), frame * kThreads * kFrames);
    for (std::size_t f = 0; f < got.size(); f += frame) {
        const std::uint8_t m = got[f];
        ASSERT_GE(m, 1);
        ASSERT_LE(m, kThreads);
        ASSERT_TRUE(std::all_of(got.begin() + static_cast<std::ptrdiff_t>(f),
                                got.begin() + static_cast<std::ptrdiff_t>(f + frame),
                                [m](std::uint8_t v) { return v == m; }))
            << "frame at " << f;
    }
}

}  // namespace
