#include "pcm_out.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <vector>

#include "pcm.h"
#include "shutdown.h"
#include "write_all.h"

namespace {

std::atomic<int> gOutputFd{1};
std::atomic<bool> gOutputClosed{false};
std::atomic<int> gOutputError{0};

// Writes the whole block, waiting on the descriptor and on the stop request
// together (the descriptor is never switched to non-blocking: its file
// description is the host's too). Each piece is at most PIPE_BUF bytes and
// follows a poll that reported room, so on a pipe it cannot block however
// the host set the descriptor up. PIPE_BUF is a multiple of 4: a block given
// up leaves whole frames behind. Returns 0, common::kStopped, or the
// errno of the write that failed (EPIPE when the reader has gone; SIGPIPE is
// ignored by the program).
int writeBlock(int fd, const void* p, std::size_t n) {
    return common::writeAll(fd, p, n, {.stopFd = shutdownWakeFd(), .chunk = PIPE_BUF,
                                          .waitForRoom = true});
}

}  // namespace

void writeS16(std::int64_t frames, std::int64_t channels, const float* src) {
    if (frames <= 0 || gOutputClosed.load(std::memory_order_relaxed)) return;
    // Only the IO thread writes, one cycle at a time: one block that grows
    // to the largest cycle seen and is then reused.
    static std::vector<std::int16_t> block;
    const auto n = static_cast<std::size_t>(frames) * 2;
    if (block.size() < n) block.resize(n);
    audio::convert(frames, channels, src, block.data());
    const int result = writeBlock(gOutputFd.load(std::memory_order_relaxed), block.data(),
                                  n * sizeof(std::int16_t));
    if (result == 0) return;
    // A stop is under way, the reader has gone or the output failed: write
    // nothing more. The main thread tears down in order and reports a
    // failure other than a vanished reader.
    gOutputClosed.store(true, std::memory_order_relaxed);
    if (result == common::kStopped) return;
    if (result != EPIPE) gOutputError.store(result);
    requestShutdown();
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

namespace audio {

void setOutputFd(int fd) { gOutputFd.store(fd); }
bool outputClosed() { return gOutputClosed.load(); }
int outputError() { return gOutputError.load(); }
void resetOutput() {
    gOutputClosed.store(false);
    gOutputError.store(0);
}

}  // namespace audio
