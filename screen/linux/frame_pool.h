// The NV12 pictures both Linux bindings fill and hand out: a fixed pool of
// them, each lent as a capture.h pixel buffer inside a sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "capture.h"
#include "free_deleter.h"

namespace capture::linux_shared {

// One NV12 picture: luma w x h, chroma ceil(w/2) pairs x ceil(h/2) rows,
// both with rows padded to 64 bytes; black when made.
struct Nv12Storage {
    Nv12Storage(int w, int h);
    std::uint8_t* y() { return bytes.get(); }
    std::uint8_t* uv() { return bytes.get() + chromaOffset; }
    const int width, height, stride;
    const std::size_t chromaOffset;
    std::unique_ptr<std::uint8_t, common::FreeDeleter> bytes;
    // Which picture it holds, kept by the binding that fills it: the frame
    // number (0: none yet) and the source layout it was laid out for (0:
    // none yet).
    std::uint64_t frame = 0;
    std::uint64_t layout = 0;
};

class Pool;

// A picture lent out; it goes back to its pool with its last reference.
class PoolPixelBuffer : public PixelBuffer {
public:
    PoolPixelBuffer(std::unique_ptr<Nv12Storage> s, std::shared_ptr<Pool> pool)
        : storage_(std::move(s)), pool_(std::move(pool)) {}
    ~PoolPixelBuffer() override;
    std::int32_t lockBaseAddress(std::uint64_t) override { return 0; }
    std::int32_t unlockBaseAddress(std::uint64_t) override { return 0; }
    std::size_t width() const override { return static_cast<std::size_t>(storage_->width); }
    std::size_t height() const override { return static_cast<std::size_t>(storage_->height); }
    std::uint32_t pixelFormatType() const override { return kPixelFormat420v; }
    const std::uint8_t* baseAddressOfPlane(std::size_t plane) const override {
        return plane == 0 ? storage_->y() : plane == 1 ? storage_->uv() : nullptr;
    }
    std::size_t bytesPerRowOfPlane(std::size_t plane) const override {
        return plane < 2 ? static_cast<std::size_t>(storage_->stride) : 0;
    }
    Nv12Storage& storage() { return *storage_; }

private:
    std::unique_ptr<Nv12Storage> storage_;
    std::shared_ptr<Pool> pool_;
};

// A fixed number of pictures; a buffer goes back when its last reference
// does (on whatever thread drops it), and returned() runs after each.
// Buffers keep the pool alive, so they may outlive the stream.
class Pool : public std::enable_shared_from_this<Pool> {
public:
    Pool(int count, int w, int h, std::function<void()> returned);
    // Null when every buffer is still held: the frame is then skipped.
    std::shared_ptr<PoolPixelBuffer> acquire();
    void giveBack(std::unique_ptr<Nv12Storage> s);

private:
    const std::function<void()> returned_;
    std::mutex m_;
    std::vector<std::unique_ptr<Nv12Storage>> free_;
};

class Sample : public SampleBuffer {
public:
    explicit Sample(std::shared_ptr<PixelBuffer> b) : buffer_(std::move(b)) {}
    std::shared_ptr<PixelBuffer> imageBuffer() const override { return buffer_; }

private:
    std::shared_ptr<PixelBuffer> buffer_;
};

}  // namespace capture::linux_shared
