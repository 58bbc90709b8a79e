// Scriptable stand-in for the screen library's platform (capture.h).
//
// Every platform call is appended to a log as one line, "name(args)"; a test
// scripts the display list and an error at any of the four points that can
// fail, holds any completion until it releases it, feeds pixel buffers of
// any geometry, format and stride to the outputs of the newest stream, and
// reports a stop to its delegate.
//
// Threads: the library calls in from its start and stop tasks while the test
// thread waits or drives; all state is behind one mutex, and completions,
// outputs and delegates are called with it released. Immediate completions
// run on the calling thread; held ones on the thread that releases them.
// Ownership follows capture.h: a fake Stream holds its delegate, its outputs
// and their queues until it is destroyed (logged as "~Stream(streamN)").
#pragma once

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

// Clears scripts, held completions and the log; numbering starts again.
// Streams still alive keep working but are no longer the newest.
void reset();

// Displays listed by the next content requests (default 1).
void setDisplayCount(int count);
// The named call fails from now on with this description. Points:
// "getShareableContent", "addStreamOutput", "startCapture", "stopCapture".
void setError(const std::string& call, const std::string& description);
// The named call throws std::bad_alloc from now on, after it is logged.
void throwBadAlloc(const std::string& call);
// Completions of the named call ("getShareableContent", "startCapture",
// "stopCapture") are kept until releaseHeld instead of run at once.
void holdCompletions(const std::string& call);
// Waits (bounded, as a guard against hangs) until `count` completions of the
// call are held. False on the guard's expiry.
bool waitForHeld(const std::string& call, std::size_t count = 1);
// Runs every held completion, oldest first, on this thread; nothing is held
// from now on.
void stopHolding();
// Runs the oldest held completion of the call on this thread. False if none.
bool releaseHeld(const std::string& call);

std::vector<std::string> log();
// Waits (bounded) until `line` has been logged `count` times.
bool waitForLog(const std::string& line, std::size_t count = 1);
// The thread on which the named call was last made.
std::thread::id threadOf(const std::string& call);

// Fake streams currently alive, and a bounded wait for there to be none.
int liveStreams();
bool waitForNoStreams();
// The queue handed to the last addStreamOutput, without keeping it alive.
std::weak_ptr<capture::Queue> lastQueue();

// Hands a sample to every output of the newest live stream registered for
// `type`, on this thread. False if there is no such stream or it has
// stopped (its stop completion ran).
bool deliverSample(const capture::SampleBuffer& sample,
                   capture::OutputType type = capture::kOutputTypeScreen);
// Reports a stop with this description to the newest live stream's
// delegate. False if there is none.
bool deliverStop(const std::string& description);

// A pixel buffer whose planes end exactly at an inaccessible page, so any
// read past a plane faults. Plane 0 is height rows of lumaStride bytes;
// plane 1 is ceil(height / 2) rows of chromaStride bytes. Strides of 0 mean
// tight: width and 2 * ceil(width / 2). Records its calls.
class PixelBuffer final : public capture::PixelBuffer {
public:
    PixelBuffer(std::size_t width, std::size_t height, std::uint32_t format,
                std::size_t lumaStride = 0, std::size_t chromaStride = 0);
    ~PixelBuffer() override;
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

    // baseAddressOfPlane then answers nullptr for both planes.
    void withholdPlanes() { withheld_ = true; }

    std::uint8_t* plane(std::size_t i) { return planes_[i]->data(); }
    std::size_t planeBytes(std::size_t i) const { return planes_[i]->size(); }
    std::size_t stride(std::size_t i) const { return strides_[i]; }
    // "lock(1)", "width()", ..., "unlock(1)", in order.
    std::vector<std::string> calls() const;
    int lockDepth() const;

    std::int32_t lockBaseAddress(std::uint64_t flags) override;
    std::int32_t unlockBaseAddress(std::uint64_t flags) override;
    std::size_t width() const override;
    std::size_t height() const override;
    std::uint32_t pixelFormatType() const override;
    const std::uint8_t* baseAddressOfPlane(std::size_t plane) const override;
    std::size_t bytesPerRowOfPlane(std::size_t plane) const override;

private:
    void note(std::string call) const;

    std::size_t width_, height_;
    std::uint32_t format_;
    std::size_t strides_[2];
    std::unique_ptr<testing_support::PageEndBuffer> planes_[2];
    bool withheld_ = false;
    struct Calls;
    std::unique_ptr<Calls> calls_;
};

class SampleBuffer final : public capture::SampleBuffer {
public:
    explicit SampleBuffer(std::shared_ptr<capture::PixelBuffer> image) : image_(std::move(image)) {}
    std::shared_ptr<capture::PixelBuffer> imageBuffer() const override { return image_; }

private:
    std::shared_ptr<capture::PixelBuffer> image_;
};

}  // namespace fake
