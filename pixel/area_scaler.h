// Area-averaging scaler of BGRX pictures, straight to NV12 if asked.
#pragma once

#include <cstdint>
#include <vector>

namespace pixel {

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
    // path: one of common::availablePaths(), or null for the widest available.
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

}  // namespace pixel
