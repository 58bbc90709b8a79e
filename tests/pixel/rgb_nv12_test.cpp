// The BGRX -> NV12 BT.709 video-range kernel, the letterbox geometry and the
// cursor blend.
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "area_scaler.h"
#include "bgrx_nv12.h"
#include "picture.h"

namespace {

struct Expected {
    const char* name;
    std::uint8_t r, g, b;
    int y, cb, cr;
};

// Exact BT.709 video-range values (rounded from the real-valued formulas).
constexpr Expected kPrimaries[] = {
    {"red", 255, 0, 0, 63, 102, 240},   {"green", 0, 255, 0, 173, 42, 26},
    {"blue", 0, 0, 255, 32, 240, 118},  {"white", 255, 255, 255, 235, 128, 128},
    {"black", 0, 0, 0, 16, 128, 128},
};

TEST(RgbNv12, SolidColoursGiveExactBt709VideoRange) {
    for (const Expected& e : kPrimaries) {
        SCOPED_TRACE(e.name);
        // 3x3: a full 2x2 block, a half block on the right and at the
        // bottom, and a lone corner pixel.
        std::vector<std::uint8_t> bgrx;
        for (int i = 0; i < 9; ++i) bgrx.insert(bgrx.end(), {e.b, e.g, e.r, 0x5a});
        std::vector<std::uint8_t> y(3 * 3, 0), uv(4 * 2, 0);
        rgbnv12::bgrxToNv12Bt709(bgrx.data(), 12, 3, 3, y.data(), 3, uv.data(), 4);
        for (std::uint8_t v : y) EXPECT_EQ(v, e.y);
        for (int i = 0; i < 8; i += 2) {
            EXPECT_EQ(uv[i], e.cb);
            EXPECT_EQ(uv[i + 1], e.cr);
        }
        const rgbnv12::Yuv one = rgbnv12::bt709VideoRange(e.r, e.g, e.b);
        EXPECT_EQ(one.y, e.y);
        EXPECT_EQ(one.cb, e.cb);
        EXPECT_EQ(one.cr, e.cr);
    }
}

TEST(RgbNv12, ChromaIsTheAverageOfEach2x2Block) {
    // Red and blue in a checkerboard: chroma of the mean colour (127.5, 0, 127.5).
    const std::uint8_t px[16] = {0, 0, 255, 0, 255, 0, 0, 0,   // red, blue
                                 255, 0, 0, 0, 0, 0, 255, 0};  // blue, red
    std::uint8_t y[4], uv[2];
    rgbnv12::bgrxToNv12Bt709(px, 8, 2, 2, y, 2, uv, 2);
    EXPECT_EQ(y[0], 63);
    EXPECT_EQ(y[1], 32);
    // 128 + 127.5 * (-0.100644 + 0.439216) = 171.17; 128 + 127.5 * (0.439216 - 0.040274) = 178.86
    EXPECT_EQ(uv[0], 171);
    EXPECT_EQ(uv[1], 179);
}

TEST(RgbNv12, MatchesFfmpegOnBlocksOfRandomColours) {
    // 8x8 blocks of one colour each: luma compares everywhere, chroma inside
    // the blocks (the reference filters chroma across block edges).
    constexpr int W = 64, H = 48;
    std::mt19937 rng(709);
    std::vector<std::uint8_t> bgrx(W * H * 4);
    for (int by = 0; by < H; by += 8)
        for (int bx = 0; bx < W; bx += 8) {
            const std::uint8_t b = rng() & 0xff, g = rng() & 0xff, r = rng() & 0xff;
            for (int y = by; y < by + 8; ++y)
                for (int x = bx; x < bx + 8; ++x) {
                    std::uint8_t* p = &bgrx[(y * W + x) * 4];
                    p[0] = b, p[1] = g, p[2] = r, p[3] = 255;
                }
        }
    char in[] = "/tmp/mirvo-rgb-nv12-XXXXXX";
    const int fd = mkstemp(in);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bgrx.data(), bgrx.size()), static_cast<ssize_t>(bgrx.size()));
    close(fd);
    const std::string cmd = "ffmpeg -v error -f rawvideo -pix_fmt bgra -s 64x48 -i " +
                            std::string(in) +
                            " -vf scale=out_color_matrix=bt709:out_range=tv -pix_fmt nv12 "
                            "-f rawvideo -";
    std::vector<std::uint8_t> ref(W * H * 3 / 2);
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_TRUE(p);
    const std::size_t got = std::fread(ref.data(), 1, ref.size(), p);
    pclose(p);
    unlink(in);
    ASSERT_EQ(got, ref.size());

    std::vector<std::uint8_t> y(W * H), uv(W * H / 2);
    rgbnv12::bgrxToNv12Bt709(bgrx.data(), W * 4, W, H, y.data(), W, uv.data(), W);
    for (int i = 0; i < W * H; ++i) ASSERT_NEAR(y[i], ref[i], 2) << "luma " << i;
    for (int r = 0; r < H / 2; ++r)
        for (int c = 0; c < W / 2; ++c) {
            if (r % 4 == 0 || r % 4 == 3 || c % 4 == 0 || c % 4 == 3) continue;
            const int i = r * W + c * 2;
            ASSERT_NEAR(uv[i], ref[W * H + i], 2) << "Cb row " << r << " pair " << c;
            ASSERT_NEAR(uv[i + 1], ref[W * H + i + 1], 2) << "Cr row " << r << " pair " << c;
        }
}

