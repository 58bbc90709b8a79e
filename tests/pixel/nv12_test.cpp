// NV12 resampling, the reference and every fast path, held byte for byte to
// a per-pixel oracle written here from the mapping's definition; and the
// frame sink's steady state, which allocates nothing per frame.
//
// Source planes end at the last byte the oracle reads, before an
// inaccessible page, so a read past it faults; so do the frame buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "alloc_counter.h"
#include "capture.h"
#include "nv12.h"
#include "nv12_fast.h"
#include "page_end_buffer.h"
#include "tap.h"

namespace {

using testing_support::PageEndBuffer;
using i64 = std::int64_t;

// Nearest neighbour: the source sample under output sample i's left edge,
// i / n of the way along s samples.
i64 under(i64 i, i64 n, i64 s) {
    return static_cast<i64>(std::floor(static_cast<double>(i * s) / static_cast<double>(n)));
}
// A 4:2:0 side of s has s / 2 chroma samples, but never none.
i64 grid(i64 s) { return s < 2 ? 1 : s / 2; }

struct Geometry {
    i64 sw, sh, W, H, lumaPad, chromaPad;
};

// A source's planes: exactly the bytes the oracle reads, random.
struct Picture {
    i64 lumaStride, chromaStride;
    PageEndBuffer luma, chroma;
    pixel::Source src;

