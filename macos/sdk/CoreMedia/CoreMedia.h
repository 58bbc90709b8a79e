// Core Media declarations used by the screen binding: CMTime and a sample
// buffer's image buffer.
#pragma once

#include <stdint.h>

#include <CoreVideo/CoreVideo.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma clang assume_nonnull begin

// ---- <CoreMedia/CMTime.h>
typedef int64_t CMTimeValue;
typedef int32_t CMTimeScale;
typedef uint32_t CMTimeFlags;  // CF_OPTIONS(uint32_t, CMTimeFlags)
typedef int64_t CMTimeEpoch;
typedef struct {
    CMTimeValue value;
    CMTimeScale timescale;
    CMTimeFlags flags;
    CMTimeEpoch epoch;
} CMTime;

extern CMTime CMTimeMake(int64_t value, int32_t timescale);

// ---- <CoreMedia/CMSampleBuffer.h>
typedef struct opaqueCMSampleBuffer* CMSampleBufferRef;

extern CVImageBufferRef _Nullable CMSampleBufferGetImageBuffer(CMSampleBufferRef sbuf);

#pragma clang assume_nonnull end
#ifdef __cplusplus
}
#endif
