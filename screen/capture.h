// The platform operations the screen library needs, in plain C++ terms:
// shareable content and displays, content filter, stream configuration,
// serial queues, the stream, and sample and pixel buffers.
//
// Exactly one implementation is linked into each build:
//   sck/              macOS: ScreenCaptureKit, Core Media, Core Video
//   linux/            Linux: x11/ (the X server in $DISPLAY) or wayland/
//                     (the desktop portal and PipeWire), chosen at each call
//   tests/fakes/      a scriptable fake that logs every call
//
// Threads and ownership:
// - Every make*/get* function and every Stream method may be called on any
//   thread; the library calls them from its start and stop tasks, never on
//   the host's thread while it waits.
// - Completions run on a thread of the platform's choosing, exactly once.
// - A Stream keeps strong references to its delegate and to every output
//   added to it for as long as the Stream object lives (the platform itself
//   does not retain them). Samples are delivered on the output's queue, one
//   at a time; the delegate is called on a thread of the platform's choosing.
// - Once a stop completion has run, no further sample or delegate call
//   arrives. Releasing the last reference to a Stream that was never stopped
//   ends its capture; no sample or delegate call arrives after the
//   destructor has returned.
// - Pixel buffers are reference-counted: the platform recycles one once the
//   last shared_ptr to it is gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace capture {

// A platform error, reduced to what the library reads from it.
struct Error {
    std::string localizedDescription;
};

// Four-character pixel formats.
constexpr std::uint32_t kPixelFormat420v = 0x34323076;  // '420v' bi-planar 4:2:0, video range
constexpr std::uint32_t kPixelFormat420f = 0x34323066;  // '420f' bi-planar 4:2:0, full range
constexpr std::uint64_t kLockReadOnly = 1;              // kCVPixelBufferLock_ReadOnly

// SCStreamOutputType.
using OutputType = std::int64_t;
constexpr OutputType kOutputTypeScreen = 0;
constexpr OutputType kOutputTypeAudio = 1;

// CMTime: value / timescale seconds.
struct Time {
    std::int64_t value;
    std::int32_t timescale;
};

// CVPixelBuffer. Plane addresses are valid only between lock and unlock.
class PixelBuffer {
public:
    virtual ~PixelBuffer() = default;
    virtual std::int32_t lockBaseAddress(std::uint64_t flags) = 0;    // CVReturn
    virtual std::int32_t unlockBaseAddress(std::uint64_t flags) = 0;  // CVReturn
    virtual std::size_t width() const = 0;
    virtual std::size_t height() const = 0;
    virtual std::uint32_t pixelFormatType() const = 0;
    // nullptr when the plane is not available.
    virtual const std::uint8_t* baseAddressOfPlane(std::size_t plane) const = 0;
    virtual std::size_t bytesPerRowOfPlane(std::size_t plane) const = 0;
};

// CMSampleBuffer.
class SampleBuffer {
public:
    virtual ~SampleBuffer() = default;
    // CMSampleBufferGetImageBuffer; nullptr when the sample carries no image.
    virtual std::shared_ptr<PixelBuffer> imageBuffer() const = 0;
};

// A platform object the library only holds and hands back to the platform.
class Opaque {
public:
    virtual ~Opaque() = default;
};

// SCDisplay; the library reads nothing from it.
class Display : public Opaque {};

// SCShareableContent.
class ShareableContent {
public:
    virtual ~ShareableContent() = default;
    // In the platform's order; may be empty.
    virtual std::vector<std::shared_ptr<Display>> displays() const = 0;
};

// SCContentFilter.
class ContentFilter : public Opaque {};

// SCStreamConfiguration.
class StreamConfiguration {
public:
    virtual ~StreamConfiguration() = default;
    virtual void setWidth(std::int64_t width) = 0;
    virtual void setHeight(std::int64_t height) = 0;
    virtual void setMinimumFrameInterval(Time interval) = 0;
    virtual void setPixelFormat(std::uint32_t format) = 0;
    virtual void setShowsCursor(bool shows) = 0;
    virtual void setQueueDepth(std::int64_t depth) = 0;
    virtual void setCapturesAudio(bool captures) = 0;
};

// A serial dispatch queue.
class Queue {
public:
    virtual ~Queue() = default;
};

class Stream;

// SCStreamOutput.
class StreamOutput {
public:
    virtual ~StreamOutput() = default;
    virtual void didOutputSampleBuffer(Stream& stream, const SampleBuffer& sample,
                                       OutputType type) = 0;
};

// SCStreamDelegate; only the stop report is used.
class StreamDelegate {
public:
    virtual ~StreamDelegate() = default;
    virtual void didStopWithError(Stream& stream, const Error& error) = 0;
};

using Completion = std::function<void(std::optional<Error>)>;

// SCStream.
class Stream {
public:
    virtual ~Stream() = default;
    // Returns true on success; on failure fills *error when it is not null.
    virtual bool addStreamOutput(std::shared_ptr<StreamOutput> output, OutputType type,
                                 std::shared_ptr<Queue> sampleHandlerQueue, Error* error) = 0;
    virtual void startCapture(Completion completion) = 0;
    virtual void stopCapture(Completion completion) = 0;
};

using ContentCompletion =
    std::function<void(std::shared_ptr<ShareableContent> content, std::optional<Error> error)>;

void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                         ContentCompletion completion);

// A filter for the whole display, with no excluded applications and no
// excepted windows.
std::shared_ptr<ContentFilter> makeContentFilter(std::shared_ptr<Display> display);

std::shared_ptr<StreamConfiguration> makeStreamConfiguration();

// Serial, quality of service unspecified, autorelease frequency inherited,
// no target queue.
std::shared_ptr<Queue> makeSerialQueue(const std::string& label);

std::shared_ptr<Stream> makeStream(std::shared_ptr<ContentFilter> filter,
                                   std::shared_ptr<StreamConfiguration> configuration,
                                   std::shared_ptr<StreamDelegate> delegate);

}  // namespace capture
