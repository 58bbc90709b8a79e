// The bridge between ScreenCaptureKit's callbacks and the C++ stream (see
// capture_sck.mm).
#include "sck/objects.h"

#if !__has_feature(objc_arc)
#error "bridge.mm must be compiled with -fobjc-arc"
#endif

using capture::sck::SckSampleBuffer;
using capture::sck::toError;

@implementation MirvoSckBridge {
    std::mutex _mutex;
    capture::Stream* _stream;
    capture::StreamOutput* _output;
    capture::StreamDelegate* _delegate;
}

- (void)attachStream:(capture::Stream*)stream
              output:(capture::StreamOutput*)output
            delegate:(capture::StreamDelegate*)delegate {
    std::lock_guard<std::mutex> lock(_mutex);
    _stream = stream;
    _output = output;
    _delegate = delegate;
}

- (void)detach {
    // Waits for a callback in progress: once this returns, none is running.
    std::lock_guard<std::mutex> lock(_mutex);
    _stream = nullptr;
    _output = nullptr;
    _delegate = nullptr;
}

- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type {
    (void)stream;
    @autoreleasepool {
        @try {
            std::lock_guard<std::mutex> lock(_mutex);
            if (_stream == nullptr || _output == nullptr) return;
            const SckSampleBuffer sample(sampleBuffer);
            _output->didOutputSampleBuffer(*_stream, sample, static_cast<capture::OutputType>(type));
        } @catch (...) {
        }
    }
}

- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error {
    (void)stream;
    @autoreleasepool {
        @try {
            std::lock_guard<std::mutex> lock(_mutex);
            if (_stream == nullptr || _delegate == nullptr) return;
            _delegate->didStopWithError(*_stream, toError(error));
        } @catch (...) {
        }
    }
}

@end