    Picture(const Geometry& g, i64 cw, i64 ch, std::mt19937& rng)
        : lumaStride(g.sw + g.lumaPad),
          chromaStride(2 * ((g.sw + 1) / 2) + g.chromaPad),
          luma(static_cast<std::size_t>(under(g.H - 1, g.H, g.sh) * lumaStride +
                                        under(g.W - 1, g.W, g.sw) + 1)),
          chroma(static_cast<std::size_t>(under(ch - 1, ch, grid(g.sh)) * chromaStride +
                                          2 * under(cw - 1, cw, grid(g.sw)) + 2)),
          src{luma.data(), lumaStride, chroma.data(), chromaStride, g.sw, g.sh} {
        for (auto* b : {&luma, &chroma})
            for (std::size_t i = 0; i < b->size(); ++i) b->data()[i] = static_cast<std::uint8_t>(rng());
    }
};

std::vector<std::uint8_t> oracle(const Geometry& g, const Picture& p) {
    std::vector<std::uint8_t> f(static_cast<std::size_t>(g.W * g.H * 3 / 2));
    for (i64 y = 0; y < g.H; ++y)
        for (i64 x = 0; x < g.W; ++x)
            f[y * g.W + x] = p.luma.data()[under(y, g.H, g.sh) * p.lumaStride + under(x, g.W, g.sw)];
    const i64 cw = g.W / 2, ch = g.H / 2;
    for (i64 r = 0; r < ch; ++r)
        for (i64 c = 0; c < 2 * cw; ++c)
            f[g.W * g.H + r * g.W + c] = p.chroma.data()[under(r, ch, grid(g.sh)) * p.chromaStride +
                                                         2 * under(c / 2, cw, grid(g.sw)) + c % 2];
    return f;
}

// Sources of one pixel per side, odd sizes, copies, 2:1 around the vector
// halvers' thresholds and tails (16, 18, 34, 48 and 50 bytes), just over
// 2:1, widening, shuffle gathers of one and two loads and beyond, screens.
// Consecutive rows of one size keep the converter's plan with new strides;
// then each of the four sizes changes alone.
constexpr Geometry kGeometries[] = {
    {1, 1, 2, 2, 0, 3},           {1, 7, 4, 6, 2, 1},           {9, 1, 6, 2, 1, 4},
    {3, 3, 8, 8, 5, 1},           {5, 3, 2, 2, 0, 2},           {7, 5, 4, 4, 3, 0},
    {64, 32, 64, 32, 5, 9},       {64, 32, 64, 32, 0, 0},       {64, 32, 40, 32, 2, 3},
    {64, 32, 40, 18, 1, 0},       {66, 32, 40, 18, 0, 4},       {66, 34, 40, 18, 3, 1},
    {32, 8, 16, 4, 1, 6},         {36, 4, 18, 2, 3, 5},         {68, 36, 34, 18, 7, 2},
    {96, 6, 48, 4, 0, 5},         {101, 51, 50, 24, 2, 11},     {803, 4, 400, 2, 1, 2},
    {40, 10, 64, 8, 4, 1},        {20, 10, 40, 20, 0, 8},       {96, 20, 64, 10, 9, 3},
    {320, 10, 64, 4, 2, 7},       {50, 30, 38, 20, 1, 0},       {33, 17, 1920, 2, 4, 4},
    {1921, 1081, 1920, 1080, 63, 1}, {1280, 720, 1918, 1078, 0, 6}, {3840, 2160, 1920, 1080, 0, 64},
};

std::vector<std::string> pathsAndReference() {
    std::vector<std::string> v{"reference"};
    for (const char* p : common::availablePaths()) v.emplace_back(p);
    return v;
}

class Nv12Paths : public testing::TestWithParam<std::string> {};

TEST_P(Nv12Paths, EveryGeometryGivesTheOraclesBytes) {
    pixel::Converter converter(GetParam().c_str());  // kept: plans follow the geometry
    ASSERT_TRUE(GetParam() == "reference" || converter.ok());
    std::mt19937 rng(420);
    for (const Geometry& g : kGeometries) {
        SCOPED_TRACE(testing::Message() << g.sw << "x" << g.sh << " strides +" << g.lumaPad << "/+"
                                        << g.chromaPad << " to " << g.W << "x" << g.H);
        const Picture p(g, g.W / 2, g.H / 2, rng);
        const auto lumaBytes = static_cast<std::size_t>(g.W * g.H);
        PageEndBuffer luma(lumaBytes), chroma(lumaBytes / 2);
        std::memset(luma.data(), 0xA5, lumaBytes);
        std::memset(chroma.data(), 0xA5, lumaBytes / 2);
        if (GetParam() == "reference")
            pixel::convertReference(p.src, g.W, g.H, luma.data(), chroma.data());
        else
            converter.convert(p.src, g.W, g.H, luma.data(), chroma.data());
        const std::vector<std::uint8_t> want = oracle(g, p);
        std::vector<std::uint8_t> got(luma.data(), luma.data() + lumaBytes);
        got.insert(got.end(), chroma.data(), chroma.data() + lumaBytes / 2);
        const auto diff = std::mismatch(got.begin(), got.end(), want.begin());
        ASSERT_TRUE(diff.first == got.end()) << "first wrong byte " << (diff.first - got.begin()) << " of "
                                             << got.size() << " (chroma from " << lumaBytes << ")";
    }
}

INSTANTIATE_TEST_SUITE_P(Nv12, Nv12Paths, testing::ValuesIn(pathsAndReference()),
                         [](const testing::TestParamInfo<std::string>& i) { return i.param; });

// A pixel buffer that allocates and records nothing.
class QuietBuffer final : public capture::PixelBuffer {
public:
    QuietBuffer(std::size_t w, std::size_t h) : w_(w), h_(h), bytes_(w * h * 2, 9) {}
    std::int32_t lockBaseAddress(std::uint64_t) override { return 0; }
    std::int32_t unlockBaseAddress(std::uint64_t) override { return 0; }
    std::size_t width() const override { return w_; }
    std::size_t height() const override { return h_; }
    std::uint32_t pixelFormatType() const override { return capture::kPixelFormat420v; }
    const std::uint8_t* baseAddressOfPlane(std::size_t plane) const override {
        return bytes_.data() + plane * w_ * h_;
    }
    std::size_t bytesPerRowOfPlane(std::size_t) const override { return w_ + (w_ & 1); }

private:
    std::size_t w_, h_;
    std::vector<std::uint8_t> bytes_;
};

TEST(TapSteadyState, FramesAfterTheFirstAllocateNothing) {
    for (const Geometry& g : {Geometry{640, 360, 320, 180, 0, 0}, Geometry{333, 111, 1920, 1080, 0, 0}}) {
        QuietBuffer image(static_cast<std::size_t>(g.sw), static_cast<std::size_t>(g.sh));
        Tap tap(g.W, g.H, ::open("/dev/null", O_WRONLY | O_CLOEXEC));
        tap.writeNV12(image);  // the first frame builds the plan and the buffers
        const long before = testing_support::allocationCount();
        for (int i = 0; i < 5; ++i) tap.writeNV12(image);
        EXPECT_EQ(testing_support::allocationCount() - before, 0) << g.sw << "x" << g.sh;
    }
}

}  // namespace
