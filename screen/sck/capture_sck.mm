// macOS binding of capture.h: ScreenCaptureKit for content, filter,
// configuration and stream; Core Media and Core Video for samples; Dispatch
// for the sample queue.
//
// Threads (see capture.h): the make*/get* functions and Stream methods run
// on the library's worker threads, samples arrive on the output's serial
// queue, the delegate and completions on threads ScreenCaptureKit picks.
// Those threads have no autorelease pool of ours, hence one per entry point.
//
// ScreenCaptureKit does not retain stream outputs and calls its delegate
// from its own threads, so neither sees a C++ object directly: each gets a
// bridge that holds a raw pointer to the C++ stream under a mutex. The
// stream detaches its bridges before it goes, so no call reaches it after
// its destructor, and the blocks given to ScreenCaptureKit keep the bridges
// (never the C++ objects) alive for as long as it may still use them.
//
// No C++ or Objective-C exception leaves this file.
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sck/objects.h"

#if !__has_feature(objc_arc)
#error "capture_sck.mm must be compiled with -fobjc-arc"
#endif

static_assert(capture::kOutputTypeScreen == SCStreamOutputTypeScreen);
static_assert(capture::kOutputTypeAudio == SCStreamOutputTypeAudio);
static_assert(capture::kLockReadOnly == kCVPixelBufferLock_ReadOnly);

namespace capture::sck {


class SckStream final : public capture::Stream {
public:
    SckStream(SCStream* _Nullable stream, MirvoSckBridge* _Nullable delegateBridge,
              std::shared_ptr<capture::StreamDelegate> delegate)
        : stream_(stream), delegateBridge_(delegateBridge), delegate_(std::move(delegate)) {}

    ~SckStream() override {
        @autoreleasepool {
            [delegateBridge_ detach];
            for (auto& o : outputs_) [o.bridge detach];
            // Releasing a stream nobody stopped must still end its capture;
            // the block keeps the bridges for ScreenCaptureKit until then. A
            // stream that never started (no start asked for, or the start
            // refused) has no capture to end and gets no stop request.
            const Start start = start_->load();
            if (stream_ != nil && !stopRequested_ &&
                (start == Start::running || start == Start::pending)) {
                NSArray* keep = bridges();
                @try {
                    [stream_ stopCaptureWithCompletionHandler:^(NSError* _Nullable) {
                      (void)keep;
                    }];
                } @catch (...) {
                }
            }
        }
    }

    bool addStreamOutput(std::shared_ptr<capture::StreamOutput> output, capture::OutputType type,
                         std::shared_ptr<capture::Queue> sampleHandlerQueue,
                         capture::Error* error) override {
        @autoreleasepool {
            if (stream_ == nil || output == nullptr) {
                if (error != nullptr) *error = capture::Error{"no stream to add an output to"};
                return false;
            }
            auto* queue = dynamic_cast<SckQueue*>(sampleHandlerQueue.get());
            MirvoSckBridge* bridge = [[MirvoSckBridge alloc] init];
            [bridge attachStream:this output:output.get() delegate:nullptr];
            NSError* failure = nil;
            BOOL added = NO;
            @try {
                added = [stream_ addStreamOutput:bridge
                                            type:static_cast<SCStreamOutputType>(type)
                              sampleHandlerQueue:queue != nullptr ? queue->queue : nil
                                           error:&failure];
            } @catch (...) {
                added = NO;
            }
            if (!added) {
                [bridge detach];
                if (error != nullptr) *error = toError(failure);
                return false;
            }
            try {
                outputs_.push_back(Output{std::move(output), std::move(sampleHandlerQueue), bridge});
            } catch (...) {
                // Without its owner recorded the output may not be used.
                [bridge detach];
            }
            return true;
        }
    }

    void startCapture(capture::Completion completion) override {
        @autoreleasepool {
            auto done = shared(std::move(completion), "no stream to start");
            if (!done) return;
            std::shared_ptr<std::atomic<Start>> start = start_;
            start->store(Start::pending);
            @try {
                [stream_ startCaptureWithCompletionHandler:^(NSError* _Nullable error) {
                  start->store(error != nil ? Start::refused : Start::running);
                  @autoreleasepool {
                      complete(done, error);
                  }
                }];
            } @catch (...) {
                start->store(Start::refused);
                complete(done, raisedError("startCapture"));
            }
        }
    }

    void stopCapture(capture::Completion completion) override {
        @autoreleasepool {
            auto done = shared(std::move(completion), "no stream to stop");
            if (!done) return;
            stopRequested_ = true;
            NSArray* keep = bridges();
            @try {
                [stream_ stopCaptureWithCompletionHandler:^(NSError* _Nullable error) {
                  (void)keep;
                  @autoreleasepool {
                      complete(done, error);
                  }
                }];
            } @catch (...) {
                complete(done, raisedError("stopCapture"));
            }
        }
    }

private:
    // Where the capture's start stands; the completion may outlive this
    // object, hence shared.
    enum class Start { never, pending, running, refused };

    struct Output {
        std::shared_ptr<capture::StreamOutput> output;
        std::shared_ptr<capture::Queue> queue;
        MirvoSckBridge* bridge;
    };

    static void complete(const std::shared_ptr<capture::Completion>& done,
                         std::optional<capture::Error> error) noexcept {
        try {
            if (*done) (*done)(std::move(error));
        } catch (...) {
        }
    }

