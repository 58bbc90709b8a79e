// macOS binding of hal.h: a Core Audio process tap joined with the default
// output device in a private aggregate device.
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
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include <poll.h>

#include "hal.h"
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

// The real Core Foundation behind plist::convert.
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

// The device started with deviceStart, watched while the main loop runs.
// Main thread only.
AudioObjectID gStarted = 0;

// Loss of the capture while the main loop runs. The listeners run on a
// Core Audio notification thread: they record the first loss and stop the
// main run loop. Static, so that a listener still running after its
// removal finds them intact.
std::atomic<OSStatus> gLost{kAudioHardwareNoError};
std::atomic<AudioObjectID> gWatched{0};
bool gWoken = false;  // main thread only

constexpr AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector) {
    return AudioObjectPropertyAddress{selector, kAudioObjectPropertyScopeGlobal,
                                      kAudioObjectPropertyElementMain};
}

// False when the device says it is not alive or no longer exists; an
// object without the property (not a device) proves nothing.
bool isAlive(AudioObjectID device) {
    const AudioObjectPropertyAddress a = globalAddress(kAudioDevicePropertyDeviceIsAlive);
    UInt32 alive = 0;
    UInt32 size = sizeof alive;
    const OSStatus status = AudioObjectGetPropertyData(device, &a, 0, nullptr, &size, &alive);
    if (status == kAudioHardwareNoError) return alive != 0;
    return status != kAudioHardwareBadObjectError && status != kAudioHardwareBadDeviceError;
}

// An object-ID list property; empty when it cannot be read.
std::vector<AudioObjectID> objectList(AudioObjectID object, AudioObjectPropertySelector selector) {
    const AudioObjectPropertyAddress a = globalAddress(selector);
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(object, &a, 0, nullptr, &size) != kAudioHardwareNoError) {
        return {};
    }
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    size = static_cast<UInt32>(ids.size() * sizeof(AudioObjectID));
    if (ids.empty() ||
        AudioObjectGetPropertyData(object, &a, 0, nullptr, &size, ids.data()) != kAudioHardwareNoError) {
        return {};
    }
    ids.resize(size / sizeof(AudioObjectID));
    return ids;
}

