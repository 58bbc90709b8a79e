// Nearest-neighbour resampling of a bi-planar 4:2:0 image (a Y plane and an
// interleaved CbCr plane) into a tightly packed NV12 frame.
//
// Called by the frame sink (tap.cpp) on the sample queue, outside any lock.
// Pure functions over memory the caller owns; no state, any thread.
//
// convertReference is the plain statement of the mapping and the oracle for
// any faster path, which must produce the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace pixel {

// A locked source image. Both planes must be readable for the rows and
// samples the size implies: luma height x width bytes at lumaStride, chroma
// ceil(height / 2) rows of ceil(width / 2) pairs at chromaStride.
struct Source {
    const std::uint8_t* luma;
    std::int64_t lumaStride;
    const std::uint8_t* chroma;
    std::int64_t chromaStride;
    std::int64_t width;   // >= 1
    std::int64_t height;  // >= 1
};

// The frame written for a requested size: each side rounded down to even, a
// negative side taken as 0.
struct Frame {
    std::int64_t width;
    std::int64_t height;
    std::size_t lumaBytes;    // width * height
    std::size_t chromaBytes;  // lumaBytes / 2
};

// nullopt when the frame's byte count does not fit the address space.
std::optional<Frame> frameFor(std::int64_t width, std::int64_t height) noexcept;

// Whether every index the conversion of src into a W x H frame computes fits
// in 64 bits. False only for absurd sizes; the caller then drops the frame.
bool indexable(const Source& src, std::int64_t W, std::int64_t H) noexcept;

// The source chroma grid: half the source size rounded down, but at least
// one sample, since a 4:2:0 plane of a 1-pixel side still holds one row or
// pair. Equal to sw >> 1 x sh >> 1 for sources of 2 x 2 and up.
inline std::int64_t chromaSide(std::int64_t side) noexcept {
    return side >= 2 ? side >> 1 : 1;
}

// W and H even and >= 0 (a Frame's width and height). Fills luma[W * H] and
// chroma[W * H / 2] completely: output pixel (x, y) takes source luma
// (min(x * sw / W, sw - 1), min(y * sh / H, sh - 1)); output chroma pair
// (c, r) takes source pair (min(c * SCW / CW, SCW - 1), min(r * SCH / CH,
// SCH - 1)), with CW x CH = W / 2 x H / 2 and SCW x SCH from chromaSide.
void convertReference(const Source& src, std::int64_t W, std::int64_t H, std::uint8_t* luma,
                      std::uint8_t* chroma) noexcept;

}  // namespace pixel
