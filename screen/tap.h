// Tap: the frame sink. It is the stream's output for screen samples and its
// delegate; it resamples every frame to the requested size and writes it to
// the host's descriptor as NV12 (the Y plane, then the CbCr plane, no
// framing), and reports on standard error a stream that stopped with an
// error and a write error that ended the output.
//
// Made by the start task (api.cpp) on its worker thread, held by the stream
// (strong references, see capture.h) and by gTap. Samples arrive on the
// serial queue "mirvo.sck.video"; the stop report on a thread of the
// platform's choosing. The Tap owns the descriptor from construction and
// closes it when the last reference goes.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "capture.h"
#include "frame_out.h"

class Tap final : public capture::StreamOutput, public capture::StreamDelegate {
public:
    // Validates nothing and cannot fail; a negative size writes nothing. The
    // start checks the descriptor before it makes a sink; one that is not
    // open fails the first write, which reports it (see writeNV12).
    Tap(std::int64_t width, std::int64_t height, std::int32_t fd) noexcept;
    ~Tap() override;
    Tap() = delete;
    Tap(const Tap&) = delete;
    Tap& operator=(const Tap&) = delete;

    // Hands a screen sample's image to writeNV12; ignores everything else.
    void didOutputSampleBuffer(capture::Stream& stream, const capture::SampleBuffer& sample,
                               capture::OutputType type) override;
    // Writes "sck-video: <description>\n" to standard error; nothing else.
    void didStopWithError(capture::Stream& stream, const capture::Error& error) override;

    // Converts and writes one frame, or drops it (unsupported format, no
    // planes, empty or unallocatable frame). A vanished reader (EPIPE) costs
    // the frame silently. Any other write error ends the output: one line
    // "sck-video: frame write failed: <strerror text>", the frame may be cut
    // short, and nothing more is written. May be entered from several
    // threads at once, frames are never interleaved. In the
    // steady state (one caller at a time, same source geometry) it allocates
    // nothing: the converter's plan and the frame buffers are kept for the
    // next call.
    void writeNV12(capture::PixelBuffer& buffer) noexcept;

    const std::int64_t width;   // as requested; the frame uses it rounded down to even
    const std::int64_t height;

private:
    struct Scratch;  // a converter and its frame buffers (tap.cpp)

    static void reportWriteError(int error) noexcept;

    FrameOutput out;
    std::mutex lock;  // held across the two plane writes of one frame
    // The scratch the last call left behind. A call takes it by exchange and
    // puts it back when done; a call that finds none (another thread holds
    // it) makes its own, and of two returning, the second frees its own.
    std::atomic<Scratch*> spare{nullptr};
};
