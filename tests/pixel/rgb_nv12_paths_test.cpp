// The vector paths of the X11 binding's pixel kernels against their plain
// forms, byte for byte: the colour conversion on every path this processor
// has, the area scaler's fast passes and the fused scale + convert. Inputs
// end at a page boundary (the next page inaccessible) so an over-read
// faults, and outputs carry a guard band so an over-write shows.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "alloc_counter.h"
#include "page_end_buffer.h"
#include "area_scaler.h"
#include "bgrx_nv12.h"

namespace {

using testing_support::PageEndBuffer;

// An NV12 destination with padded rows; the padding and a tail are filled
// with a marker that no conversion writes over.
struct Nv12Out {
    Nv12Out(int w, int h, int pad)
        : stride(w + (w & 1) + pad),
          y(static_cast<std::size_t>(stride) * h + 64, 0xA5),
          uv(static_cast<std::size_t>(stride) * ((h + 1) / 2) + 64, 0xA5) {}
    int stride;
    std::vector<std::uint8_t> y, uv;
};

void fillRandom(std::uint8_t* p, std::size_t n, std::mt19937& rng) {
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(rng());
}

std::string where(const char* path, int w, int h) {
    return std::string(path) + " " + std::to_string(w) + "x" + std::to_string(h);
}

TEST(RgbNv12Paths, ReportsScalarAndThisProcessorsVectorUnit) {
    const std::vector<const char*> paths = rgbnv12::availablePaths();
    ASSERT_FALSE(paths.empty());
    EXPECT_STREQ(paths[0], "scalar");
#if defined(__aarch64__)
    EXPECT_EQ(paths.size(), 2u);
    EXPECT_STREQ(paths.back(), "neon");
#elif defined(__x86_64__)
    EXPECT_GE(paths.size(), 2u);
    EXPECT_STREQ(paths[1], "sse2");
#endif
    std::uint8_t px[4] = {}, y[1], uv[2];
    EXPECT_FALSE(rgbnv12::bgrxToNv12Bt709With("no-such-path", px, 4, 1, 1, y, 1, uv, 2));
}

TEST(RgbNv12Paths, RandomPicturesGiveTheReferenceBytesOnEveryPath) {
    std::mt19937 rng(2024);
    // Widths around the vector steps (16 and 32 pixels) and odd ones; odd
    // heights leave a lone last row.
    std::vector<int> widths = {1, 2, 3, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 97, 130, 1921};
    for (int i = 0; i < 12; ++i) widths.push_back(1 + static_cast<int>(rng() % 300));
    for (int w : widths) {
        for (int h : {1, 2, 3, 6, 7}) {
            const int srcStride = w * 4 + static_cast<int>(rng() % 3) * 4;
            PageEndBuffer src(static_cast<std::size_t>(srcStride) * (h - 1) + w * 4);
            fillRandom(src.data(), static_cast<std::size_t>(srcStride) * (h - 1) + w * 4, rng);
            Nv12Out want(w, h, 5);
            rgbnv12::bgrxToNv12Bt709Reference(src.data(), srcStride, w, h, want.y.data(),
                                              want.stride, want.uv.data(), want.stride);
            for (const char* path : rgbnv12::availablePaths()) {
                SCOPED_TRACE(where(path, w, h));
                Nv12Out got(w, h, 5);
                ASSERT_TRUE(rgbnv12::bgrxToNv12Bt709With(path, src.data(), srcStride, w, h,
                                                         got.y.data(), got.stride, got.uv.data(),
                                                         got.stride));
                ASSERT_EQ(got.y, want.y);
                ASSERT_EQ(got.uv, want.uv);
            }
        }
    }
}

TEST(RgbNv12Paths, ExtremeBlocksClampAsTheReference) {
    // Every 2x2 block of the RGB cube's corners (8^4 blocks as a 128x128
    // picture): the chroma sums reach their extremes and the clamps.
    constexpr int W = 128, H = 128;
    std::vector<std::uint8_t> src(W * H * 4);
    for (int b = 0; b < 4096; ++b) {
        const int bx = (b % 64) * 2, by = (b / 64) * 2;
        for (int i = 0; i < 4; ++i) {
            const int corner = (b >> (3 * i)) & 7;
            std::uint8_t* p = &src[((by + i / 2) * W + bx + i % 2) * 4];
            p[0] = corner & 1 ? 255 : 0;
            p[1] = corner & 2 ? 255 : 0;
            p[2] = corner & 4 ? 255 : 0;
            p[3] = static_cast<std::uint8_t>(b);  // X is never read
        }
    }
    Nv12Out want(W, H, 0);
    rgbnv12::bgrxToNv12Bt709Reference(src.data(), W * 4, W, H, want.y.data(), W, want.uv.data(), W);
    for (const char* path : rgbnv12::availablePaths()) {
        SCOPED_TRACE(path);
        Nv12Out got(W, H, 0);
        ASSERT_TRUE(rgbnv12::bgrxToNv12Bt709With(path, src.data(), W * 4, W, H, got.y.data(), W,
                                                 got.uv.data(), W));
        EXPECT_EQ(got.y, want.y);
        EXPECT_EQ(got.uv, want.uv);
    }
}

struct Geometry {
    int sw, sh, dw, dh;
};

// Scaler output from every path against the plain two-pass form, and the
// fused scale + convert against the plain scale followed by the plain
// conversion.
void checkScaler(const Geometry& g, std::mt19937& rng) {
    const int srcStride = g.sw * 4 + static_cast<int>(rng() % 2) * 12;
    const std::size_t srcBytes = static_cast<std::size_t>(srcStride) * (g.sh - 1) + g.sw * 4;
    PageEndBuffer src(srcBytes);
    fillRandom(src.data(), srcBytes, rng);
    const int dstStride = g.dw * 4 + 8;
    std::vector<std::uint8_t> want(static_cast<std::size_t>(dstStride) * g.dh, 0x5A);
    rgbnv12::AreaScaler::scaleReference(g.sw, g.sh, g.dw, g.dh, src.data(), srcStride,
                                        want.data(), dstStride);
    Nv12Out wantNv12(g.dw, g.dh, 3);
    rgbnv12::bgrxToNv12Bt709Reference(want.data(), dstStride, g.dw, g.dh, wantNv12.y.data(),
                                      wantNv12.stride, wantNv12.uv.data(), wantNv12.stride);
    for (const char* path : rgbnv12::availablePaths()) {
        SCOPED_TRACE(where(path, g.sw, g.sh) + " -> " + std::to_string(g.dw) + "x" +
                     std::to_string(g.dh));
        rgbnv12::AreaScaler scaler(g.sw, g.sh, g.dw, g.dh, path);
        std::vector<std::uint8_t> got(want.size(), 0x5A);
        scaler.scale(src.data(), srcStride, got.data(), dstStride);
        ASSERT_EQ(got, want);
        Nv12Out gotNv12(g.dw, g.dh, 3);
        scaler.scaleToNv12(src.data(), srcStride, gotNv12.y.data(), gotNv12.stride,
                           gotNv12.uv.data(), gotNv12.stride);
        ASSERT_EQ(gotNv12.y, wantNv12.y);
        ASSERT_EQ(gotNv12.uv, wantNv12.uv);
    }
}

TEST(RgbNv12Paths, AreaScalerGivesTheReferenceBytesDownAndUp) {
    std::mt19937 rng(1080);
    for (const Geometry& g : {Geometry{1920, 1080, 1280, 720}, Geometry{1920, 1080, 1278, 718},
                              Geometry{640, 360, 1279, 719}, Geometry{7, 5, 3, 2},
                              Geometry{5, 3, 17, 9}, Geometry{33, 17, 1, 1},
                              Geometry{3, 3, 3, 3}, Geometry{1, 1, 4, 2}})
        checkScaler(g, rng);
    for (int i = 0; i < 40; ++i) {
        const Geometry g{1 + static_cast<int>(rng() % 200), 1 + static_cast<int>(rng() % 60),
                         1 + static_cast<int>(rng() % 200), 1 + static_cast<int>(rng() % 60)};
        checkScaler(g, rng);
    }
}

TEST(RgbNv12Paths, ScalingAFrameAllocatesNothing) {
    constexpr int SW = 640, SH = 360, DW = 426, DH = 240;
    std::vector<std::uint8_t> src(SW * SH * 4, 77), dst(DW * DH * 4);
    Nv12Out out(DW, DH, 0), full(SW, SH, 0);
    rgbnv12::AreaScaler scaler(SW, SH, DW, DH);
    scaler.scaleToNv12(src.data(), SW * 4, out.y.data(), DW, out.uv.data(), DW);
    const long before = testing_support::allocationCount();
    scaler.scale(src.data(), SW * 4, dst.data(), DW * 4);
    scaler.scaleToNv12(src.data(), SW * 4, out.y.data(), DW, out.uv.data(), DW);
    rgbnv12::bgrxToNv12Bt709(src.data(), SW * 4, SW, SH, full.y.data(), SW, full.uv.data(), SW);
    EXPECT_EQ(testing_support::allocationCount(), before);
}

}  // namespace
