#include "nv12.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace pixel {

namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// a * b + c <= kMax, for a, b, c >= 0.
bool fits(std::int64_t a, std::int64_t b, std::int64_t c = 0) noexcept {
    if (a != 0 && b > kMax / a) return false;
    return a * b <= kMax - c;
}

}  // namespace

std::optional<Frame> frameFor(std::int64_t width, std::int64_t height) noexcept {
    const std::int64_t W = width > 0 ? (width & ~std::int64_t{1}) : 0;
    const std::int64_t H = height > 0 ? (height & ~std::int64_t{1}) : 0;
    if (!fits(W, H)) return std::nullopt;
    const auto luma = static_cast<std::uint64_t>(W * H);
    // Luma and chroma together must be addressable as sizes.
    if (luma > std::numeric_limits<std::size_t>::max() / 3 * 2) return std::nullopt;
    return Frame{W, H, static_cast<std::size_t>(luma), static_cast<std::size_t>(luma / 2)};
}

bool indexable(const Source& src, std::int64_t W, std::int64_t H) noexcept {
    if (src.width < 1 || src.height < 1 || src.lumaStride < 0 || src.chromaStride < 0) return false;
    const std::int64_t scw = chromaSide(src.width);
    const std::int64_t sch = chromaSide(src.height);
    // The largest products of the index formulas and of the plane offsets.
    return fits(std::max<std::int64_t>(W - 1, 0), src.width) &&
           fits(std::max<std::int64_t>(H - 1, 0), src.height) &&
           fits(src.height - 1, src.lumaStride, src.width - 1) &&
           fits(sch - 1, src.chromaStride, 2 * scw - 1);
}

void convertReference(const Source& src, std::int64_t W, std::int64_t H, std::uint8_t* luma,
                      std::uint8_t* chroma) noexcept {
    const std::int64_t sw = src.width;
    const std::int64_t sh = src.height;
    for (std::int64_t y = 0; y < H; ++y) {
        const std::int64_t sy = std::min(y * sh / H, sh - 1);
        const std::uint8_t* row = src.luma + sy * src.lumaStride;
        for (std::int64_t x = 0; x < W; ++x) {
            const std::int64_t sx = std::min(x * sw / W, sw - 1);
            luma[y * W + x] = row[sx];
        }
    }

    const std::int64_t cw = W >> 1;
    const std::int64_t ch = H >> 1;
    const std::int64_t scw = chromaSide(sw);
    const std::int64_t sch = chromaSide(sh);
    for (std::int64_t r = 0; r < ch; ++r) {
        const std::int64_t sr = std::min(r * sch / ch, sch - 1);
        const std::uint8_t* row = src.chroma + sr * src.chromaStride;
        for (std::int64_t c = 0; c < cw; ++c) {
            const std::int64_t sc = std::min(c * scw / cw, scw - 1);
            chroma[r * W + 2 * c] = row[2 * sc];
            chroma[r * W + 2 * c + 1] = row[2 * sc + 1];
        }
    }
}

}  // namespace pixel
