// macOS binding of hal.h: a Core Audio process tap joined with the default
// output device in a private aggregate device.
//
// This file is the object model (the tap, the aggregate device, properties
// and IO procs); device_watch.mm runs the main loop and watches for loss.
//
// Every function runs on the main thread (see hal.h); only the IO-proc
// trampoline runs on Core Audio's IO thread. No C++ or Objective-C exception
// leaves this file: the Objective-C calls are wrapped, and the trampoline
// is noexcept.
#import <CoreAudio/AudioHardware.h>
#import <CoreAudio/AudioHardwareTapping.h>
#import <CoreAudio/CATapDescription.h>
#import <CoreFoundation/CoreFoundation.h>
#import <Foundation/Foundation.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>


#include "hal.h"
#include "device_watch.h"
#include "plist_cf.h"

#if !__has_feature(objc_arc)
#error "hal_coreaudio.mm must be compiled with -fobjc-arc"
#endif

// The neutral types are declared to match Core Audio's; the IO proc is
// handed over by reinterpreting the buffer lists, so hold the layouts to it.
static_assert(std::is_same_v<hal::OSStatus, OSStatus>);
static_assert(std::is_same_v<hal::ObjectID, AudioObjectID>);
static_assert(sizeof(hal::AudioBuffer) == sizeof(AudioBuffer));
static_assert(alignof(hal::AudioBuffer) == alignof(AudioBuffer));
static_assert(offsetof(hal::AudioBuffer, mNumberChannels) == offsetof(AudioBuffer, mNumberChannels));
static_assert(offsetof(hal::AudioBuffer, mDataByteSize) == offsetof(AudioBuffer, mDataByteSize));
static_assert(offsetof(hal::AudioBuffer, mData) == offsetof(AudioBuffer, mData));
static_assert(sizeof(hal::AudioBufferList) == sizeof(AudioBufferList));
static_assert(alignof(hal::AudioBufferList) == alignof(AudioBufferList));
static_assert(offsetof(hal::AudioBufferList, mNumberBuffers) ==
              offsetof(AudioBufferList, mNumberBuffers));
static_assert(offsetof(hal::AudioBufferList, mBuffers) == offsetof(AudioBufferList, mBuffers));
static_assert(sizeof(hal::IOProcID) == sizeof(AudioDeviceIOProcID));

// The neutral constants name the platform's values.
static_assert(hal::kSystemObject == kAudioObjectSystemObject);
static_assert(hal::kDefaultOutputDevice == kAudioHardwarePropertyDefaultOutputDevice);
static_assert(hal::kDeviceUID == kAudioDevicePropertyDeviceUID);
static_assert(hal::kNominalSampleRate == kAudioDevicePropertyNominalSampleRate);
static_assert(hal::kScopeGlobal == kAudioObjectPropertyScopeGlobal);
static_assert(hal::kElementMain == kAudioObjectPropertyElementMain);
static_assert(hal::kNoError == kAudioHardwareNoError);
static_assert(hal::kNotRunningError == kAudioHardwareNotRunningError);
static_assert(hal::kUnspecifiedError == kAudioHardwareUnspecifiedError);
static_assert(hal::kUnknownPropertyError == kAudioHardwareUnknownPropertyError);
static_assert(hal::kIllegalOperationError == kAudioHardwareIllegalOperationError);
static_assert(hal::kBadObjectError == kAudioHardwareBadObjectError);
static_assert(hal::kBadDeviceError == kAudioHardwareBadDeviceError);
static_assert(hal::kUnsupportedFormatError == kAudioDeviceUnsupportedFormatError);
static_assert(hal::kParamError == kAudio_ParamError);

