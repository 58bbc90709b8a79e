#include "timeline.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>

namespace hal::pulse {

namespace {

// An origin further than this from the current delta is a discontinuity (a
// suspension, a lost stretch of recording): delta jumps to it at once.
constexpr double kJump = 0.100;
// Within this, the difference is timing noise and left alone.
constexpr double kBand = 0.020;
// Beyond the band, delta moves at most this far per timing update (about
// one a second): 1 ms, so up to 0.1% of clock drift is followed.
constexpr double kSlew = 0.001;
// About 1.4 s of slots at 48 kHz: more than a server's lead.
constexpr std::int64_t kCapacity = 1 << 16;

std::int64_t frames(double seconds, std::uint32_t rate) {
    return std::llround(seconds * rate);
}

}  // namespace

double monotonicNow() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

Timeline::Timeline(std::uint32_t rate, std::uint32_t cycleFrames)
    : rate_(rate),
      cycle_(cycleFrames),
      start_(monotonicNow()),
      capacity_(kCapacity) {}

void Timeline::attach(Feed& feed) {
    std::lock_guard<std::mutex> l(m_);
    feed.ring.assign(std::size_t(capacity_) * 2, 0.0f);
    if (feeds_.empty()) feed.from = 0;
    feeds_.push_back(&feed);
}

void Timeline::detach(Feed& feed) {
    std::lock_guard<std::mutex> l(m_);
    std::erase(feeds_, &feed);
}

std::int64_t Timeline::slotNow() const { return slotAt(monotonicNow()); }

std::int64_t Timeline::nextSlot(const Feed& feed) const {
    std::lock_guard<std::mutex> l(m_);
    return feed.index + feed.delta;
}

std::int64_t Timeline::slotAt(double t) const { return frames(t - start_ + kPlayoutDelay, rate_); }

void Timeline::retime(Feed& feed, double origin) {
    std::lock_guard<std::mutex> l(m_);
    // The server's figures can only make a frame look later than it was
    // played (its write index moves in whole blocks: PipeWire's timing says
    // nothing of the time since the last one), so the earliest origin seen
    // is the best one: delta follows an earlier one at once, a later one
    // only beyond the noise (clock drift) or at a jump.
    const std::int64_t target = slotAt(origin);
    const std::int64_t error = target - feed.delta;
    if (!feed.anchored || std::llabs(error) > frames(kJump, rate_) || error < 0) {
        feed.delta = target;
        feed.anchored = true;
    } else if (error > frames(kBand, rate_)) {
        feed.delta += std::max<std::int64_t>(1, frames(kSlew, rate_));
    }
}

bool Timeline::write(Feed& feed, const float* data, std::size_t count) {
    std::lock_guard<std::mutex> l(m_);
    const auto n = static_cast<std::int64_t>(count);
    if (!feed.anchored) {
        // No timing yet: the last frame is being played now.
        feed.delta = slotAt(monotonicNow()) - (feed.index + n);
        feed.anchored = true;
    }
    bool onTime = true;
    const std::int64_t late = taken_ - (feed.index + feed.delta);
    if (late > 0 && data != nullptr) {
        // Behind its slots: a little means the server is slower to deliver
        // than the timing says, and the feed follows it; more means the
        // timing is out of date, and what is late is lost.
        if (late <= frames(kJump, rate_)) {
            feed.delta += late;
        } else {
            onTime = false;
        }
    }
    const std::int64_t slot = feed.index + feed.delta;
    feed.index += n;
    if (data != nullptr) place(feed, slot, data, n);
    return onTime;
}

void Timeline::place(Feed& feed, std::int64_t slot, const float* data, std::int64_t n) {
    const std::int64_t lo = std::max(slot, taken_);
    const std::int64_t hi = std::min(slot + n, taken_ + capacity_);
    // A small gap left by slewing is bridged, not left silent.
    const std::int64_t gap = slot - feed.lastEnd;
    if (feed.started && gap > 0 && gap <= 2 * frames(kSlew, rate_) + 1) {
        for (std::int64_t k = std::max(feed.lastEnd, taken_); k < std::min(slot, hi); ++k) {
            const float w = float(k - feed.lastEnd + 1) / float(gap + 1);
            float* f = &feed.ring[std::size_t(k % capacity_) * 2];
            f[0] = feed.last[0] + w * (data[0] - feed.last[0]);
            f[1] = feed.last[1] + w * (data[1] - feed.last[1]);
        }
    }
    for (std::int64_t k = lo; k < hi;) {
        const std::int64_t at = k % capacity_;
        const std::int64_t run = std::min(hi - k, capacity_ - at);
        std::copy_n(data + (k - slot) * 2, run * 2, &feed.ring[std::size_t(at) * 2]);
        k += run;
    }
    feed.started = true;
    feed.lastEnd = slot + n;
    feed.last[0] = data[(n - 1) * 2];
    feed.last[1] = data[(n - 1) * 2 + 1];
}

void Timeline::handOver(Feed& prev, Feed& next, std::int64_t at) {
    std::lock_guard<std::mutex> l(m_);
    at = std::max({at, taken_, prev.from});
    prev.to = at;
    next.from = at;
    next.to = INT64_MAX;
}
double Timeline::nextDue() const {
    std::lock_guard<std::mutex> l(m_);
    return start_ + double(taken_ + cycle_) / rate_;
}

std::int64_t Timeline::position() const {
    std::lock_guard<std::mutex> l(m_);
    return taken_;
}

void Timeline::take(float* out) {
    std::lock_guard<std::mutex> l(m_);
    // Catching up after a stall is bounded by what the slots can hold.
    const std::int64_t behind = frames(monotonicNow() - start_, rate_) - (taken_ + cycle_);
    if (behind > capacity_) {
        for (Feed* f : feeds_) std::fill(f->ring.begin(), f->ring.end(), 0.0f);
        taken_ += behind - capacity_;
    }
    const std::int64_t end = taken_ + cycle_;
    std::fill_n(out, std::size_t(cycle_) * 2, 0.0f);
    for (Feed* f : feeds_) {
        const std::int64_t lo = std::max(taken_, f->from);
        const std::int64_t hi = std::min(end, f->to);
        for (std::int64_t k = taken_; k < end;) {
            const std::int64_t at = k % capacity_;
            const std::int64_t run = std::min(end - k, capacity_ - at);
            float* slots = &f->ring[std::size_t(at) * 2];
            const std::int64_t a = std::max(k, lo);
            const std::int64_t b = std::min(k + run, hi);
            if (a < b) std::copy_n(slots + (a - k) * 2, (b - a) * 2, out + (a - taken_) * 2);
            std::fill_n(slots, run * 2, 0.0f);
            k += run;
        }
    }
    taken_ = end;
}

}  // namespace hal::pulse
