// The clock of the Linux audio binding: a timeline of frame slots that runs on
// CLOCK_MONOTONIC from the device's start, whatever the sound server does.
//
// Slot k holds what was played at  start - kPlayoutDelay + k / rate  (seconds
// on the monotonic clock). The IO thread takes one cycle of slots after
// another as its time comes; a slot that no recording filled in time is
// silence, and a slot is taken once, so no sample is ever delivered twice.
//
// Recordings ("feeds") write into the slots by their own timing: the server's
// timing information says when the frame at read index 0 of a recording was
// played (its "origin"), so frame i goes to slot  i + delta, with delta fixed
// from the origin. A recording that stops delivering (a suspended sink) leaves
// silence behind it; when it resumes, its new origin moves delta on by the
// time it was away. Small differences between the origin and the current
// delta (timing noise, clock drift between the sound card and the monotonic
// clock) are slewed out a few frames at a time; a frame missing at a slewed
// joint is interpolated between its neighbours.
//
// Threads: the feeds are written on the sound server's thread, the cycles
// taken on the IO thread; one mutex guards the slots, held only for copies.
// Each feed keeps about 1.4 s of slots (512 KiB).
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace hal::pulse {

double monotonicNow();  // CLOCK_MONOTONIC in seconds

// How far behind the clock the slots are played out: room for the server's
// fragment and scheduling delays before a frame counts as late.
constexpr double kPlayoutDelay = 0.050;

// One recording's frames on the timeline. A feed holds its own slots; the
// cycles are made of the slots each feed owns, [from, to): one feed at a
// time, so a recording can be kept ready beside the one that is heard and
// take over at any slot without a hole.
struct Feed {
    std::int64_t index = 0;  // frames read from the recording so far, holes included
    std::int64_t delta = 0;  // slot of frame 0
    bool anchored = false;
    std::int64_t from = INT64_MAX;  // the slots this feed is heard in
    std::int64_t to = INT64_MAX;
    std::int64_t lastEnd = -1;      // slot after the last frame written
    float last[2] = {0, 0};         // that frame
    bool started = false;           // has written a frame
    std::vector<float> ring;        // its slots, as the timeline's
};

class Timeline {
public:
    // Starts the clock now. cycleFrames: frames per IO cycle.
    Timeline(std::uint32_t rate, std::uint32_t cycleFrames);

    std::uint32_t rate() const { return rate_; }
    std::uint32_t cycleFrames() const { return cycle_; }

    // Server's thread. A feed takes part from attach until detach; the
    // first one attached is heard from the start.
    void attach(Feed& feed);
    void detach(Feed& feed);
    // Server's thread. The monotonic time at which the feed's frame 0 was
    // played, from the server's timing information.
    void retime(Feed& feed, double origin);
    // Server's thread. Appends frames (interleaved stereo float) to the
    // feed; data == nullptr is a hole the server reported. Returns false if
    // part of it came later than its slots and the timing should be asked
    // for again.
    bool write(Feed& feed, const float* data, std::size_t frames);
    // Server's thread. From slot `at` (or the first one not yet taken) on,
    // next is heard instead of prev.
    void handOver(Feed& prev, Feed& next, std::int64_t at);
    // The slot being played now, and the one a feed's next frame goes to.
    std::int64_t slotNow() const;
    std::int64_t nextSlot(const Feed& feed) const;

    // IO thread. The monotonic time at which the next cycle is due.
    double nextDue() const;
    // IO thread. Copies the next cycle into out (cycleFrames() stereo frames)
    // and clears it from the slots. A cycle more than the slots hold behind
    // the clock skips ahead (silence that was never stored).
    void take(float* out);

    // Slots taken so far.
    std::int64_t position() const;

private:
    std::int64_t slotAt(double t) const;
    void place(Feed& feed, std::int64_t slot, const float* frames, std::int64_t count);

    const std::uint32_t rate_;
    const std::uint32_t cycle_;
    const double start_;
    mutable std::mutex m_;
    std::vector<Feed*> feeds_;
    const std::int64_t capacity_;  // slots per feed, slot k at k % capacity_
    std::int64_t taken_ = 0;       // first slot not yet taken
};

}  // namespace hal::pulse