namespace {

NSString* toNSString(const std::string& s) {
    NSString* ns = [NSString stringWithUTF8String:s.c_str()];
    return ns != nil ? ns : [NSString string];
}

std::string toString(NSString* s) {
    const char* utf8 = s.UTF8String;
    return utf8 != nullptr ? std::string(utf8) : std::string();
}

std::string toString(CFStringRef s) {
    const CFRange all{0, CFStringGetLength(s)};
    CFIndex bytes = 0;
    CFStringGetBytes(s, all, kCFStringEncodingUTF8, 0, false, nullptr, 0, &bytes);
    std::string out(static_cast<std::size_t>(bytes), '\0');
    CFStringGetBytes(s, all, kCFStringEncodingUTF8, 0, false,
                     reinterpret_cast<UInt8*>(out.data()), bytes, &bytes);
    out.resize(static_cast<std::size_t>(bytes));
    return out;
}

AudioObjectPropertyAddress toAddress(const hal::PropertyAddress& a) {
    return AudioObjectPropertyAddress{a.selector, a.scope, a.element};
}

// The real Core Foundation behind hal::coreaudio::plist::convert.
struct CFOps {
    using Ref = CFTypeRef;
    Ref string(const std::string& s) {
        return CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(s.data()),
                                       static_cast<CFIndex>(s.size()), kCFStringEncodingUTF8, false);
    }
    Ref boolean(bool b) { return CFRetain(b ? kCFBooleanTrue : kCFBooleanFalse); }
    Ref array(const Ref* items, std::size_t n) {
        return CFArrayCreate(kCFAllocatorDefault, const_cast<const void**>(items),
                             static_cast<CFIndex>(n), &kCFTypeArrayCallBacks);
    }
    Ref dictionary(const Ref* keys, const Ref* values, std::size_t n) {
        return CFDictionaryCreate(kCFAllocatorDefault, const_cast<const void**>(keys),
                                  const_cast<const void**>(values), static_cast<CFIndex>(n),
                                  &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    }
    void release(Ref r) { CFRelease(r); }
};

class CoreAudioTapDescription final : public hal::TapDescription {
public:
    explicit CoreAudioTapDescription(CATapDescription* description) : description_(description) {}

    void setName(const std::string& name) override {
        @autoreleasepool {
            @try {
                description_.name = toNSString(name);
            } @catch (...) {
            }
        }
    }
    void setUUID(const std::string& uuid) override {
        @autoreleasepool {
            @try {
                // A string that is not a UUID leaves the description's own
                // UUID in place; uuid() then reports that one.
                NSUUID* parsed = [[NSUUID alloc] initWithUUIDString:toNSString(uuid)];
                if (parsed != nil) description_.UUID = parsed;
            } @catch (...) {
            }
        }
    }
    void setPrivate(bool isPrivate) override {
        @try {
            description_.privateTap = isPrivate;
        } @catch (...) {
        }
    }
    void setMuteBehavior(std::int32_t behavior) override {
        @try {
            description_.muteBehavior = static_cast<CATapMuteBehavior>(behavior);
        } @catch (...) {
        }
    }
    std::string uuid() const override {
        @autoreleasepool {
            @try {
                return toString(description_.UUID.UUIDString);
            } @catch (...) {
                return std::string();
            }
        }
    }

