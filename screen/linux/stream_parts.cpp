#include "linux/stream_parts.h"

namespace capture::linux_shared {

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
