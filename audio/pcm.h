// Sample conversion: float samples to the stereo s16le of the PCM stream.
// Pure functions over caller-owned memory; any thread.
#pragma once

#include <cstdint>

#include "cpu_paths.h"

// One float sample to a signed 16-bit one: scale 32767 for both signs,
// rounded to nearest with ties away from zero; NaN and +inf give 32767.
std::int16_t sat(float x);

namespace audio {

// Converts `frames` frames of `channels` interleaved floats to 2 * frames
// interleaved stereo samples at dst, exactly as the PCM stream carries them. Uses
// the widest vector unit the processor has (chosen once).
void convert(std::int64_t frames, std::int64_t channels, const float* src, std::int16_t* dst);

// The same, one sample at a time: the oracle the fast paths are held to.
void convertReference(std::int64_t frames, std::int64_t channels, const float* src,
                      std::int16_t* dst);

// Runs one named path (one of common::availablePaths()); false if it is not
// available here.
bool convertWith(const char* path, std::int64_t frames, std::int64_t channels, const float* src,
                 std::int16_t* dst);

}  // namespace audio
