// Core Video declarations used by the screen binding: pixel-buffer
// reference counting, locking, geometry, format and planes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma clang assume_nonnull begin

// ---- <CoreVideo/CVBase.h> and <CoreVideo/CVReturn.h>
typedef uint64_t CVOptionFlags;
typedef int32_t CVReturn;

// ---- <CoreVideo/CVBuffer.h>, <CoreVideo/CVImageBuffer.h>, <CoreVideo/CVPixelBuffer.h>
typedef struct __CVBuffer* CVBufferRef;
typedef CVBufferRef CVImageBufferRef;
typedef CVImageBufferRef CVPixelBufferRef;

// CF_OPTIONS(CVOptionFlags, CVPixelBufferLockFlags), as the macro expands in C++.
typedef CVOptionFlags CVPixelBufferLockFlags;
enum : CVOptionFlags { kCVPixelBufferLock_ReadOnly = 0x00000001 };

extern CVPixelBufferRef _Nullable CVPixelBufferRetain(CVPixelBufferRef _Nullable texture);
extern void CVPixelBufferRelease(CVPixelBufferRef _Nullable texture);
extern CVReturn CVPixelBufferLockBaseAddress(CVPixelBufferRef pixelBuffer,
                                             CVPixelBufferLockFlags lockFlags);
extern CVReturn CVPixelBufferUnlockBaseAddress(CVPixelBufferRef pixelBuffer,
                                               CVPixelBufferLockFlags unlockFlags);
extern size_t CVPixelBufferGetWidth(CVPixelBufferRef pixelBuffer);
extern size_t CVPixelBufferGetHeight(CVPixelBufferRef pixelBuffer);
extern OSType CVPixelBufferGetPixelFormatType(CVPixelBufferRef pixelBuffer);
extern void* _Nullable CVPixelBufferGetBaseAddressOfPlane(CVPixelBufferRef pixelBuffer,
                                                          size_t planeIndex);
extern size_t CVPixelBufferGetBytesPerRowOfPlane(CVPixelBufferRef pixelBuffer, size_t planeIndex);

#pragma clang assume_nonnull end
#ifdef __cplusplus
}
#endif
