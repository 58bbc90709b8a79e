// Declarations from <CoreAudio/AudioHardwareTapping.h> (macOS 14.2+):
// creating and destroying process taps. Not nullability-audited by Apple
// (implicitly unwrapped in the Swift interface).
#pragma once

#include <CoreAudio/AudioHardwareBase.h>
#include <CoreAudio/CATapDescription.h>

#ifdef __cplusplus
extern "C" {
#endif

extern OSStatus AudioHardwareCreateProcessTap(CATapDescription* _Null_unspecified inDescription,
                                              AudioObjectID* _Null_unspecified outTapID);
extern OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID);

#ifdef __cplusplus
}
#endif
