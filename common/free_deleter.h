// Ownership of memory a C library hands out to be released with free().
#pragma once

#include <cstdlib>

namespace common {

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

}  // namespace common
