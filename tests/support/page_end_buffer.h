// Memory whose last byte is the last one before an inaccessible page, so a
// read or write one byte past the end faults, with or without a sanitizer.
// Used by the kernel tests, the fuzzers and the fake's pixel buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <sys/mman.h>
#include <unistd.h>

namespace testing_support {

class PageEndBuffer {
public:
    explicit PageEndBuffer(std::size_t bytes) : bytes_(bytes) {
        const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        const std::size_t body = (bytes + page - 1) / page * page;
        mapBytes_ = body + page;
        map_ = ::mmap(nullptr, mapBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map_ == MAP_FAILED) std::abort();
        auto* base = static_cast<std::uint8_t*>(map_);
        if (::mprotect(base + body, page, PROT_NONE) != 0) std::abort();
        data_ = base + body - bytes;
    }
    ~PageEndBuffer() { ::munmap(map_, mapBytes_); }
    PageEndBuffer(const PageEndBuffer&) = delete;
    PageEndBuffer& operator=(const PageEndBuffer&) = delete;

    std::uint8_t* data() const { return data_; }
    std::size_t size() const { return bytes_; }

private:
    void* map_;
    std::size_t mapBytes_;
    std::uint8_t* data_;
    std::size_t bytes_;
};

}  // namespace testing_support
