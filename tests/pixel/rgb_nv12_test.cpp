// The BGRX kernels: BT.709 video-range conversion and the area scaler on
// every processor path, held to independent per-pixel formulas and to the
// plain forms byte for byte (inputs end before an inaccessible page, output
// padding must stay untouched); the letterbox geometry, black fill and
// cursor blend.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "alloc_counter.h"
#include "area_scaler.h"
#include "bgrx_nv12.h"
#include "page_end_buffer.h"
#include "picture.h"

namespace {

using testing_support::PageEndBuffer;
using Bytes = std::vector<std::uint8_t>;

// BGRX bytes, a quarter 0, a quarter 255 (the sums' extremes), the rest random.
void fillPixels(std::uint8_t* p, std::size_t n, std::mt19937& rng) {
    for (std::size_t i = 0; i < n; ++i) {
        const auto v = static_cast<unsigned>(rng());
        p[i] = static_cast<std::uint8_t>((v & 3) == 0 ? 0 : (v & 3) == 1 ? 255 : v >> 8);
    }
}

// An NV12 destination with padded rows, padding and tail marked 0xA5.
struct Nv12Out {
    Nv12Out(int w, int h)
        : stride(w + (w & 1) + 3),
          y(static_cast<std::size_t>(stride) * h + 16, 0xA5),
          uv(static_cast<std::size_t>(stride) * ((h + 1) / 2) + 16, 0xA5) {}
    int stride;
    Bytes y, uv;
};

// BT.709 video range from its real-valued definition, over the mean of the
// pixels given (one for luma, a 2x2 block or what exists of it for chroma).
std::array<int, 3> bt709(double r, double g, double b) {
    const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
    return {static_cast<int>(std::lround(16 + 219.0 / 255 * y)),
            static_cast<int>(std::lround(128 + 224.0 / 255 * (b - y) / 1.8556)),
            static_cast<int>(std::lround(128 + 224.0 / 255 * (r - y) / 1.5748))};
}

// Every byte of the reference's picture within 1 of the formula (fixed-point
// rounding) and every padding byte untouched.
void expectBt709(const std::uint8_t* src, int stride, int w, int h, const Nv12Out& out) {
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w + (w & 1) + 3; ++x) {
            const std::uint8_t* p = src + y * stride + x * 4;
            const int want = x < w ? bt709(p[2], p[1], p[0])[0] : 0xA5;
            ASSERT_LE(std::abs(out.y[y * out.stride + x] - want), 1) << "luma " << x << "," << y;
        }
    for (int y = 0; y < (h + 1) / 2; ++y)
        for (int x = 0; x < out.stride; ++x) {
            double rgb[3] = {0, 0, 0};
            int n = 0;
            for (int dy = 0; dy < 2 && 2 * y + dy < h; ++dy)
                for (int dx = 0; dx < 2 && (x & ~1) + dx < w; ++dx, ++n)
                    for (int c = 0; c < 3; ++c) rgb[c] += src[(2 * y + dy) * stride + ((x & ~1) + dx) * 4 + 2 - c];
            const int want = x >= w + (w & 1) ? 0xA5 : bt709(rgb[0] / n, rgb[1] / n, rgb[2] / n)[1 + (x & 1)];
            ASSERT_LE(std::abs(out.uv[y * out.stride + x] - want), 1) << "chroma " << x << "," << y;
        }
}

class RgbPaths : public testing::TestWithParam<const char*> {};

// Widths around the vector steps (16 and 32 pixels) and odd ones; odd
// heights leave a lone last row.
TEST_P(RgbPaths, ConversionGivesTheFormulasBytesAsTheReferenceDoes) {
    std::mt19937 rng(709);
    for (int w : {1, 2, 3, 15, 16, 17, 31, 32, 33, 47, 64, 65, 97, 130, 1921})
        for (int h : {1, 2, 3, 6, 7}) {
            SCOPED_TRACE(testing::Message() << w << "x" << h);
            const int stride = w * 4 + (w % 3) * 4;
            PageEndBuffer src(static_cast<std::size_t>(stride) * (h - 1) + w * 4);
            fillPixels(src.data(), src.size(), rng);
            Nv12Out want(w, h), got(w, h);
            pixel::bgrxToNv12Bt709Reference(src.data(), stride, w, h, want.y.data(), want.stride,
                                              want.uv.data(), want.stride);
            expectBt709(src.data(), stride, w, h, want);
            ASSERT_TRUE(pixel::bgrxToNv12Bt709With(GetParam(), src.data(), stride, w, h, got.y.data(),
                                                     got.stride, got.uv.data(), got.stride));
            ASSERT_EQ(got.y, want.y);
            ASSERT_EQ(got.uv, want.uv);
        }
}

