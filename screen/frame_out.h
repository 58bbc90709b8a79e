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

    // Writes the parts in order, each in full: continues after short writes
    // and EINTR, and waits for a non-blocking descriptor to become writable,
    // so a reader never sees part of a frame followed by another frame. At
    // the first other error (reader gone, bad descriptor) the rest is
    // dropped and false is returned. Never raises SIGPIPE and leaves the
    // process's SIGPIPE disposition alone.
    bool writeAll(std::span<const std::span<const std::uint8_t>> parts) noexcept;

private:
    const int fd_;
};