TEST(RgbNv12, FitKeepsTheAspectWithEvenCentredPicture) {
    auto expect = [](int sw, int sh, int w, int h, int x, int y, int pw, int ph) {
        const rgbnv12::Rect r = rgbnv12::fitKeepingAspect(sw, sh, w, h);
        EXPECT_EQ(r.x, x) << sw << "x" << sh << " into " << w << "x" << h;
        EXPECT_EQ(r.y, y) << sw << "x" << sh << " into " << w << "x" << h;
        EXPECT_EQ(r.width, pw) << sw << "x" << sh << " into " << w << "x" << h;
        EXPECT_EQ(r.height, ph) << sw << "x" << sh << " into " << w << "x" << h;
    };
    expect(1920, 1080, 1280, 720, 0, 0, 1280, 720);      // same aspect
    expect(1920, 1080, 1280, 1024, 0, 152, 1280, 720);   // bars top and bottom
    expect(1024, 768, 1280, 720, 160, 0, 960, 720);      // bars left and right
    expect(1920, 1080, 1279, 719, 0, 0, 1278, 718);      // odd frame: even picture
    expect(1920, 1080, 1, 1, 0, 0, 0, 0);                // nothing left to draw
    expect(1920, 1080, 0, 720, 0, 0, 0, 0);
}

TEST(RgbNv12, AreaScalerAveragesCoveredAreasAndKeepsUniformOnesExact) {
    // One row 0, 90, 180 into two pixels: 0*2/3 + 90/3 = 30 and 90/3 + 180*2/3 = 150.
    const std::uint8_t row[12] = {0, 0, 0, 0, 90, 90, 90, 0, 180, 180, 180, 0};
    std::uint8_t out[8] = {};
    rgbnv12::AreaScaler(3, 1, 2, 1).scale(row, 12, out, 8);
    EXPECT_EQ(out[0], 30);
    EXPECT_EQ(out[2], 30);
    EXPECT_EQ(out[3], 255);
    EXPECT_EQ(out[4], 150);

    // Uniform areas stay exact at awkward ratios, down and up.
    for (auto [sw, sh, dw, dh] : {std::array{1920, 1080, 1280, 720}, std::array{1920, 1080, 1000, 562},
                                  std::array{7, 5, 3, 2}, std::array{640, 360, 1279, 719}}) {
        std::vector<std::uint8_t> src(sw * sh * 4);
        for (std::size_t i = 0; i < src.size(); i += 4) src[i] = 255, src[i + 1] = 16, src[i + 2] = 1;
        std::vector<std::uint8_t> dst(dw * dh * 4);
        rgbnv12::AreaScaler(sw, sh, dw, dh).scale(src.data(), sw * 4, dst.data(), dw * 4);
        int off = 0;
        for (std::size_t i = 0; i < dst.size(); i += 4)
            off += dst[i] != 255 || dst[i + 1] != 16 || dst[i + 2] != 1;
        EXPECT_EQ(off, 0) << sw << "x" << sh << " -> " << dw << "x" << dh;
    }
}

