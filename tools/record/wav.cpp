// audio.wav's header: RIFF/WAVE, or RF64 for a data chunk too large for it.
#include "record.h"

namespace record {

namespace {

void putLE(std::uint8_t* p, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = std::uint8_t(v >> (8 * i));
}

// The WAV header: RIFF, a 28-byte JUNK chunk, fmt (PCM, 48 kHz, stereo,
// 16-bit), data. A data chunk larger than the 32-bit sizes can say (about
// 6.2 hours) makes the file RF64: the JUNK chunk becomes the ds64 chunk
// holding the 64-bit sizes, and the 32-bit ones read 0xFFFFFFFF.

}  // namespace

// The data size above which the file is written as RF64; the environment
// variable MIRVO_RECORD_WAV_LIMIT lowers it (tests do, to avoid 4 GiB).
std::uint64_t wavLimit() {
    const char* env = std::getenv("MIRVO_RECORD_WAV_LIMIT");
    if (!env || !*env) return kWavMaxData;
    return std::min<std::uint64_t>(std::strtoull(env, nullptr, 10), kWavMaxData);
}

std::vector<std::uint8_t> wavHeader(std::uint64_t data, std::uint64_t limit) {
    const bool rf64 = data > limit;
    const std::uint64_t riff = kWavHeader - 8 + data;
    std::vector<std::uint8_t> h(kWavHeader, 0);
    std::memcpy(&h[0], rf64 ? "RF64" : "RIFF", 4);
    putLE(&h[4], rf64 ? 0xFFFFFFFFu : riff, 4);
    std::memcpy(&h[8], "WAVE", 4);
    std::memcpy(&h[12], rf64 ? "ds64" : "JUNK", 4);
    putLE(&h[16], 28, 4);
    if (rf64) {
        putLE(&h[20], riff, 8);
        putLE(&h[28], data, 8);
        putLE(&h[36], data / kBytesPerSample, 8);  // sample frames
        // h[44..47]: no table of other chunk sizes
    }
    std::memcpy(&h[48], "fmt ", 4);
    putLE(&h[52], 16, 4);
    putLE(&h[56], 1, 2);  // PCM
    putLE(&h[58], 2, 2);
    putLE(&h[60], kRate, 4);
    putLE(&h[64], kRate * kBytesPerSample, 4);
    putLE(&h[68], kBytesPerSample, 2);
    putLE(&h[70], 16, 2);
    std::memcpy(&h[72], "data", 4);
    putLE(&h[76], rf64 ? 0xFFFFFFFFu : data, 4);
    return h;
}

}  // namespace record
