// The frame sink's descriptor: owns it, closes it on destruction, and writes
// whole frames to it.
//
// Owned by one Tap (its field `out`); created on the start task's worker
// thread, written from the sample queue under the Tap's lock, destroyed on
// whichever thread drops the Tap's last reference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

class FrameOutput {
public:
    // Takes ownership of fd, open or not; nothing is validated.
    explicit FrameOutput(int fd) noexcept;
    ~FrameOutput();
    FrameOutput(const FrameOutput&) = delete;
    FrameOutput& operator=(const FrameOutput&) = delete;

    int fd() const noexcept { return fd_; }

    enum class Result {
        written,     // every part, in full
        readerGone,  // EPIPE: the rest was dropped; later calls write again
        failed,      // any other error, now: the rest was dropped; see error()
        ended,       // an earlier call failed: nothing was written
    };

    // Writes the parts in order, each in full: continues after short writes
    // and EINTR, and waits for a non-blocking descriptor to become writable,
    // so a reader never sees part of a frame followed by another frame. A
    // vanished reader drops the rest of the call only (a reader of a named
    // pipe may come back). Any other error (a full disk, EIO, a descriptor
    // closed behind the sink's back) may leave the parts written so far, and
    // ends the output: from then on nothing more is written. Never raises
    // SIGPIPE and leaves the process's SIGPIPE disposition alone. One caller
    // at a time.
    Result writeAll(std::span<const std::span<const std::uint8_t>> parts) noexcept;

    // The errno value of the failure that ended the output; 0 while none has.
    int error() const noexcept { return error_; }

private:
    const int fd_;
    int error_ = 0;
};
