// What both Linux bindings' streams are made of besides the frame pool and
// the serial queue: the configuration they record, their outputs, and the
// limits they apply to it.
#pragma once

#include <cstdint>
#include <memory>

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

struct Output {
    std::shared_ptr<StreamOutput> output;
    OutputType type;
    std::shared_ptr<SerialQueue> queue;
};

}  // namespace capture::linux_shared