// Whether the system still lists the device. A list that cannot be read
// proves nothing (a restarted service is caught on its own).
bool isListed(AudioObjectID device) {
    const std::vector<AudioObjectID> devices =
        objectList(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    return devices.empty() || std::find(devices.begin(), devices.end(), device) != devices.end();
}

void noteLost(OSStatus status) {
    OSStatus none = kAudioHardwareNoError;
    if (gLost.compare_exchange_strong(none, status)) CFRunLoopStop(CFRunLoopGetMain());
}

// Looks at what changed: the aggregate or a subdevice no longer alive, the
// aggregate gone from the system's device list, or the audio service
// restarted (every object, ours included, is gone then).
OSStatus onPropertyChange(AudioObjectID object, UInt32 count,
                          const AudioObjectPropertyAddress* addresses, void*) noexcept {
    try {
        for (UInt32 i = 0; i < count; ++i) {
            switch (addresses[i].mSelector) {
                case kAudioDevicePropertyDeviceIsAlive:
                    if (!isAlive(object)) noteLost(kAudioHardwareBadDeviceError);
                    break;
                case kAudioHardwarePropertyDevices:
                    if (!isListed(gWatched)) noteLost(kAudioHardwareBadDeviceError);
                    break;
                case kAudioHardwarePropertyServiceRestarted:
                    noteLost(kAudioHardwareNotRunningError);
                    break;
                default:
                    break;
            }
        }
    } catch (...) {
        // Out of memory reading the device list: nothing is known.
    }
    return kAudioHardwareNoError;
}
// Checks the listener against Core Audio's exact type.
constexpr AudioObjectPropertyListenerProc kOnPropertyChange = onPropertyChange;

// The listeners for one run of the main loop; removed when it ends.
class LossWatch {
public:
    explicit LossWatch(AudioObjectID aggregate) {
        gLost = kAudioHardwareNoError;
        gWatched = aggregate;
        if (aggregate == 0) return;
        add(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
        add(kAudioObjectSystemObject, kAudioHardwarePropertyServiceRestarted);
        add(aggregate, kAudioDevicePropertyDeviceIsAlive);
        std::vector<AudioObjectID> devices =
            objectList(aggregate, kAudioAggregateDevicePropertyActiveSubDeviceList);
        for (AudioObjectID device : devices) add(device, kAudioDevicePropertyDeviceIsAlive);
        // A loss before the listeners were in place sends no notification.
        devices.push_back(aggregate);
        for (AudioObjectID device : devices) {
            if (!isAlive(device)) noteLost(kAudioHardwareBadDeviceError);
        }
        if (!isListed(aggregate)) noteLost(kAudioHardwareBadDeviceError);
    }
    ~LossWatch() {
        for (const auto& [object, address] : added_) {
            AudioObjectRemovePropertyListener(object, &address, kOnPropertyChange, nullptr);
        }
    }
    LossWatch(const LossWatch&) = delete;
    LossWatch& operator=(const LossWatch&) = delete;

private:
    void add(AudioObjectID object, AudioObjectPropertySelector selector) {
        const AudioObjectPropertyAddress address = globalAddress(selector);
        if (AudioObjectAddPropertyListener(object, &address, kOnPropertyChange, nullptr) ==
            kAudioHardwareNoError) {
            added_.emplace_back(object, address);
        }
    }
    std::vector<std::pair<AudioObjectID, AudioObjectPropertyAddress>> added_;
};

void onWake(CFFileDescriptorRef, CFOptionFlags, void*) {
    gWoken = true;
    CFRunLoopStop(CFRunLoopGetMain());
}

// Without a run-loop source there is nothing to stop the loop with: wait
// for the wake-up directly instead.
void waitReadable(int fd) {
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
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
    CFTypeRef dict = plist::convert(ops, description);
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
    if (status == kAudioHardwareNoError) gStarted = device;
    return status;
}

OSStatus deviceStop(ObjectID device, IOProcID id) {
    if (device == gStarted) gStarted = 0;
    return AudioDeviceStop(device, toPlatform(id));
}

OSStatus runMainLoop(int wakeFd) {
    CFFileDescriptorContext context{0, nullptr, nullptr, nullptr, nullptr};
    CFFileDescriptorRef fd = CFFileDescriptorCreate(kCFAllocatorDefault, wakeFd, false, onWake, &context);
    CFRunLoopSourceRef source =
        fd != nullptr ? CFFileDescriptorCreateRunLoopSource(kCFAllocatorDefault, fd, 0) : nullptr;
    if (source == nullptr) {
        if (fd != nullptr) {
            CFFileDescriptorInvalidate(fd);
            CFRelease(fd);
        }
        waitReadable(wakeFd);
        return kNoError;
    }
    // The read callback fires once per enable, which is all it takes: the
    // first wake-up ends the loop. A byte already waiting fires it at once.
    CFFileDescriptorEnableCallBacks(fd, kCFFileDescriptorReadCallBack);
    CFRunLoopAddSource(CFRunLoopGetMain(), source, kCFRunLoopDefaultMode);
    OSStatus lost = kNoError;
    {
        gWoken = false;
        const LossWatch watch(gStarted);
        // A listener may stop the loop just before it runs, and such a stop
        // may be lost: the loop comes round every second to look.
        for (;;) {
            lost = gLost;
            if (gWoken || lost != kNoError) break;
            const CFRunLoopRunResult result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0, false);
            if (result == kCFRunLoopRunFinished) break;
            // Stopped by someone other than us: the platform ends the loop.
            if (result == kCFRunLoopRunStopped && !gWoken && gLost == kNoError) break;
        }
        lost = gWoken ? kNoError : OSStatus(gLost);
    }
    CFRunLoopRemoveSource(CFRunLoopGetMain(), source, kCFRunLoopDefaultMode);
    CFRelease(source);
    CFFileDescriptorInvalidate(fd);  // leaves wakeFd open: closeOnInvalidate is false
    CFRelease(fd);
    return lost;
}

}  // namespace hal
