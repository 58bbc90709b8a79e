// The PCM stream on standard output, written by the IO proc.
//
// ioProc runs on the platform's IO thread, one cycle at a time; it shares
// nothing with the main thread except the wake-up (see shutdown.h): it sends
// it when the reader of standard output has gone or a write failed, and a
// write waiting on standard output gives up once it has been sent.
#pragma once

#include <cstdint>

#include "hal.h"

// Converts `frames` frames of `channels` interleaved floats at `src` into
// stereo s16le and writes the block to standard output. Channel 0 is left,
// channel 1 right; a single channel goes to both. Waits as long as standard
// output does, unless a stop is requested (the rest of the block is then
// given up). Steady-state calls reuse one growing block and allocate nothing.
void writeS16(std::int64_t frames, std::int64_t channels, const float* src);

// The IO proc: converts the first input buffer and writes it. Always 0.
hal::OSStatus ioProc(hal::ObjectID device, const hal::AudioTimeStamp* now,
                     const hal::AudioBufferList* input, const hal::AudioTimeStamp* inputTime,
                     hal::AudioBufferList* output, const hal::AudioTimeStamp* outputTime,
                     void* clientData);

namespace audio {

// Descriptor the PCM goes to; 1 in the program, a pipe or file in tests.
void setOutputFd(int fd);

// True once the output has ended: a write found the reader gone or failed,
// or a stop request made it give up. Nothing more is written then.
bool outputClosed();

// The errno of the write that failed, 0 if none did. A reader that has
// gone (EPIPE) is an end, not a failure, and leaves it 0.
int outputError();

// Re-arms output after outputClosed(); for tests only.
void resetOutput();

}  // namespace audio
