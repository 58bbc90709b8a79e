#include "tap.h"

#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <system_error>

#include "diag.h"
#include "nv12.h"
#include "nv12_fast.h"

namespace {

// Unlocks on every return path of writeNV12.
class BaseAddressLock {
public:
    explicit BaseAddressLock(capture::PixelBuffer& b) : buffer_(b) {
        buffer_.lockBaseAddress(capture::kLockReadOnly);  // result not examined
    }
    ~BaseAddressLock() {
        try {
            buffer_.unlockBaseAddress(capture::kLockReadOnly);
        } catch (...) {
        }
    }
    BaseAddressLock(const BaseAddressLock&) = delete;
    BaseAddressLock& operator=(const BaseAddressLock&) = delete;

private:
    capture::PixelBuffer& buffer_;
};

// The largest source side the resampler takes: its sizes are signed 64-bit.
constexpr std::uint64_t kMaxIndexableSide = static_cast<std::uint64_t>(INT64_MAX);

}  // namespace

// What one conversion needs besides the source: kept across frames so the
// steady state allocates nothing and writes into memory already mapped and
// cached.
struct Tap::Scratch {
    pixel::Converter converter;
    std::unique_ptr<std::uint8_t[]> luma, chroma;
    std::size_t lumaBytes = 0, chromaBytes = 0;

    // Buffers of at least the frame's sizes; false when they cannot be had.
    bool fit(const pixel::Frame& f) noexcept {
        if (lumaBytes < f.lumaBytes || chromaBytes < f.chromaBytes) {
            luma.reset();
            chroma.reset();
            lumaBytes = chromaBytes = 0;
            luma.reset(new (std::nothrow) std::uint8_t[f.lumaBytes]);
            chroma.reset(new (std::nothrow) std::uint8_t[f.chromaBytes]);
            if (!luma || !chroma) return false;
            lumaBytes = f.lumaBytes;
            chromaBytes = f.chromaBytes;
        }
        return true;
    }
};

Tap::Tap(std::int64_t w, std::int64_t h, std::int32_t fd) noexcept
    : width(w), height(h), out(fd) {}

Tap::~Tap() { delete spare.load(std::memory_order_acquire); }

void Tap::didOutputSampleBuffer(capture::Stream&, const capture::SampleBuffer& sample,
                                capture::OutputType type) {
    if (type != capture::kOutputTypeScreen) return;
    try {
        // Held for the whole call so the platform cannot recycle it midway.
        const std::shared_ptr<capture::PixelBuffer> image = sample.imageBuffer();
        if (!image) return;
        writeNV12(*image);
    } catch (...) {
        // Nothing may escape into the platform's queue; the frame is lost.
    }
}

void Tap::didStopWithError(capture::Stream&, const capture::Error& error) {
    screen::line(error.localizedDescription);
}

void Tap::reportWriteError(int error) noexcept {
    try {
        screen::line("frame write failed: " + std::generic_category().message(error));
    } catch (...) {
        screen::line("frame write failed");
    }
}

void Tap::writeNV12(capture::PixelBuffer& buffer) noexcept {
    try {
        // Locked before the size is read: the size belongs to the locked
        // contents.
        BaseAddressLock locked(buffer);
        const std::size_t sw = buffer.width();
        const std::size_t sh = buffer.height();
        const std::uint32_t format = buffer.pixelFormatType();
        if (sw < 1 || sh < 1 || sw > kMaxIndexableSide || sh > kMaxIndexableSide) return;
        // '420f' differs from '420v' only in bit 0x10.
        if ((format | 0x10u) != capture::kPixelFormat420v) return;

        const pixel::Source src{
            buffer.baseAddressOfPlane(0),
            static_cast<std::int64_t>(buffer.bytesPerRowOfPlane(0)),
            buffer.baseAddressOfPlane(1),
            static_cast<std::int64_t>(buffer.bytesPerRowOfPlane(1)),
            static_cast<std::int64_t>(sw),
            static_cast<std::int64_t>(sh),
        };
        if (src.luma == nullptr || src.chroma == nullptr) return;

        const std::optional<pixel::Frame> frame = pixel::frameFor(width, height);
        if (!frame || frame->lumaBytes == 0) return;
        if (!pixel::indexable(src, frame->width, frame->height)) return;

        // Several threads may be converting at once: each works in a scratch
        // of its own, the last one left behind when there is one.
        std::unique_ptr<Scratch> scratch(spare.exchange(nullptr, std::memory_order_acquire));
        if (!scratch) scratch.reset(new (std::nothrow) Scratch);
        if (!scratch || !scratch->fit(*frame)) return;
        scratch->converter.convert(src, frame->width, frame->height, scratch->luma.get(),
                                   scratch->chroma.get());

        const std::array<std::span<const std::uint8_t>, 2> planes{
            std::span<const std::uint8_t>(scratch->luma.get(), frame->lumaBytes),
            std::span<const std::uint8_t>(scratch->chroma.get(), frame->chromaBytes),
        };
        {
            std::lock_guard<std::mutex> guard(lock);
            // A vanished reader costs this frame only, silently; any other
            // error ends the output, reported here, once.
            if (out.writeAll(planes) == FrameOutput::Result::failed) reportWriteError(out.error());
        }
        Scratch* empty = nullptr;
        if (spare.compare_exchange_strong(empty, scratch.get(), std::memory_order_acq_rel))
            (void)scratch.release();
    } catch (...) {
        // A platform call that throws loses the frame, nothing more.
    }
}
