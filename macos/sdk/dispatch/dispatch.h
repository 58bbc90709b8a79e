// libdispatch declarations used by the screen binding: a serial queue.
// With Objective-C (OS_OBJECT_USE_OBJC) dispatch objects are Objective-C
// objects managed by ARC, which is how they are declared here.
#pragma once

#include <stddef.h>

#include <Foundation/Foundation.h>

#pragma clang assume_nonnull begin

// ---- <os/object.h> (OS_OBJECT_DECL_CLASS) and <dispatch/object.h>
@protocol OS_dispatch_object <NSObject>
@end

// ---- <dispatch/queue.h>
@protocol OS_dispatch_queue <OS_dispatch_object>
@end
@protocol OS_dispatch_queue_attr <OS_dispatch_object>
@end
typedef NSObject<OS_dispatch_queue>* dispatch_queue_t;
typedef NSObject<OS_dispatch_queue_attr>* dispatch_queue_attr_t;

// Serial, with the default quality of service (unspecified) and autorelease
// frequency (inherit).
#define DISPATCH_QUEUE_SERIAL NULL

#ifdef __cplusplus
extern "C" {
#endif
// DISPATCH_RETURNS_RETAINED: ARC takes ownership of the new queue.
extern dispatch_queue_t dispatch_queue_create(const char* _Nullable label,
                                              dispatch_queue_attr_t _Nullable attr)
    __attribute__((ns_returns_retained));
#ifdef __cplusplus
}
#endif

#pragma clang assume_nonnull end
