// macOS binding of hal.h, the running side: runMainLoop, which waits for the
// program's wake-up and watches the started aggregate device for loss (the
// device or a sub-device no longer alive, the device gone from the system's
// list, or the audio service restarted).
//
// runMainLoop, noteStarted and noteStopped run on the main thread; the
// property listeners run on a Core Audio notification thread and only record
// the first loss and stop the main run loop.
#import <CoreAudio/AudioHardware.h>
#import <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <cerrno>
#include <utility>
#include <vector>

#include <poll.h>

#include "device_watch.h"
#include "hal.h"

#if !__has_feature(objc_arc)
#error "device_watch.mm must be compiled with -fobjc-arc"
#endif

namespace {
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

namespace hal::coreaudio {

void noteStarted(AudioObjectID device) { gStarted = device; }

void noteStopped(AudioObjectID device) {
    if (device == gStarted) gStarted = 0;
}

}  // namespace hal::coreaudio

namespace hal {

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
