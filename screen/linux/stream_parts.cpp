#include "linux/stream_parts.h"

#include <algorithm>

namespace capture::linux_shared {

std::string sizeError(const Configuration& c) {
    if (c.width <= kMaxSide && c.height <= kMaxSide) return {};
    const std::string side = std::to_string(kMaxSide);
    return "the frame size " + std::to_string(c.width) + "x" + std::to_string(c.height) +
           " is larger than this platform serves (" + side + "x" + side + ")";
}

std::chrono::nanoseconds perFrame(double rate) {
    return std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / rate));
}

std::chrono::nanoseconds frameInterval(Time t) {
    if (t.value > 0 && t.timescale > 0)
        return std::chrono::nanoseconds(t.value * 1'000'000'000LL / t.timescale);
    return perFrame(kDefaultRate);
}

int queueDepth(std::int64_t depth) {
    return static_cast<int>(std::clamp<std::int64_t>(depth > 0 ? depth : kDefaultDepth, 1, 8));
}

void Callouts::handOver(StreamOutput& out, const SampleBuffer& sample) {
    std::lock_guard<std::recursive_mutex> callout(calloutMutex);
    if (owner) out.didOutputSampleBuffer(*owner, sample, kOutputTypeScreen);
}

void Callouts::didStop(const std::string& why) {
    std::lock_guard<std::recursive_mutex> callout(calloutMutex);
    if (owner && delegate) delegate->didStopWithError(*owner, Error{why});
}

void Callouts::disown() {
    std::lock_guard<std::recursive_mutex> callout(calloutMutex);
    owner = nullptr;
}

void Callouts::release() {
    std::shared_ptr<StreamDelegate> gone;
    {
        std::lock_guard<std::recursive_mutex> callout(calloutMutex);
        owner = nullptr;
        gone = std::move(delegate);
    }
    outputs.clear();
}

bool Outputs::add(std::shared_ptr<StreamOutput> output, OutputType type,
                  std::shared_ptr<Queue> queue, Error* error) {
    auto fail = [&](const char* text) {
        if (error) error->localizedDescription = text;
        return false;
    };
    if (!output) return fail("no stream output was given");
    if (type != kOutputTypeScreen && type != kOutputTypeAudio)
        return fail("unknown stream output type");
    std::shared_ptr<SerialQueue> serial = std::dynamic_pointer_cast<SerialQueue>(queue);
    if (queue && !serial) return fail("the sample handler queue was not made here");
    if (!serial) serial = std::make_shared<SerialQueue>(queueLabel_);
    std::lock_guard<std::mutex> l(m_);
    list_.push_back({std::move(output), type, std::move(serial)});
    return true;
}

void Outputs::drain() {
    std::vector<std::shared_ptr<SerialQueue>> queues;
    {
        std::lock_guard<std::mutex> l(m_);
        for (const Output& o : list_) queues.push_back(o.queue);
    }
    for (const auto& q : queues) q->drain();
}

void Outputs::clear() {
    std::vector<Output> gone;
    std::lock_guard<std::mutex> l(m_);
    gone.swap(list_);
}

}  // namespace capture::linux_shared
