#include "pcm.h"

#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <vector>

#include <unistd.h>

#include "shutdown.h"

static_assert(std::endian::native == std::endian::little,
              "the PCM stream is little-endian and is written from memory as is");

namespace {

std::atomic<int> gOutputFd{1};
std::atomic<bool> gOutputClosed{false};

// Writes the whole block: continues after partial writes and EINTR. A pipe
// whose reader has gone (EPIPE; SIGPIPE is ignored by the program) or any
// other error closes the output for good and wakes the main thread, which
// tears down. Returns false then.
bool writeAll(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w > 0) {
            p += w;
            n -= static_cast<std::size_t>(w);
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

std::int16_t sat(float x) {
    if (x < 1.0f) {
        const float y = x < -1.0f ? -1.0f : x;
        const float p = y * 32767.0f;
        return static_cast<std::int16_t>(std::lround(p));
    }
    return 32767;
}

void writeS16(std::int64_t frames, std::int64_t channels, const float* src) {
    if (frames <= 0 || gOutputClosed.load(std::memory_order_relaxed)) return;
    // Only the IO thread writes, one cycle at a time: one block that grows
    // to the largest cycle seen and is then reused.
    static std::vector<std::int16_t> block;
    const auto n = static_cast<std::size_t>(frames) * 2;
    if (block.size() < n) block.resize(n);
    std::int16_t* out = block.data();
    if (channels >= 2) {
        for (std::int64_t i = 0; i < frames; ++i) {
            out[2 * i] = sat(src[i * channels]);
            out[2 * i + 1] = sat(src[i * channels + 1]);
        }
    } else {
        for (std::int64_t i = 0; i < frames; ++i) {
            const std::int16_t s = sat(src[i]);
            out[2 * i] = s;
            out[2 * i + 1] = s;
        }
    }
    if (!writeAll(gOutputFd.load(std::memory_order_relaxed),
                  reinterpret_cast<const std::uint8_t*>(out), n * sizeof(std::int16_t))) {
        gOutputClosed.store(true, std::memory_order_relaxed);
        requestShutdown();
    }
}

hal::OSStatus ioProc(hal::ObjectID, const hal::AudioTimeStamp*, const hal::AudioBufferList* input,
                     const hal::AudioTimeStamp*, hal::AudioBufferList*, const hal::AudioTimeStamp*,
                     void*) {
    if (input == nullptr || input->mNumberBuffers == 0) return 0;
    const hal::AudioBuffer& b = input->mBuffers[0];
    if (b.mData == nullptr || b.mDataByteSize == 0) return 0;
    const std::uint32_t channels = b.mNumberChannels == 0 ? 1 : b.mNumberChannels;
    const std::uint64_t bytesPerFrame = 4ull * channels;
    if (bytesPerFrame > b.mDataByteSize) return 0;
    const std::uint64_t frames = b.mDataByteSize / bytesPerFrame;
    writeS16(static_cast<std::int64_t>(frames), static_cast<std::int64_t>(channels),
             static_cast<const float*>(b.mData));
    return 0;
}

namespace pcm {

void setOutputFd(int fd) { gOutputFd.store(fd); }
bool outputClosed() { return gOutputClosed.load(); }
void resetOutput() { gOutputClosed.store(false); }

}  // namespace pcm
