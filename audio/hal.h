// The platform operations the audio program needs, in plain C++ terms.
//
// Exactly one implementation is linked into each build:
//   coreaudio/    macOS: Core Audio process tap + aggregate device
//   pulse/        Linux: recording from the default PulseAudio sink's monitor
//   tests/fakes/  a scriptable fake that logs every call
//
// Each function mirrors one platform call and returns the platform's status
// (0 = success; otherwise a Core Audio error code, on every platform, so a
// host sees the same messages everywhere; hal_status.md lists which code
// each binding reports for which condition).
//
// Threads: every function here is called on the main thread, except that
// the registered IO proc is called by the platform on its own IO thread, one
// cycle at a time, between deviceStart and deviceStop.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace hal {

using OSStatus = std::int32_t;
using ObjectID = std::uint32_t;  // AudioObjectID; 0 = none

// AudioDeviceIOProcID is an opaque handle; nullptr = none.
struct IOProcRegistration;
using IOProcID = IOProcRegistration*;

// Four ASCII characters packed big-end first: fourcc("dOut") == 'dOut'.
constexpr std::uint32_t fourcc(const char (&s)[5]) {
    return (std::uint32_t(std::uint8_t(s[0])) << 24) | (std::uint32_t(std::uint8_t(s[1])) << 16) |
           (std::uint32_t(std::uint8_t(s[2])) << 8) | std::uint32_t(std::uint8_t(s[3]));
}

constexpr ObjectID kSystemObject = 1;  // kAudioObjectSystemObject

// Core Audio error codes the bindings report.
constexpr OSStatus kNoError = 0;
constexpr OSStatus kNotRunningError = OSStatus(fourcc("stop"));
constexpr OSStatus kUnspecifiedError = OSStatus(fourcc("what"));
constexpr OSStatus kUnknownPropertyError = OSStatus(fourcc("who?"));
constexpr OSStatus kIllegalOperationError = OSStatus(fourcc("nope"));
constexpr OSStatus kBadObjectError = OSStatus(fourcc("!obj"));
constexpr OSStatus kBadDeviceError = OSStatus(fourcc("!dev"));
constexpr OSStatus kUnsupportedFormatError = OSStatus(fourcc("!dat"));
constexpr OSStatus kBadStreamError = OSStatus(fourcc("!str"));
constexpr OSStatus kUnsupportedOperationError = OSStatus(fourcc("unop"));
constexpr OSStatus kParamError = -50;

struct PropertyAddress {
    std::uint32_t selector;
    std::uint32_t scope;
    std::uint32_t element;
    bool operator==(const PropertyAddress&) const = default;
};

constexpr std::uint32_t kDefaultOutputDevice = fourcc("dOut");
constexpr std::uint32_t kDeviceUID = fourcc("uid ");
constexpr std::uint32_t kNominalSampleRate = fourcc("nsrt");
constexpr std::uint32_t kScopeGlobal = fourcc("glob");
constexpr std::uint32_t kElementMain = 0;

// A property-list value, the shape of a CFDictionary of strings, booleans,
// arrays and dictionaries. Dictionaries keep their insertion order.
struct PlistValue;
struct PlistEntry;
using PlistArray = std::vector<PlistValue>;
using PlistDict = std::vector<PlistEntry>;
struct PlistValue {
    std::variant<bool, std::string, PlistArray, PlistDict> v;
};
struct PlistEntry {
    std::string key;
    PlistValue value;
};
// Out of line: comparing the containers needs both types complete.
bool operator==(const PlistValue& a, const PlistValue& b);
inline bool operator==(const PlistEntry& a, const PlistEntry& b) {
    return a.key == b.key && a.value == b.value;
}
inline bool operator==(const PlistValue& a, const PlistValue& b) { return a.v == b.v; }

// The buffers Core Audio hands an IO proc; layout-identical to
// AudioBuffer and AudioBufferList (the macOS binding checks this).
struct AudioBuffer {
    std::uint32_t mNumberChannels;
    std::uint32_t mDataByteSize;
    void* mData;
};
struct AudioBufferList {
    std::uint32_t mNumberBuffers;
    AudioBuffer mBuffers[1];  // mNumberBuffers entries follow in memory
};
struct AudioTimeStamp;  // never read by the program

using IOProc = OSStatus (*)(ObjectID device, const AudioTimeStamp* now,
                            const AudioBufferList* input, const AudioTimeStamp* inputTime,
                            AudioBufferList* output, const AudioTimeStamp* outputTime,
                            void* clientData);

// CATapDescription. Created and used on the main thread; it owns nothing
// the platform needs after the tap exists, but is kept alive until the run
// loop returns.
class TapDescription {
public:
    virtual ~TapDescription() = default;
    virtual void setName(const std::string& name) = 0;
    virtual void setUUID(const std::string& uuid) = 0;  // upper-case 36-character form
    virtual void setPrivate(bool isPrivate) = 0;
    virtual void setMuteBehavior(std::int32_t behavior) = 0;  // 0 = unmuted
    virtual std::string uuid() const = 0;
};

// A stereo tap of every process except those listed.
std::unique_ptr<TapDescription> makeStereoGlobalTapButExcludeProcesses(
    const std::vector<ObjectID>& excluded);

// A new random UUID in the platform's string form: 36 characters,
// upper-case hexadecimal, 8-4-4-4-12.
std::string newUUIDString();

OSStatus createProcessTap(TapDescription& description, ObjectID* outTap);
OSStatus destroyProcessTap(ObjectID tap);

// AudioObjectGetPropertyData with no qualifier, for a 4-byte object ID.
OSStatus getPropertyObjectID(ObjectID object, const PropertyAddress& address, ObjectID* out);
// The same for a string property (a CFString reference, 8 bytes); the
// binding converts and releases it. nullopt = the platform returned null.
OSStatus getPropertyString(ObjectID object, const PropertyAddress& address,
                           std::optional<std::string>* out);
// AudioObjectSetPropertyData with no qualifier and an 8-byte float.
OSStatus setPropertyFloat64(ObjectID object, const PropertyAddress& address, double value);

OSStatus createAggregateDevice(const PlistDict& description, ObjectID* outDevice);
OSStatus destroyAggregateDevice(ObjectID device);

OSStatus createIOProcID(ObjectID device, IOProc proc, void* clientData, IOProcID* outID);
OSStatus destroyIOProcID(ObjectID device, IOProcID id);
OSStatus deviceStart(ObjectID device, IOProcID id);
OSStatus deviceStop(ObjectID device, IOProcID id);

// Runs the platform's main loop on the main thread. Returns 0 once wakeFd
// (the read end of a pipe) becomes readable or the platform ends the loop by
// itself; returns a non-zero status when the running capture was lost
// underneath the program (the sound server or the device went away).
OSStatus runMainLoop(int wakeFd);

}  // namespace hal