    CATapDescription* platform() const { return description_; }

private:
    CATapDescription* description_;  // nil only if the platform refused to make one
};

// Core Audio calls a plain function with a client-data pointer; the neutral
// proc and its own client data travel through that pointer.
struct Forward {
    hal::IOProc proc;
    void* clientData;
};

// Registrations by IO proc ID, so that destroying the ID frees its Forward.
// Main thread only.
std::map<hal::IOProcID, std::unique_ptr<Forward>>& registrations() {
    static std::map<hal::IOProcID, std::unique_ptr<Forward>> map;
    return map;
}

OSStatus trampoline(AudioObjectID device, const AudioTimeStamp* now, const AudioBufferList* input,
                    const AudioTimeStamp* inputTime, AudioBufferList* output,
                    const AudioTimeStamp* outputTime, void* clientData) noexcept {
    const auto* forward = static_cast<const Forward*>(clientData);
    if (forward == nullptr) return kAudioHardwareNoError;
    try {
        return forward->proc(device, reinterpret_cast<const hal::AudioTimeStamp*>(now),
                             reinterpret_cast<const hal::AudioBufferList*>(input),
                             reinterpret_cast<const hal::AudioTimeStamp*>(inputTime),
                             reinterpret_cast<hal::AudioBufferList*>(output),
                             reinterpret_cast<const hal::AudioTimeStamp*>(outputTime),
                             forward->clientData);
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}
// Checks the trampoline against Core Audio's exact IO-proc type.
constexpr AudioDeviceIOProc kTrampoline = trampoline;

AudioDeviceIOProcID toPlatform(hal::IOProcID id) {
    return reinterpret_cast<AudioDeviceIOProcID>(id);
}

}  // namespace

namespace hal {

std::unique_ptr<TapDescription> makeStereoGlobalTapButExcludeProcesses(
    const std::vector<ObjectID>& excluded) {
    @autoreleasepool {
        CATapDescription* description = nil;
        @try {
            NSMutableArray<NSNumber*>* list = [NSMutableArray arrayWithCapacity:excluded.size()];
            for (ObjectID id : excluded) [list addObject:[NSNumber numberWithUnsignedInt:id]];
            description = [[CATapDescription alloc] initStereoGlobalTapButExcludeProcesses:list];
        } @catch (...) {
            description = nil;
        }
        // A nil description makes createProcessTap fail with Core Audio's
        // own status, which setup reports.
        return std::make_unique<CoreAudioTapDescription>(description);
    }
}

std::string newUUIDString() {
    @autoreleasepool {
        return toString([NSUUID UUID].UUIDString);
    }
}

OSStatus createProcessTap(TapDescription& description, ObjectID* outTap) {
    auto* tap = dynamic_cast<CoreAudioTapDescription*>(&description);
    if (tap == nullptr) return kAudio_ParamError;
    @autoreleasepool {
        @try {
            return AudioHardwareCreateProcessTap(tap->platform(), outTap);
        } @catch (...) {
            return kAudioHardwareUnspecifiedError;
        }
    }
}

OSStatus destroyProcessTap(ObjectID tap) { return AudioHardwareDestroyProcessTap(tap); }

OSStatus getPropertyObjectID(ObjectID object, const PropertyAddress& address, ObjectID* out) {
    const AudioObjectPropertyAddress a = toAddress(address);
    UInt32 size = sizeof(AudioObjectID);
    return AudioObjectGetPropertyData(object, &a, 0, nullptr, &size, out);
}

OSStatus getPropertyString(ObjectID object, const PropertyAddress& address,
                           std::optional<std::string>* out) {
    const AudioObjectPropertyAddress a = toAddress(address);
    CFStringRef value = nullptr;
    UInt32 size = sizeof(CFStringRef);
    const OSStatus status = AudioObjectGetPropertyData(object, &a, 0, nullptr, &size, &value);
    // On failure the reference is not ours to release, whatever it holds.
    if (status != kAudioHardwareNoError) return status;
    if (value == nullptr) {
        *out = std::nullopt;
        return status;
    }
    *out = toString(value);
    CFRelease(value);
    return status;
}

OSStatus setPropertyFloat64(ObjectID object, const PropertyAddress& address, double value) {
    const AudioObjectPropertyAddress a = toAddress(address);
    const Float64 data = value;
    return AudioObjectSetPropertyData(object, &a, 0, nullptr, sizeof(Float64), &data);
}

OSStatus createAggregateDevice(const PlistDict& description, ObjectID* outDevice) {
    CFOps ops;
    CFTypeRef dict = hal::coreaudio::plist::convert(ops, description);
    if (dict == nullptr) return kAudioHardwareUnspecifiedError;
    const OSStatus status =
        AudioHardwareCreateAggregateDevice(static_cast<CFDictionaryRef>(dict), outDevice);
    CFRelease(dict);
    return status;
}

OSStatus destroyAggregateDevice(ObjectID device) { return AudioHardwareDestroyAggregateDevice(device); }

OSStatus createIOProcID(ObjectID device, IOProc proc, void* clientData, IOProcID* outID) {
    if (proc == nullptr || outID == nullptr) return kAudio_ParamError;
    auto forward = std::make_unique<Forward>(Forward{proc, clientData});
    AudioDeviceIOProcID id = nullptr;
    const OSStatus status = AudioDeviceCreateIOProcID(device, kTrampoline, forward.get(), &id);
    if (status == kAudioHardwareNoError) {
        *outID = reinterpret_cast<IOProcID>(id);
        registrations()[*outID] = std::move(forward);
    }
    return status;
}

OSStatus destroyIOProcID(ObjectID device, IOProcID id) {
    const OSStatus status = AudioDeviceDestroyIOProcID(device, toPlatform(id));
    // Until Core Audio lets go of the ID it may still call the trampoline.
    if (status == kAudioHardwareNoError) registrations().erase(id);
    return status;
}

OSStatus deviceStart(ObjectID device, IOProcID id) {
    const OSStatus status = AudioDeviceStart(device, toPlatform(id));
    if (status == kAudioHardwareNoError) coreaudio::noteStarted(device);
    return status;
}

OSStatus deviceStop(ObjectID device, IOProcID id) {
    coreaudio::noteStopped(device);
    return AudioDeviceStop(device, toPlatform(id));
}

}  // namespace hal
