// Core Foundation declarations used by the audio binding: reference
// counting, the aggregate description's strings, booleans, arrays and
// dictionaries, and the main run loop with a file-descriptor source.
//
// Apple's CFArray, CFDictionary and CFFileDescriptor functions are not
// nullability-audited (implicitly unwrapped in their Swift interface);
// they are declared _Null_unspecified here.
#pragma once

#include <MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma clang assume_nonnull begin

// ---- <CoreFoundation/CFBase.h>
typedef signed long CFIndex;
typedef unsigned long CFOptionFlags;
typedef const void* CFTypeRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef struct {
    CFIndex location;
    CFIndex length;
} CFRange;

extern const CFAllocatorRef _Null_unspecified kCFAllocatorDefault;  // NULL
extern CFTypeRef CFRetain(CFTypeRef cf);
extern void CFRelease(CFTypeRef cf);

// ---- <CoreFoundation/CFString.h>
typedef UInt32 CFStringEncoding;
enum { kCFStringEncodingUTF8 = 0x08000100 };  // CFStringBuiltInEncodings

extern CFStringRef _Null_unspecified CFStringCreateWithBytes(
    CFAllocatorRef _Null_unspecified alloc, const UInt8* _Null_unspecified bytes, CFIndex numBytes,
    CFStringEncoding encoding, Boolean isExternalRepresentation);
extern CFIndex CFStringGetLength(CFStringRef theString);
extern CFIndex CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding,
                                UInt8 lossByte, Boolean isExternalRepresentation,
                                UInt8* _Nullable buffer, CFIndex maxBufLen,
                                CFIndex* _Nullable usedBufLen);

// ---- <CoreFoundation/CFNumber.h>
typedef const struct __CFBoolean* CFBooleanRef;
extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;

// ---- <CoreFoundation/CFArray.h>
typedef struct __CFArrayCallBacks CFArrayCallBacks;  // layout not needed
typedef const struct __CFArray* CFArrayRef;
extern const CFArrayCallBacks kCFTypeArrayCallBacks;
extern CFArrayRef _Null_unspecified CFArrayCreate(CFAllocatorRef _Null_unspecified allocator,
                                                  const void* _Null_unspecified* _Null_unspecified values,
                                                  CFIndex numValues,
                                                  const CFArrayCallBacks* _Null_unspecified callBacks);

// ---- <CoreFoundation/CFDictionary.h>
typedef struct __CFDictionaryKeyCallBacks CFDictionaryKeyCallBacks;      // layout not needed
typedef struct __CFDictionaryValueCallBacks CFDictionaryValueCallBacks;  // layout not needed
typedef const struct __CFDictionary* CFDictionaryRef;
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;
extern CFDictionaryRef _Null_unspecified CFDictionaryCreate(
    CFAllocatorRef _Null_unspecified allocator, const void* _Null_unspecified* _Null_unspecified keys,
    const void* _Null_unspecified* _Null_unspecified values, CFIndex numValues,
    const CFDictionaryKeyCallBacks* _Null_unspecified keyCallBacks,
    const CFDictionaryValueCallBacks* _Null_unspecified valueCallBacks);

// ---- <CoreFoundation/CFRunLoop.h>
typedef struct __CFRunLoop* CFRunLoopRef;
typedef struct __CFRunLoopSource* CFRunLoopSourceRef;
typedef CFStringRef CFRunLoopMode;
extern const CFRunLoopMode kCFRunLoopDefaultMode;
extern CFRunLoopRef CFRunLoopGetMain(void);
extern void CFRunLoopRun(void);
// CFRunLoopRunInMode takes a mode that is not audited for nullability.
typedef double CFTimeInterval;  // <CoreFoundation/CFDate.h>
enum CFRunLoopRunResult : SInt32 {  // CF_ENUM(SInt32, CFRunLoopRunResult)
    kCFRunLoopRunFinished = 1,
    kCFRunLoopRunStopped = 2,
    kCFRunLoopRunTimedOut = 3,
    kCFRunLoopRunHandledSource = 4,
};
typedef enum CFRunLoopRunResult CFRunLoopRunResult;
extern CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode _Null_unspecified mode,
                                             CFTimeInterval seconds,
                                             Boolean returnAfterSourceHandled);
extern void CFRunLoopStop(CFRunLoopRef rl);
extern void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode);
extern void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode);

// ---- <CoreFoundation/CFFileDescriptor.h>
typedef int CFFileDescriptorNativeDescriptor;
typedef struct __CFFileDescriptor* CFFileDescriptorRef;
enum { kCFFileDescriptorReadCallBack = 1UL << 0, kCFFileDescriptorWriteCallBack = 1UL << 1 };
typedef void (*CFFileDescriptorCallBack)(CFFileDescriptorRef _Null_unspecified f,
                                         CFOptionFlags callBackTypes,
                                         void* _Null_unspecified info);
typedef struct {
    CFIndex version;
    void* _Null_unspecified info;
    void* _Null_unspecified (*_Null_unspecified retain)(void* _Null_unspecified info);
    void (*_Null_unspecified release)(void* _Null_unspecified info);
    CFStringRef _Null_unspecified (*_Null_unspecified copyDescription)(void* _Null_unspecified info);
} CFFileDescriptorContext;

extern CFFileDescriptorRef _Null_unspecified CFFileDescriptorCreate(
    CFAllocatorRef _Null_unspecified allocator, CFFileDescriptorNativeDescriptor fd,
    Boolean closeOnInvalidate, CFFileDescriptorCallBack _Null_unspecified callout,
    const CFFileDescriptorContext* _Null_unspecified context);
extern void CFFileDescriptorEnableCallBacks(CFFileDescriptorRef _Null_unspecified f,
                                            CFOptionFlags callBackTypes);
extern void CFFileDescriptorInvalidate(CFFileDescriptorRef _Null_unspecified f);
extern CFRunLoopSourceRef _Null_unspecified CFFileDescriptorCreateRunLoopSource(
    CFAllocatorRef _Null_unspecified allocator, CFFileDescriptorRef _Null_unspecified f,
    CFIndex order);

#pragma clang assume_nonnull end
#ifdef __cplusplus
}
#endif