// Exact values, rounded from the real-valued formulas, for solid pictures
// wide enough for the vector steps with an odd right and bottom edge.
TEST_P(RgbPaths, SolidColoursGiveExactBt709VideoRange) {
    struct Colour {
        std::uint8_t r, g, b, y, cb, cr;
    };
    for (const Colour& c : {Colour{255, 0, 0, 63, 102, 240}, Colour{0, 255, 0, 173, 42, 26},
                            Colour{0, 0, 255, 32, 240, 118}, Colour{255, 255, 255, 235, 128, 128},
                            Colour{0, 0, 0, 16, 128, 128}}) {
        constexpr int W = 35, H = 3;
        Bytes src;
        for (int i = 0; i < W * H; ++i) src.insert(src.end(), {c.b, c.g, c.r, 0x5A});
        Nv12Out got(W, H);
        pixel::bgrxToNv12Bt709With(GetParam(), src.data(), W * 4, W, H, got.y.data(), got.stride,
                                     got.uv.data(), got.stride);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) ASSERT_EQ(got.y[y * got.stride + x], c.y) << x << "," << y;
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < W + 1; x += 2) {
                ASSERT_EQ(got.uv[y * got.stride + x], c.cb) << x << "," << y;
                ASSERT_EQ(got.uv[y * got.stride + x + 1], c.cr) << x << "," << y;
            }
        const pixel::Yuv one = pixel::bt709VideoRange(c.r, c.g, c.b);
        EXPECT_EQ((std::vector<int>{one.y, one.cb, one.cr}), (std::vector<int>{c.y, c.cb, c.cr}));
    }
}

// The area each output pixel covers, averaged in real numbers.
double areaMean(const std::uint8_t* src, int stride, int sw, int sh, int dw, int dh, int x, int y, int c) {
    double sum = 0;
    const double x0 = double(x) * sw / dw, x1 = double(x + 1) * sw / dw;
    const double y0 = double(y) * sh / dh, y1 = double(y + 1) * sh / dh;
    for (int j = static_cast<int>(y0); j < y1 && j < sh; ++j)
        for (int i = static_cast<int>(x0); i < x1 && i < sw; ++i)
            sum += (std::min<double>(x1, i + 1) - std::max<double>(x0, i)) *
                   (std::min<double>(y1, j + 1) - std::max<double>(y0, j)) * src[j * stride + i * 4 + c];
    return sum / ((x1 - x0) * (y1 - y0));
}

