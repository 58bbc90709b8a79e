// The fast form of pixel::convertReference: the same bytes, at close to
// memory speed.
//
// A Converter keeps, per geometry (source size and frame size), the row and
// column index maps and a row plan for each plane: a whole-row copy, a
// 2:1 decimation, or a gather by byte shuffles in 16-byte blocks (one or two
// source loads per block) with a scalar map as the fallback. Output rows
// that map to the source row of the row before are copied from it. The mapping
// is rebuilt only when the geometry changes; strides and addresses may
// differ on every call.
//
// Never reads a source byte the reference does not read (loads are clamped
// to the last byte the reference reads in each row), so planes that end at
// an inaccessible page are safe.
//
// Threads: a Converter is not shared; each caller uses its own (the frame
// sink keeps one per concurrent call, see tap.cpp). The
// kernels themselves are pure and any thread may call them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "cpu_paths.h"
#include "nv12.h"

namespace pixel {

class Converter {
public:
    // The widest path the processor has, chosen once per process.
    Converter() noexcept;
    // A named path from common::availablePaths(); an unknown or unavailable name
    // leaves the converter not ok() (it then converts nothing).
    explicit Converter(const char* path) noexcept;
    ~Converter();
    Converter(Converter&&) noexcept;
    Converter& operator=(Converter&&) noexcept;

    bool ok() const noexcept { return kernels_ != nullptr; }

    // As convertReference, with the same preconditions (indexable(src, W,
    // H), W and H even and >= 0). Allocates only when the geometry differs
    // from the previous call's; if that allocation fails, falls back to
    // convertReference for this call, so the bytes are always written.
    void convert(const Source& src, std::int64_t W, std::int64_t H, std::uint8_t* luma,
                 std::uint8_t* chroma) noexcept;

    struct Kernels;
    struct Mapping;

private:
    const Kernels* kernels_;  // null: not ok()
    std::unique_ptr<Mapping> mapping_;
};

// One conversion on a named path with a fresh Converter; false if the path
// is not available here. For tests.
bool convertWith(const char* path, const Source& src, std::int64_t W, std::int64_t H,
                 std::uint8_t* luma, std::uint8_t* chroma);

}  // namespace pixel
