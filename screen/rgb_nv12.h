// Colour and geometry helpers of the Linux capture binding: the X server
// hands out 32-bit BGRX pixels, the library expects "420v" NV12 frames of the
// configured size with the display's aspect kept.
//
// Called by capture_x11.cpp on its capture thread, and by tests. Pure
// functions over caller-owned memory; nothing is allocated or kept.
#pragma once

#include <cstdint>
#include <vector>

namespace rgbnv12 {

// Where a source of sw x sh pixels lands inside a frame of w x h when scaled
// with its aspect kept and centred. Width, height and offsets are even so
// that every 2x2 chroma block lies wholly inside the picture or the bars.
struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};
Rect fitKeepingAspect(int sw, int sh, int w, int h);

// BT.709 video range of one pixel (8-bit R, G, B): what a uniform area of
// that colour becomes. Used by the converter and by tests.
struct Yuv {
    std::uint8_t y;
    std::uint8_t cb;
    std::uint8_t cr;
};
Yuv bt709VideoRange(std::uint8_t r, std::uint8_t g, std::uint8_t b);

// Converts a width x height block of BGRX pixels (byte order B, G, R, X as
// the X server stores depth-24 pixels on a little-endian machine) to NV12,
// BT.709 video range. Luma per pixel, chroma from the average of each 2x2
// block (of the pixels that exist, at an odd right or bottom edge). dstY and
// dstUV point at the block's top-left luma byte and its CbCr pair; the
// caller keeps the block's x and y even. Uses the widest vector unit the
// processor has (chosen once); every path gives the reference's bytes.
void bgrxToNv12Bt709(const std::uint8_t* src, int srcStride, int width, int height,
                     std::uint8_t* dstY, int strideY, std::uint8_t* dstUV, int strideUV);

// The same, one pixel at a time: the oracle the vector paths are held to.
void bgrxToNv12Bt709Reference(const std::uint8_t* src, int srcStride, int width, int height,
                              std::uint8_t* dstY, int strideY, std::uint8_t* dstUV,
                              int strideUV);

// Which kernel paths this build and processor can run, for tests and
// benchmarks: "scalar" always, then "sse2" and "avx2", or "neon".
std::vector<const char*> availablePaths();
// Runs the colour conversion on one named path; false if it is not available.
bool bgrxToNv12Bt709With(const char* path, const std::uint8_t* src, int srcStride, int width,
                         int height, std::uint8_t* dstY, int strideY, std::uint8_t* dstUV,
                         int strideUV);

// Paints a whole NV12 picture black (Y 16, Cb Cr 128). Chroma is
// ceil(w/2) pairs by ceil(h/2) rows.
void fillBlack(int width, int height, std::uint8_t* dstY, int strideY, std::uint8_t* dstUV,
               int strideUV);

// Scales BGRX pixels by area averaging: each output pixel is the mean of
// the source area it covers, in 8-bit fixed-point weights per axis that sum
// exactly to 256, so a uniform area keeps its exact value. (Debian's libyuv
// ARGB and UV scalers shift uniform areas by a level or two, which would
// move every colour off its BT.709 value.) Upscaling covers fractions of
// one or two source pixels.
//
// Made once per geometry, with every buffer it needs; scale() and
// scaleToNv12() then allocate nothing. One scaler is used by one thread at a
// time. The result is the exact rounding of the two-axis weighted sum, so
// the order of the passes (vertical first here: it runs over contiguous
// bytes, and the gathering horizontal pass then sees only the output rows)
// does not change a byte.
class AreaScaler {
public:
    // path: one of availablePaths(), or null for the widest available.
    AreaScaler(int sw, int sh, int dw, int dh, const char* path = nullptr);
    // dst gets dw x dh pixels; the X byte is set to 255.
    void scale(const std::uint8_t* src, int srcStride, std::uint8_t* dst, int dstStride);
    // scale() followed by bgrxToNv12Bt709(), two output rows at a time so
    // the scaled picture never leaves the cache. Same bytes as the two steps.
    void scaleToNv12(const std::uint8_t* src, int srcStride, std::uint8_t* dstY, int strideY,
                     std::uint8_t* dstUV, int strideUV);
    // The same for output rows [firstRow, endRow) only (firstRow even), for
    // a picture of which only some rows changed: those rows get the bytes a
    // whole scaleToNv12 gives them, the others are left alone.
    void scaleRowsToNv12(const std::uint8_t* src, int srcStride, int firstRow, int endRow,
                         std::uint8_t* dstY, int strideY, std::uint8_t* dstUV, int strideUV);

    // The plain two-pass form (horizontal, then vertical, one pixel at a
    // time; allocates): the oracle the fast passes are held to.
    static void scaleReference(int sw, int sh, int dw, int dh, const std::uint8_t* src,
                               int srcStride, std::uint8_t* dst, int dstStride);

    struct Kernels;

private:
    struct Taps {
        std::vector<int> first;          // first source index per output index
        std::vector<int> count;          // number of taps per output index
        std::vector<std::uint16_t> weight;  // count weights per output index, each list sums to 256
        std::vector<int> offset;         // where an output index's weights start
    };
    static Taps makeTaps(int n, int m);
    void scaleRow(const std::uint8_t* src, int srcStride, int y, std::uint8_t* out);

    int sw_, dw_, dh_;
    const Kernels* k_;
    Taps v_;
    // Horizontal taps padded to the same count for every output pixel, the
    // weights spread to 4 channels for output pixel pairs (see hpass).
    int hTaps_ = 0;
    std::vector<int> hFirst_;
    std::vector<std::uint16_t> hWeights_;
    std::vector<std::uint16_t> cols_;  // one vertically combined row, 4 channels, padded
    std::vector<std::uint8_t> rows_;   // two scaled BGRX rows for scaleToNv12
};

// Blends a premultiplied ARGB image (as 32-bit values 0xAARRGGBB) onto BGRX
// pixels at (x, y), which may lie partly or wholly outside the destination.
void blendPremultiplied(const std::uint32_t* argb, int width, int height, int x, int y,
                        std::uint8_t* dst, int dstStride, int dstWidth, int dstHeight);

}  // namespace rgbnv12
