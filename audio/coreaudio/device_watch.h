// Between the two halves of the macOS binding: deviceStart and deviceStop
// (hal_coreaudio.mm) tell the main loop (device_watch.mm) which aggregate
// device runs, so that runMainLoop watches it. Main thread only.
#pragma once

#import <CoreAudio/AudioHardware.h>

namespace hal::coreaudio {

void noteStarted(AudioObjectID device);
// Forgets the device if it is the one started.
void noteStopped(AudioObjectID device);

}  // namespace hal::coreaudio
