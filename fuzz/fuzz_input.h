// Shared pieces of the fuzz targets: a reader over the fuzzer's bytes,
// memory whose last readable byte sits just before an inaccessible page, and
// the NV12 mapping written out independently of screen/ as the oracle.
#pragma once

#include <sanitizer/common_interface_defs.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "page_end_buffer.h"

namespace fuzzin {

// Ends the run with the reason as the sanitizer's summary line, which the
// fuzzer's report carries even when the target's standard error is closed
// (-close_fd_mask=2, against the library's own diagnostic lines).
[[noreturn]] inline void fail(const char* text) {
    __sanitizer_report_error_summary(text);
    std::abort();
}

// Takes values off the front of the input; zeros once it runs out, so every
// input is a valid program.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}
    bool empty() const { return n_ == 0; }
    std::uint8_t u8() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(u16() | (std::uint32_t{u16()} << 16)); }
    // A value in [lo, hi].
    std::int64_t range(std::int64_t lo, std::int64_t hi) {
        const auto span = static_cast<std::uint64_t>(hi - lo) + 1;
        return lo + static_cast<std::int64_t>(u32() % span);
    }
    // Fills dst from the rest of the input, repeated; a counter when empty.
    void fill(std::uint8_t* dst, std::size_t bytes) {
        for (std::size_t i = 0; i < bytes; ++i) dst[i] = n_ ? p_[i % n_] : static_cast<std::uint8_t>(i * 31 + 7);
    }

private:
    const std::uint8_t* p_;
    std::size_t n_;
};

using Guarded = testing_support::PageEndBuffer;

// The frame for a requested size: each side rounded down to even, negative
// as 0.
inline std::int64_t frameSide(std::int64_t requested) {
    return requested > 0 ? (requested & ~std::int64_t{1}) : 0;
}

// The source chroma grid of one side: half, rounded down, at least 1.
inline std::int64_t chromaGrid(std::int64_t side) { return side >= 2 ? side / 2 : 1; }

// Nearest neighbour per axis and plane, source index = output index * source
// size / output size, clamped to the last source index.
inline void oracleNv12(const std::uint8_t* y, std::int64_t ys, const std::uint8_t* uv,
                       std::int64_t uvs, std::int64_t sw, std::int64_t sh, std::int64_t W,
                       std::int64_t H, std::vector<std::uint8_t>& out) {
    out.assign(static_cast<std::size_t>(W * H + W * H / 2), 0);
    for (std::int64_t r = 0; r < H; ++r)
        for (std::int64_t c = 0; c < W; ++c)
            out[static_cast<std::size_t>(r * W + c)] =
                y[std::min(r * sh / H, sh - 1) * ys + std::min(c * sw / W, sw - 1)];
    const std::int64_t scw = chromaGrid(sw), sch = chromaGrid(sh);
    std::uint8_t* c0 = out.data() + W * H;
    for (std::int64_t r = 0; r < H / 2; ++r)
        for (std::int64_t c = 0; c < W / 2; ++c) {
            const std::uint8_t* s =
                uv + std::min(r * sch / (H / 2), sch - 1) * uvs + 2 * std::min(c * scw / (W / 2), scw - 1);
            c0[r * W + 2 * c] = s[0];
            c0[r * W + 2 * c + 1] = s[1];
        }
}

}  // namespace fuzzin