TEST(RgbNv12, ScalingSomeRowsGivesTheirBytesOfTheWholeAndLeavesTheRest) {
    constexpr int sw = 37, sh = 29, dw = 20, dh = 15, first = 4, end = 10;
    std::mt19937 rng(1);
    std::vector<std::uint8_t> src(sw * sh * 4);
    for (auto& b : src) b = static_cast<std::uint8_t>(rng());
    std::vector<std::uint8_t> whole(dw * (dh + 1) * 2, 0x55), rows(whole);
    std::uint8_t *wy = whole.data(), *wuv = wy + dw * dh, *ry = rows.data(), *ruv = ry + dw * dh;
    rgbnv12::AreaScaler(sw, sh, dw, dh).scaleToNv12(src.data(), sw * 4, wy, dw, wuv, dw);
    rgbnv12::AreaScaler(sw, sh, dw, dh).scaleRowsToNv12(src.data(), sw * 4, first, end, ry, dw, ruv,
                                                        dw);
    for (int y = 0; y < dh; ++y)
        for (int x = 0; x < dw; ++x)
            EXPECT_EQ(ry[y * dw + x], y >= first && y < end ? wy[y * dw + x] : 0x55) << x << "," << y;
    for (int y = 0; y < (dh + 1) / 2; ++y)
        for (int x = 0; x < dw; ++x)
            EXPECT_EQ(ruv[y * dw + x], y >= first / 2 && y < end / 2 ? wuv[y * dw + x] : 0x55)
                << x << "," << y;
}

TEST(RgbNv12, FillBlackCoversOddSizes) {
    std::vector<std::uint8_t> y(8 * 3, 0), uv(8 * 2, 0);
    rgbnv12::fillBlack(5, 3, y.data(), 8, uv.data(), 8);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 8; ++c) EXPECT_EQ(y[r * 8 + c], c < 5 ? 16 : 0);
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 8; ++c) EXPECT_EQ(uv[r * 8 + c], c < 6 ? 128 : 0);
}

TEST(RgbNv12, CursorBlendIsPremultipliedAndClipped) {
    // Destination 2x1 grey; cursor 2x1 at x = 1: half-transparent white
    // (premultiplied 0x80808080), the second pixel falls outside.
    std::uint8_t dst[8] = {100, 100, 100, 0, 100, 100, 100, 0};
    const std::uint32_t cur[2] = {0x80808080u, 0xff0000ffu};
    rgbnv12::blendPremultiplied(cur, 2, 1, 1, 0, dst, 8, 2, 1);
    EXPECT_EQ(dst[0], 100);
    // 128 + 100 * 127 / 255 = 177.8 -> 178
    EXPECT_EQ(dst[4], 178);
    EXPECT_EQ(dst[6], 178);
    // Opaque blue fully replaces; transparent leaves alone.
    const std::uint32_t opaque[2] = {0xff0000ffu, 0x00000000u};
    rgbnv12::blendPremultiplied(opaque, 2, 1, 0, 0, dst, 8, 2, 1);
    EXPECT_EQ(dst[0], 255);
    EXPECT_EQ(dst[1], 0);
    EXPECT_EQ(dst[2], 0);
    EXPECT_EQ(dst[4], 178);
}

}  // namespace
