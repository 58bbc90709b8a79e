// Declarations from <CoreAudio/AudioHardware.h>: property access and
// listeners, aggregate devices and IO procs.
#pragma once

#include <CoreAudio/AudioHardwareBase.h>
#include <CoreAudio/CoreAudioTypes.h>
#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma clang assume_nonnull begin

enum { kAudioObjectSystemObject = 1 };
enum {
    kAudioHardwarePropertyDevices = 'dev#',
    kAudioHardwarePropertyDefaultOutputDevice = 'dOut',
    kAudioHardwarePropertyServiceRestarted = 'srst',
};
enum { kAudioAggregateDevicePropertyActiveSubDeviceList = 'agrp' };

typedef OSStatus (*AudioObjectPropertyListenerProc)(AudioObjectID inObjectID,
                                                    UInt32 inNumberAddresses,
                                                    const AudioObjectPropertyAddress* inAddresses,
                                                    void* _Nullable inClientData);

typedef OSStatus (*AudioDeviceIOProc)(AudioObjectID inDevice, const AudioTimeStamp* inNow,
                                      const AudioBufferList* inInputData,
                                      const AudioTimeStamp* inInputTime,
                                      AudioBufferList* outOutputData,
                                      const AudioTimeStamp* inOutputTime,
                                      void* _Nullable inClientData);
typedef AudioDeviceIOProc AudioDeviceIOProcID;

extern OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                           const AudioObjectPropertyAddress* inAddress,
                                           UInt32 inQualifierDataSize,
                                           const void* _Nullable inQualifierData,
                                           UInt32* ioDataSize, void* outData);
extern OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                               const AudioObjectPropertyAddress* inAddress,
                                               UInt32 inQualifierDataSize,
                                               const void* _Nullable inQualifierData,
                                               UInt32* outDataSize);
extern OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                               const AudioObjectPropertyAddress* inAddress,
                                               AudioObjectPropertyListenerProc inListener,
                                               void* _Nullable inClientData);
extern OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID,
                                                  const AudioObjectPropertyAddress* inAddress,
                                                  AudioObjectPropertyListenerProc inListener,
                                                  void* _Nullable inClientData);
extern OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID,
                                           const AudioObjectPropertyAddress* inAddress,
                                           UInt32 inQualifierDataSize,
                                           const void* _Nullable inQualifierData,
                                           UInt32 inDataSize, const void* inData);

extern OSStatus AudioHardwareCreateAggregateDevice(CFDictionaryRef inDescription,
                                                   AudioObjectID* outDeviceID);
extern OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID);

extern OSStatus AudioDeviceCreateIOProcID(AudioObjectID inDevice, AudioDeviceIOProc inProc,
                                          void* _Nullable inClientData,
                                          AudioDeviceIOProcID _Nullable* _Nonnull outIOProcID);
extern OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID);
extern OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID _Nullable inProcID);
extern OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID _Nullable inProcID);

#pragma clang assume_nonnull end
#ifdef __cplusplus
}
#endif
