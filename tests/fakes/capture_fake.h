// Scriptable stand-in for the screen library's platform (capture.h).
//
// It records only what the tests assert: the ordered events of a capture's
// life (content request, filter, configuration and stream made, output
// added, start, stop, release), the configuration a stream was made with as
// final values, and the thread the content was requested on. A test scripts
// the display count, an error or a thrown std::bad_alloc at a call, holds
// start and stop completions until it releases them, delivers samples to the
// newest stream's outputs and reports a stop to its delegate.
//
// All state is behind one mutex; completions, outputs and delegates are
// called with it released. A fake stream holds its delegate and outputs
// until it is destroyed (the event "~Stream(streamN)"), as capture.h says.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "page_end_buffer.h"

namespace fake {

// The configuration's final values; a setter never called leaves nullopt.
struct Config {
    std::optional<std::int64_t> width, height, queueDepth;
    std::optional<std::int64_t> intervalValue, intervalTimescale;
    std::optional<std::uint32_t> pixelFormat;
    std::optional<bool> showsCursor, capturesAudio;
    bool operator==(const Config&) const = default;
};

// Clears scripts, held completions, events and numbering.
void reset();
void setDisplayCount(int count);  // displays in the next content (default 1)
// From now on the call fails with this description: "getShareableContent",
// "addStreamOutput", "startCapture" or "stopCapture".
void setError(const std::string& call, const std::string& description);
// From now on the call throws std::bad_alloc: any of the above, or
// "makeStreamConfiguration" or "makeSerialQueue".
void throwBadAlloc(const std::string& call);
// Completions of "startCapture" or "stopCapture" wait for releaseHeld.
void holdCompletions(const std::string& call);
bool waitForHeld(const std::string& call);  // bounded; false on the guard
bool releaseHeld(const std::string& call);  // the oldest, on this thread

std::vector<std::string> events();
std::optional<Config> configOfNewestStream();
std::thread::id contentThread();
bool waitForNoStreams();  // bounded

// To every output of the newest live stream registered for `type`, on this
// thread; false if there is none or its stop completion has run.
bool deliverSample(const capture::SampleBuffer& sample,
                   capture::OutputType type = capture::kOutputTypeScreen);
// To the newest live stream's delegate; false if there is none.
bool deliverStop(const std::string& description);

// Planes end exactly at an inaccessible page. Plane 0 is height rows of
// lumaStride bytes, plane 1 ceil(height / 2) rows of chromaStride; 0 means
// tight. Plane addresses are given only while the buffer is locked.
class PixelBuffer final : public capture::PixelBuffer {
public:
    PixelBuffer(std::size_t width, std::size_t height, std::uint32_t format,
                std::size_t lumaStride = 0, std::size_t chromaStride = 0);

    void withholdPlanes() { withheld_ = true; }
    std::uint8_t* plane(std::size_t i) { return planes_[i]->data(); }
    std::size_t planeBytes(std::size_t i) const { return planes_[i]->size(); }
    std::size_t stride(std::size_t i) const { return strides_[i]; }
    int lockDepth() const { return depth_; }

    std::int32_t lockBaseAddress(std::uint64_t) override { return ++depth_, 0; }
    std::int32_t unlockBaseAddress(std::uint64_t) override { return --depth_, 0; }
    std::size_t width() const override { return width_; }
    std::size_t height() const override { return height_; }
    std::uint32_t pixelFormatType() const override { return format_; }
    const std::uint8_t* baseAddressOfPlane(std::size_t plane) const override;
    std::size_t bytesPerRowOfPlane(std::size_t plane) const override {
        return plane < 2 ? strides_[plane] : 0;
    }

private:
    std::size_t width_, height_;
    std::uint32_t format_;
    std::size_t strides_[2];
    std::unique_ptr<testing_support::PageEndBuffer> planes_[2];
    bool withheld_ = false;
    std::atomic<int> depth_{0};
};

class SampleBuffer final : public capture::SampleBuffer {
public:
    explicit SampleBuffer(std::shared_ptr<capture::PixelBuffer> image) : image_(std::move(image)) {}
    std::shared_ptr<capture::PixelBuffer> imageBuffer() const override { return image_; }

private:
    std::shared_ptr<capture::PixelBuffer> image_;
};

}  // namespace fake
