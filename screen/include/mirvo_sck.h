/*
 * libmirvo_sck: streams the first display as raw NV12 frames to a descriptor.
 *
 * Call the two functions one at a time, from any one thread at a time.
 *
 * mirvo_sck_start blocks until the capture runs (0) or has failed (1, after
 * one "sck-video: " line on standard error). From a successful start the
 * library owns fd and closes it once the capture has ended. Every frame is
 * (width & ~1) * (height & ~1) * 3 / 2 bytes: the Y plane, then the
 * interleaved CbCr plane, with no header or separator.
 *
 * mirvo_sck_stop returns at once; frames may still arrive until the platform
 * has stopped, and then fd reaches end of file at the reader.
 */
#ifndef MIRVO_SCK_H
#define MIRVO_SCK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define MIRVO_SCK_EXPORT
#else
#define MIRVO_SCK_EXPORT __attribute__((visibility("default")))
#endif

MIRVO_SCK_EXPORT int32_t mirvo_sck_start(int32_t width, int32_t height, int32_t fps, int32_t fd);
MIRVO_SCK_EXPORT void mirvo_sck_stop(void);

#ifdef __cplusplus
}
#endif

#endif /* MIRVO_SCK_H */