    // With the platform's answer to a start or a stop.
    static void complete(const std::shared_ptr<capture::Completion>& done, NSError* _Nullable error) {
        complete(done, error != nil ? std::optional(toError(error)) : std::nullopt);
    }

    // The completion, shared with the platform's handler; null, once it has
    // run with `noStream`, when there is no stream.
    std::shared_ptr<capture::Completion> shared(capture::Completion completion, const char* noStream) {
        auto done = std::make_shared<capture::Completion>(std::move(completion));
        if (stream_ != nil) return done;
        complete(done, capture::Error{noStream});
        return nullptr;
    }

    NSArray* bridges() const {
        NSMutableArray* all = [NSMutableArray arrayWithCapacity:outputs_.size() + 1];
        if (delegateBridge_ != nil) [all addObject:delegateBridge_];
        for (const auto& o : outputs_) [all addObject:o.bridge];
        return all;
    }

    SCStream* _Nullable const stream_;
    MirvoSckBridge* _Nullable const delegateBridge_;
    // Strong references for the stream's life: ScreenCaptureKit keeps none.
    const std::shared_ptr<capture::StreamDelegate> delegate_;
    std::vector<Output> outputs_;
    bool stopRequested_ = false;
    const std::shared_ptr<std::atomic<Start>> start_ =
        std::make_shared<std::atomic<Start>>(Start::never);
};

}  // namespace capture::sck

namespace capture {

void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                         ContentCompletion completion) {
    @autoreleasepool {
        // Shared, so the block copies a pointer rather than the function.
        std::shared_ptr<ContentCompletion> done;
        try {
            done = std::make_shared<ContentCompletion>(std::move(completion));
        } catch (...) {
            return;  // nothing left to report to
        }
        auto finish = [done](std::shared_ptr<ShareableContent> content,
                             std::optional<Error> error) noexcept {
            try {
                if (*done) (*done)(std::move(content), std::move(error));
            } catch (...) {
            }
        };
        @try {
            [SCShareableContent
                getShareableContentExcludingDesktopWindows:excludeDesktopWindows
                                       onScreenWindowsOnly:onScreenWindowsOnly
                                         completionHandler:^(SCShareableContent* _Nullable content,
                                                             NSError* _Nullable error) {
                                           @autoreleasepool {
                                               if (error != nil) {
                                                   finish(nullptr, sck::toError(error));
                                                   return;
                                               }
                                               // Content without an error but nil still
                                               // answers: as a list with no display.
                                               std::shared_ptr<ShareableContent> wrapped;
                                               try {
                                                   wrapped =
                                                       std::make_shared<sck::SckShareableContent>(content);
                                               } catch (...) {
                                                   finish(nullptr, Error{"out of memory"});
                                                   return;
                                               }
                                               finish(std::move(wrapped), std::nullopt);
                                           }
                                         }];
        } @catch (...) {
            finish(nullptr, sck::raisedError("getShareableContent"));
        }
    }
}

std::shared_ptr<ContentFilter> makeContentFilter(std::shared_ptr<Display> display) {
    @autoreleasepool {
        SCContentFilter* filter = nil;
        auto* sck = dynamic_cast<sck::SckDisplay*>(display.get());
        if (sck != nullptr) {
            @try {
                filter = [[SCContentFilter alloc] initWithDisplay:sck->display
                                             excludingApplications:[NSArray array]
                                                  exceptingWindows:[NSArray array]];
            } @catch (...) {
                filter = nil;
            }
        }
        // A nil filter gives a stream that fails to start with a message.
        return std::make_shared<sck::SckContentFilter>(filter);
    }
}

std::shared_ptr<StreamConfiguration> makeStreamConfiguration() {
    @autoreleasepool {
        return std::make_shared<sck::SckStreamConfiguration>();
    }
}

std::shared_ptr<Queue> makeSerialQueue(const std::string& label) {
    // DISPATCH_QUEUE_SERIAL already means quality of service unspecified
    // and autorelease frequency inherited (the default for created queues).
    return std::make_shared<sck::SckQueue>(dispatch_queue_create(label.c_str(), DISPATCH_QUEUE_SERIAL));
}

std::shared_ptr<Stream> makeStream(std::shared_ptr<ContentFilter> filter,
                                   std::shared_ptr<StreamConfiguration> configuration,
                                   std::shared_ptr<StreamDelegate> delegate) {
    @autoreleasepool {
        auto* f = dynamic_cast<sck::SckContentFilter*>(filter.get());
        auto* c = dynamic_cast<sck::SckStreamConfiguration*>(configuration.get());
        MirvoSckBridge* bridge = delegate != nullptr ? [[MirvoSckBridge alloc] init] : nil;
        SCStream* stream = nil;
        if (f != nullptr && f->filter != nil && c != nullptr) {
            @try {
                stream = [[SCStream alloc] initWithFilter:f->filter
                                            configuration:c->configuration
                                                 delegate:bridge];
            } @catch (...) {
                stream = nil;
            }
        }
        // The caller uses the result without a test: a stream that could not
        // be made is still an object, whose calls fail with an error.
        auto result = std::make_shared<sck::SckStream>(stream, bridge, delegate);
        [bridge attachStream:result.get() output:nullptr delegate:delegate.get()];
        return result;
    }
}

}  // namespace capture
