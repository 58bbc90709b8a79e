#include "linux/frame_pool.h"

#include <cstdlib>
#include <new>

#include "picture.h"

namespace capture::linux_shared {

Nv12Storage::Nv12Storage(int w, int h)
    : width(w),
      height(h),
      stride((w + 1 + 63) / 64 * 64),
      chromaOffset(static_cast<std::size_t>(stride) * static_cast<std::size_t>(h)),
      bytes(static_cast<std::uint8_t*>(std::aligned_alloc(
          64, chromaOffset + static_cast<std::size_t>(stride) * static_cast<std::size_t>((h + 1) / 2)))) {
    if (!bytes) throw std::bad_alloc();
    pixel::fillBlack(w, h, y(), stride, uv(), stride);
}

PoolPixelBuffer::~PoolPixelBuffer() { pool_->giveBack(std::move(storage_)); }

Pool::Pool(int count, int w, int h, std::function<void()> returned)
    : returned_(std::move(returned)) {
    for (int i = 0; i < count; ++i) free_.push_back(std::make_unique<Nv12Storage>(w, h));
}

std::shared_ptr<PoolPixelBuffer> Pool::acquire() {
    std::unique_ptr<Nv12Storage> s;
    {
        std::lock_guard<std::mutex> lock(m_);
        if (free_.empty()) return nullptr;
        s = std::move(free_.back());
        free_.pop_back();
    }
    return std::make_shared<PoolPixelBuffer>(std::move(s), shared_from_this());
}

void Pool::giveBack(std::unique_ptr<Nv12Storage> s) {
    {
        std::lock_guard<std::mutex> lock(m_);
        free_.push_back(std::move(s));
    }
    returned_();
}

}  // namespace capture::linux_shared
