// The macOS binding's wrappers of ScreenCaptureKit, Core Media, Core Video
// and Dispatch objects as capture.h types, and the bridge that
// ScreenCaptureKit sees as a stream output or delegate (bridge.mm). Used by
// capture_sck.mm; threads as described there.
#pragma once

#import <CoreMedia/CoreMedia.h>
#import <CoreVideo/CoreVideo.h>
#import <Foundation/Foundation.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>
#import <dispatch/dispatch.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capture.h"

// As in the sources that include it, pointers here carry no nullability
// annotations (nil is a valid value of most of them).
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wnullability-completeness"

namespace capture::sck {

inline std::string toString(NSString* s) {
    const char* utf8 = s.UTF8String;
    return utf8 != nullptr ? std::string(utf8) : std::string();
}

inline capture::Error toError(NSError* error) {
    return capture::Error{error != nil ? toString(error.localizedDescription) : std::string()};
}

// What a completion reports when ScreenCaptureKit raised instead of
// answering; the caller must still hear back exactly once.
inline capture::Error raisedError(const char* call) {
    return capture::Error{std::string("ScreenCaptureKit raised an exception in ") + call};
}

class SckPixelBuffer final : public capture::PixelBuffer {
public:
    explicit SckPixelBuffer(CVPixelBufferRef buffer) : buffer_(CVPixelBufferRetain(buffer)) {}
    ~SckPixelBuffer() override { CVPixelBufferRelease(buffer_); }
    SckPixelBuffer(const SckPixelBuffer&) = delete;
    SckPixelBuffer& operator=(const SckPixelBuffer&) = delete;

    std::int32_t lockBaseAddress(std::uint64_t flags) override {
        return CVPixelBufferLockBaseAddress(buffer_, flags);
    }
    std::int32_t unlockBaseAddress(std::uint64_t flags) override {
        return CVPixelBufferUnlockBaseAddress(buffer_, flags);
    }
    std::size_t width() const override { return CVPixelBufferGetWidth(buffer_); }
    std::size_t height() const override { return CVPixelBufferGetHeight(buffer_); }
    std::uint32_t pixelFormatType() const override { return CVPixelBufferGetPixelFormatType(buffer_); }
    const std::uint8_t* baseAddressOfPlane(std::size_t plane) const override {
        return static_cast<const std::uint8_t*>(CVPixelBufferGetBaseAddressOfPlane(buffer_, plane));
    }
    std::size_t bytesPerRowOfPlane(std::size_t plane) const override {
        return CVPixelBufferGetBytesPerRowOfPlane(buffer_, plane);
    }

private:
    CVPixelBufferRef buffer_;  // retained for this object's life
};

// Lives only for the duration of one sample callback.
class SckSampleBuffer final : public capture::SampleBuffer {
public:
    explicit SckSampleBuffer(CMSampleBufferRef sample) : sample_(sample) {}
    std::shared_ptr<capture::PixelBuffer> imageBuffer() const override {
        CVImageBufferRef image = CMSampleBufferGetImageBuffer(sample_);
        if (image == nullptr) return nullptr;
        return std::make_shared<SckPixelBuffer>(image);
    }

private:
    CMSampleBufferRef sample_;
};

class SckDisplay final : public capture::Display {
public:
    explicit SckDisplay(SCDisplay* display) : display(display) {}
    SCDisplay* const display;
};

class SckShareableContent final : public capture::ShareableContent {
public:
    explicit SckShareableContent(SCShareableContent* _Nullable content) : content_(content) {}
    std::vector<std::shared_ptr<capture::Display>> displays() const override {
        std::vector<std::shared_ptr<capture::Display>> out;
        @autoreleasepool {
            NSArray<SCDisplay*>* list = content_.displays;  // nil content: no displays
            const NSUInteger count = list.count;
            out.reserve(count);
            for (NSUInteger i = 0; i < count; ++i) {
                out.push_back(std::make_shared<SckDisplay>([list objectAtIndex:i]));
            }
        }
        return out;
    }

private:
    SCShareableContent* _Nullable content_;
};

class SckContentFilter final : public capture::ContentFilter {
public:
    explicit SckContentFilter(SCContentFilter* _Nullable filter) : filter(filter) {}
    SCContentFilter* _Nullable const filter;
};

class SckStreamConfiguration final : public capture::StreamConfiguration {
public:
    SckStreamConfiguration() : configuration([[SCStreamConfiguration alloc] init]) {}

    // Sizes reach the platform unchanged, a negative one as a huge size_t;
    // the platform is the one to judge them.
    void setWidth(std::int64_t width) override { configuration.width = static_cast<size_t>(width); }
    void setHeight(std::int64_t height) override {
        configuration.height = static_cast<size_t>(height);
    }
    void setMinimumFrameInterval(capture::Time interval) override {
        configuration.minimumFrameInterval = CMTimeMake(interval.value, interval.timescale);
    }
    void setPixelFormat(std::uint32_t format) override { configuration.pixelFormat = format; }
    void setShowsCursor(bool shows) override { configuration.showsCursor = shows; }
    void setQueueDepth(std::int64_t depth) override {
        configuration.queueDepth = static_cast<NSInteger>(depth);
    }
    void setCapturesAudio(bool captures) override { configuration.capturesAudio = captures; }

    SCStreamConfiguration* const configuration;
};

class SckQueue final : public capture::Queue {
public:
    explicit SckQueue(dispatch_queue_t queue) : queue(queue) {}
    dispatch_queue_t const queue;
};

}  // namespace capture::sck

// The object ScreenCaptureKit sees as a stream output or as the delegate.
// It forwards to the C++ side while attached, and does nothing afterwards.
__attribute__((visibility("hidden")))
@interface MirvoSckBridge : NSObject <SCStreamOutput, SCStreamDelegate>
- (void)attachStream:(capture::Stream*)stream
              output:(capture::StreamOutput*)output
            delegate:(capture::StreamDelegate*)delegate;
- (void)detach;
@end

#pragma clang diagnostic pop