// Down, up, odd, one pixel and screen sizes: the plain form within the
// 8-bit weights' error (at most 3 taps of 1/512 each per axis: 3 levels) of
// the real average; every path's passes and the fused scale + convert give
// its bytes exactly; a uniform picture keeps its exact colour.
TEST_P(RgbPaths, AreaScalerAveragesTheCoveredArea) {
    struct Geometry {
        int sw, sh, dw, dh;
    };
    std::mt19937 rng(1080);
    for (const Geometry& g : {Geometry{1280, 720, 852, 478}, Geometry{640, 360, 1279, 719},
                              Geometry{7, 5, 3, 2}, Geometry{5, 3, 17, 9}, Geometry{33, 17, 1, 1},
                              Geometry{3, 3, 3, 3}, Geometry{1, 1, 4, 2}, Geometry{200, 60, 131, 41},
                              Geometry{64, 1, 31, 1}, Geometry{1, 64, 2, 31}}) {
        SCOPED_TRACE(testing::Message() << g.sw << "x" << g.sh << " -> " << g.dw << "x" << g.dh);
        const int stride = g.sw * 4 + (g.sw & 1) * 12, dstStride = g.dw * 4 + 8;
        PageEndBuffer src(static_cast<std::size_t>(stride) * (g.sh - 1) + g.sw * 4);
        fillPixels(src.data(), src.size(), rng);
        Bytes want(static_cast<std::size_t>(dstStride) * g.dh, 0x5A), got(want);
        pixel::AreaScaler::scaleReference(g.sw, g.sh, g.dw, g.dh, src.data(), stride, want.data(), dstStride);
        for (int y = 0; y < g.dh; ++y)
            for (int x = 0; x < g.dw; ++x)
                for (int c = 0; c < 4; ++c) {
                    const int v = want[y * dstStride + x * 4 + c];
                    if (c == 3) ASSERT_EQ(v, 255);
                    else ASSERT_NEAR(v, areaMean(src.data(), stride, g.sw, g.sh, g.dw, g.dh, x, y, c), 3) << x << "," << y;
                }
        pixel::AreaScaler scaler(g.sw, g.sh, g.dw, g.dh, GetParam());
        scaler.scale(src.data(), stride, got.data(), dstStride);
        ASSERT_EQ(got, want);
        Nv12Out wantNv12(g.dw, g.dh), gotNv12(g.dw, g.dh);
        pixel::bgrxToNv12Bt709Reference(want.data(), dstStride, g.dw, g.dh, wantNv12.y.data(),
                                          wantNv12.stride, wantNv12.uv.data(), wantNv12.stride);
        scaler.scaleToNv12(src.data(), stride, gotNv12.y.data(), gotNv12.stride, gotNv12.uv.data(), gotNv12.stride);
        ASSERT_EQ(gotNv12.y, wantNv12.y);
        ASSERT_EQ(gotNv12.uv, wantNv12.uv);
        for (std::size_t i = 0; i < src.size(); i += 4) src.data()[i] = 255, src.data()[i + 1] = 16, src.data()[i + 2] = 1;
        scaler.scale(src.data(), stride, got.data(), dstStride);
        for (int y = 0; y < g.dh; ++y)
            for (int x = 0; x < g.dw; ++x)
                ASSERT_EQ(Bytes(&got[y * dstStride + x * 4], &got[y * dstStride + x * 4 + 4]), Bytes({255, 16, 1, 255}));
    }
}

INSTANTIATE_TEST_SUITE_P(Rgb, RgbPaths, testing::ValuesIn(common::availablePaths()),
                         [](const testing::TestParamInfo<const char*>& i) { return std::string(i.param); });

TEST(RgbNv12, PathRegistryListsScalarFirstAndRefusesUnknownNames) {
    const std::vector<const char*> paths = common::availablePaths();
    ASSERT_FALSE(paths.empty());
    EXPECT_STREQ(paths[0], "scalar");
#if defined(__aarch64__)
    EXPECT_STREQ(paths.back(), "neon");
#elif defined(__x86_64__)
    ASSERT_GE(paths.size(), 2u);
    EXPECT_STREQ(paths[1], "sse2");
#endif
    std::uint8_t px[4] = {}, y[1], uv[2];
    EXPECT_FALSE(pixel::bgrxToNv12Bt709With("no-such-path", px, 4, 1, 1, y, 1, uv, 2));
}

TEST(RgbNv12, ScalingSomeRowsGivesTheirBytesOfTheWholeAndLeavesTheRest) {
    constexpr int sw = 37, sh = 29, dw = 20, dh = 15, first = 4, end = 10;
    std::mt19937 rng(1);
    Bytes src(sw * sh * 4);
    fillPixels(src.data(), src.size(), rng);
    Bytes whole(dw * (dh + 1) * 2, 0x55), rows(whole);
    std::uint8_t *wy = whole.data(), *wuv = wy + dw * dh, *ry = rows.data(), *ruv = ry + dw * dh;
    pixel::AreaScaler(sw, sh, dw, dh).scaleToNv12(src.data(), sw * 4, wy, dw, wuv, dw);
    pixel::AreaScaler(sw, sh, dw, dh).scaleRowsToNv12(src.data(), sw * 4, first, end, ry, dw, ruv, dw);
    for (int i = 0; i < dw * dh; ++i)
        ASSERT_EQ(ry[i], i / dw >= first && i / dw < end ? wy[i] : 0x55) << i;
    for (int i = 0; i < dw * (dh + 1) / 2; ++i)
        ASSERT_EQ(ruv[i], i / dw >= first / 2 && i / dw < end / 2 ? wuv[i] : 0x55) << i;
}

