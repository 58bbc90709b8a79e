// What both Linux bindings' streams are made of besides the frame pool and
// the serial queue: the configuration they record, their outputs, and the
// limits they apply to it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
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

}  // namespace capture::linux_shared
