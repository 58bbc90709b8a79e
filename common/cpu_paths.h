// The processor paths every kernel family (sample conversion, NV12
// resampling, BGRX colour conversion and area scaling) is built for, and
// the one choice between them.
//
// A family lists its kernels in a PathTable, one entry per Path, null where
// this build has none; the table then gives the widest entry the processor
// runs, or a named one for tests and benchmarks. The processor is asked
// once per process. Pure and thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#define MIRVO_CPU_X86 1
#elif defined(__ARM_NEON)
#define MIRVO_CPU_NEON 1
#endif

namespace common {

// Narrowest first.
enum class Path : int { Scalar, Sse2, Avx2, Neon };
inline constexpr std::size_t kPathCount = 4;

// The paths this build and processor can run, narrowest first: "scalar",
// then "sse2" and "avx2" (x86-64, as the processor has them) or "neon"
// (arm64). The first choice is last.
std::vector<const char*> availablePaths();
// The widest of them.
Path widest() noexcept;
// A runnable path by its name; nullopt for an unknown, unbuilt or
// unsupported name (or null).
std::optional<Path> byName(const char* name) noexcept;

// One kernel (a pointer: a function or a kernel set) per path.
template <class K>
struct PathTable {
    std::array<K, kPathCount> of{};

    K widest() const noexcept { return of[static_cast<std::size_t>(common::widest())]; }
    // null where the name is not a runnable path.
    K named(const char* name) const noexcept {
        const std::optional<Path> p = byName(name);
        return p ? of[static_cast<std::size_t>(*p)] : K{};
    }
};

}  // namespace common