TEST(RgbNv12, ScalingAFrameAllocatesNothing) {
    constexpr int SW = 640, SH = 360, DW = 426, DH = 240;
    Bytes src(SW * SH * 4, 77), dst(DW * DH * 4);
    Nv12Out out(DW, DH), full(SW, SH);
    pixel::AreaScaler scaler(SW, SH, DW, DH);
    const long before = testing_support::allocationCount();
    scaler.scale(src.data(), SW * 4, dst.data(), DW * 4);
    scaler.scaleToNv12(src.data(), SW * 4, out.y.data(), out.stride, out.uv.data(), out.stride);
    pixel::bgrxToNv12Bt709(src.data(), SW * 4, SW, SH, full.y.data(), full.stride, full.uv.data(), full.stride);
    EXPECT_EQ(testing_support::allocationCount(), before);
}

// The picture's offsets are even, so its chroma starts at pair x / 2 of
// row y / 2 and no 2x2 block straddles it and a bar.
TEST(RgbNv12, FitKeepsTheAspectWithAnEvenCentredPicture) {
    struct Fit {
        int sw, sh, w, h, x, y, pw, ph;
    };
    for (const Fit& f : {Fit{1920, 1080, 1280, 720, 0, 0, 1280, 720}, Fit{1920, 1080, 1280, 1024, 0, 152, 1280, 720},
                         Fit{1920, 1080, 1280, 1026, 0, 152, 1280, 720}, Fit{1024, 768, 1280, 720, 160, 0, 960, 720},
                         Fit{1024, 768, 1286, 720, 162, 0, 960, 720}, Fit{1920, 1080, 1279, 719, 0, 0, 1278, 718},
                         Fit{1920, 1080, 1, 1, 0, 0, 0, 0}, Fit{1920, 1080, 0, 720, 0, 0, 0, 0}}) {
        const pixel::Rect r = pixel::fitKeepingAspect(f.sw, f.sh, f.w, f.h);
        EXPECT_EQ((std::vector<int>{r.x, r.y, r.width, r.height}), (std::vector<int>{f.x, f.y, f.pw, f.ph}))
            << f.sw << "x" << f.sh << " into " << f.w << "x" << f.h;
    }
}

TEST(RgbNv12, FillBlackCoversOddSizesAndNothingMore) {
    Bytes y(8 * 3, 0), uv(8 * 2, 0);
    pixel::fillBlack(5, 3, y.data(), 8, uv.data(), 8);
    for (int i = 0; i < 8 * 3; ++i) EXPECT_EQ(y[i], i % 8 < 5 ? 16 : 0) << i;
    for (int i = 0; i < 8 * 2; ++i) EXPECT_EQ(uv[i], i % 8 < 6 ? 128 : 0) << i;
}

TEST(RgbNv12, CursorBlendIsPremultipliedAndClipped) {
    // Grey 3x2 destination; a 2x2 cursor at (2, -1): only its bottom-left
    // pixel lands, on (2, 0). Half-transparent white: 128 + 100 * 127 / 255.
    std::uint8_t dst[24];
    std::fill(dst, dst + 24, 100);
    const std::uint32_t cur[4] = {0xff0000ffu, 0xff0000ffu, 0x80808080u, 0xff0000ffu};
    pixel::blendPremultiplied(cur, 2, 2, 2, -1, dst, 12, 3, 2);
    Bytes want(24, 100);
    want[8] = want[9] = want[10] = 178;
    EXPECT_EQ(Bytes(dst, dst + 24), want);
    // Opaque replaces, transparent leaves alone.
    const std::uint32_t two[2] = {0xff0000ffu, 0x00ffffffu};
    pixel::blendPremultiplied(two, 2, 1, 0, 0, dst, 12, 3, 2);
    want[0] = 255, want[1] = want[2] = 0;
    EXPECT_EQ(Bytes(dst, dst + 24), want);
}

}  // namespace
