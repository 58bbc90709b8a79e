// What both Linux bindings' streams are made of besides the frame pool and
// the serial queue: the configuration they record, the limits they apply to
// it, their outputs and callouts, the stop task, and their short-lived threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "capture.h"
#include "linux/serial_queue.h"

namespace capture::linux_shared {

constexpr std::int64_t kMaxSide = 16384;  // a larger frame fails the start
constexpr std::int64_t kDefaultDepth = 3;
constexpr double kDefaultRate = 60;  // frames a second, and the ceiling where the platform gives none

// The settings as the library gave them; each binding reads them when its
// stream starts.
class Configuration : public StreamConfiguration {
public:
    void setWidth(std::int64_t w) override { width = w; }
    void setHeight(std::int64_t h) override { height = h; }
    void setMinimumFrameInterval(Time t) override { interval = t; }
    void setPixelFormat(std::uint32_t f) override { format = f; }
    void setShowsCursor(bool s) override { showsCursor = s; }
    void setQueueDepth(std::int64_t d) override { depth = d; }
    void setCapturesAudio(bool c) override { capturesAudio = c; }

    std::int64_t width = 0;
    std::int64_t height = 0;
    Time interval{0, 0};
    std::uint32_t format = kPixelFormat420v;
    bool showsCursor = true;
    std::int64_t depth = kDefaultDepth;
    bool capturesAudio = false;  // no audio on this platform; recorded only
};

// The start's error for a frame above kMaxSide a side (such frames would
// take gigabytes and seconds each); empty when the size is served.
std::string sizeError(const Configuration& c);
// The time one frame takes at `rate` frames a second.
std::chrono::nanoseconds perFrame(double rate);
// The configured frame interval; one at kDefaultRate when none is set.
std::chrono::nanoseconds frameInterval(Time t);
// The configured queue depth, kDefaultDepth when none, kept within 1..8.
int queueDepth(std::int64_t depth);

// Runs fn on a new detached thread; nothing fn throws leaves it. Throws
// std::system_error when no thread can be made, so the call that needed
// one fails.
template <class Fn>
void detached(Fn fn) {
    std::thread([fn = std::move(fn)]() mutable {
        try {
            fn();
        } catch (...) {
        }
    }).detach();
}

// As detached, but runs fn here when no thread can be made: for callers
// that have nobody to fail to, such as a PipeWire loop's callbacks.
template <class Fn>
void detachedOrHere(Fn fn) {
    try {
        detached(fn);
    } catch (const std::system_error&) {
        fn();
    }
}

// A stream's outputs, each with the serial queue its samples are handed to.
// Every member may be called on any thread: the list has a lock of its
// own, held only to read or change it, never while a task runs.
class Outputs {
public:
    // queueLabel names the queue made for an output added without one.
    explicit Outputs(const char* queueLabel) : queueLabel_(queueLabel) {}
    // False with *error for no output, an unknown type, or a queue that
    // was not made by a Linux binding.
    bool add(std::shared_ptr<StreamOutput> output, OutputType type, std::shared_ptr<Queue> queue,
             Error* error);
    // Hands task(output) to each screen output's queue.
    template <class Task>
    void postToScreens(const Task& task) {
        std::lock_guard<std::mutex> l(m_);
        for (const Output& o : list_)
            if (o.type == kOutputTypeScreen) o.queue->post([task, out = o.output] { task(*out); });
    }
    // Returns once what was posted to every queue before has run.
    void drain();
    // Lets go of every output (their queues finish what they hold).
    void clear();

private:
    struct Output {
        std::shared_ptr<StreamOutput> output;
        OutputType type;
        std::shared_ptr<SerialQueue> queue;
    };
    const char* const queueLabel_;
    std::mutex m_;
    std::vector<Output> list_;
};

// Everything that calls out of a stream (samples, the stop report) goes
// through here, under calloutMutex and only while owner is set: the
// stream's destructor and a finished stop clear it, after which nothing
// reaches an output or the delegate. Recursive so that releasing the
// stream from inside a callout does not deadlock.
struct Callouts {
    explicit Callouts(const char* queueLabel) : outputs(queueLabel) {}

    // Hands sample to out, while there is an owner.
    void handOver(StreamOutput& out, const SampleBuffer& sample);
    // Tells the delegate that the capture ended with `why`, while there is
    // an owner.
    void didStop(const std::string& why);
    // Clears the owner.
    void disown();
    // For the stream's destructor, once its capture has ended: clears the
    // owner, lets go of the outputs, then of the delegate.
    void release();

    std::recursive_mutex calloutMutex;
    Stream* owner = nullptr;
    std::shared_ptr<StreamDelegate> delegate;
    Outputs outputs;  // its lock is held only to read or change the list, never across a callout
};

// stopCapture, on a thread of its own: halt(*shared) ends the capture
// (false: it was not running, which fails the stop); then the output
// queues are drained and the owner cleared before the completion runs.
template <class Shared, class Halt>
void stopApart(std::shared_ptr<Shared> shared, Completion completion, Halt halt) {
    detached([shared, completion, halt] {
        if (!halt(*shared)) {
            completion(Error{"the stream is not running"});
            return;
        }
        shared->outputs.drain();
        // Late tasks (none should exist once the capture has ended and the
        // queues are drained) still find no owner.
        shared->disown();
        completion(std::nullopt);
    });
}

}  // namespace capture::linux_shared
