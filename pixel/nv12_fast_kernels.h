// Inside the fast NV12 resampler: the per-geometry row plans and the
// kernel set each processor path provides (nv12_fast_x86.cpp,
// nv12_fast_neon.cpp; the scalar set and the planning in nv12_fast.cpp).
#pragma once

#include <cstdint>
#include <vector>

#include "cpu_paths.h"
#include "nv12_fast.h"

namespace pixel {

inline constexpr std::int64_t kBlock = 16;  // output bytes per shuffle block

// How the rows of one plane are built from source rows: every output row of
// the plane uses the same column mapping.
struct RowPlan {
    enum Kind : std::uint8_t { kCopy, kHalf, kHalfRuns, kGather };
    Kind kind = kGather;
    std::int64_t elem = 1;     // bytes per sample: 1 luma, 2 chroma pair
    std::int64_t out = 0;      // output bytes per row (the frame width)
    std::int64_t readLen = 0;  // bytes of a source row the reference reads
    int loads = 0;             // kGather: 1 or 2 loads per block, 0 = map only
    std::vector<std::uint32_t> map;  // kGather: source byte of each output byte
    // kHalfRuns: stretches of 2:1 decimation, each from its own source
    // offset (a ratio just over 2:1 skips a sample every few hundred).
    struct Run {
        std::int64_t out, src, bytes;  // output offset, source offset, output bytes
    };
    std::vector<Run> runs;
    // kGather with loads > 0, one entry per 16-byte output block (the last
    // block overlaps its neighbour so that it ends at the row's end).
    std::vector<std::int64_t> off, b0, b1;
    // 16 per block. x86: c0 and c1 for the loads at b0 and b1 (0x80 = zero).
    // NEON: t, a table index into the 32 bytes of both loads.
    std::vector<std::uint8_t> c0, c1, t;
};

struct Converter::Mapping {
    std::int64_t sw = -1, sh = -1, W = -1, H = -1;
    bool reference = false;  // indexes beyond 32 bits: the reference is used
    std::vector<std::int64_t> lumaRows, chromaRows;
    RowPlan luma, chroma;
};

struct Converter::Kernels {
    const char* name;
    // d[i] = s[2i] for i < n; reads s[0, readLen) only, readLen = 2n - 1.
    void (*half1)(const std::uint8_t* s, std::uint8_t* d, std::int64_t n, std::int64_t readLen);
    // Pairs: d[2j + k] = s[4j + k] for 2j + k < n (n even); readLen = 2n - 2.
    void (*half2)(const std::uint8_t* s, std::uint8_t* d, std::int64_t n, std::int64_t readLen);
    // Shuffle-block gathers with one or two loads per block; null: map.
    void (*gather1)(const std::uint8_t* s, std::uint8_t* d, const RowPlan& p);
    void (*gather2)(const std::uint8_t* s, std::uint8_t* d, const RowPlan& p);
};

// The scalar decimations, also the vector kernels' tails.
inline void half1Scalar(const std::uint8_t* s, std::uint8_t* d, std::int64_t n, std::int64_t) {
    for (std::int64_t i = 0; i < n; ++i) d[i] = s[2 * i];
}

inline void half2Scalar(const std::uint8_t* s, std::uint8_t* d, std::int64_t n, std::int64_t) {
    for (std::int64_t i = 0; i < n; i += 2) {
        d[i] = s[2 * i];
        d[i + 1] = s[2 * i + 1];
    }
}

extern const Converter::Kernels kSse2Kernels, kAvx2Kernels, kNeonKernels;

}  // namespace pixel
