#include "cpu_paths.h"

#include <cstring>

namespace common {
namespace {

constexpr const char* kNames[kPathCount] = {"scalar", "sse2", "avx2", "neon"};

bool runs(Path p) noexcept {
    switch (p) {
    case Path::Scalar:
        return true;
#if MIRVO_CPU_X86
    case Path::Sse2:
        return true;
    case Path::Avx2: {
        static const bool avx2 = [] {
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") != 0;
        }();
        return avx2;
    }
#elif MIRVO_CPU_NEON
    case Path::Neon:
        return true;
#endif
    default:
        return false;
    }
}

}  // namespace

std::vector<const char*> availablePaths() {
    std::vector<const char*> paths;
    for (std::size_t i = 0; i < kPathCount; ++i)
        if (runs(static_cast<Path>(i))) paths.push_back(kNames[i]);
    return paths;
}

Path widest() noexcept {
    for (std::size_t i = kPathCount; i-- > 0;)
        if (runs(static_cast<Path>(i))) return static_cast<Path>(i);
    return Path::Scalar;
}

std::optional<Path> byName(const char* name) noexcept {
    if (name == nullptr) return std::nullopt;
    for (std::size_t i = 0; i < kPathCount; ++i)
        if (std::strcmp(name, kNames[i]) == 0 && runs(static_cast<Path>(i)))
            return static_cast<Path>(i);
    return std::nullopt;
}

}  // namespace common
