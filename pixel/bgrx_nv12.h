// BGRX to NV12 colour conversion, BT.709 video range: the X server and the
// screen-cast stream hand out 32-bit BGRX pixels, the library expects
// "420v" NV12 frames.
//
// Pure functions over caller-owned memory; nothing is allocated or kept;
// any thread.
#pragma once

#include <cstdint>

#include "cpu_paths.h"

namespace pixel {

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

// Runs the colour conversion on one named path (one of
// common::availablePaths()); false if it is not available.
bool bgrxToNv12Bt709With(const char* path, const std::uint8_t* src, int srcStride, int width,
                         int height, std::uint8_t* dstY, int strideY, std::uint8_t* dstUV,
                         int strideUV);

}  // namespace pixel
