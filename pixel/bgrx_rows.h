// Inside the BGRX kernels: the colour conversion's row-pair kernels, shared
// by the converter (bgrx_nv12.cpp) and the area scaler, which converts its
// output two rows at a time.
#pragma once

#include <cstdint>

#include "cpu_paths.h"

namespace pixel {

// A row-pair kernel converts whole 2x2 blocks of both rows from column 0
// and returns how many columns it did (even); the rest go one by one.
using RowPair = int (*)(const std::uint8_t* s0, const std::uint8_t* s1, int width,
                        std::uint8_t* y0, std::uint8_t* y1, std::uint8_t* uv);

// One per processor path; the scalar entry converts no block itself.
extern const common::PathTable<RowPair> kRowPairs;

// Converts width x height pixels, the vector kernel's part of each row pair
// first, the rest one pixel at a time.
void convertRows(RowPair rowPair, const std::uint8_t* src, int srcStride, int width, int height,
                 std::uint8_t* dstY, int strideY, std::uint8_t* dstUV, int strideUV);

}  // namespace pixel
