// The serial queue both Linux bindings hand samples to: one worker thread
// running tasks in the order they were posted.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "capture.h"

namespace capture::linux_shared {

// The worker owns the shared state, so the queue may be released on its
// own worker (it is then detached). post() and drain() may be called from
// any thread.
class SerialQueue : public Queue {
public:
    explicit SerialQueue(const std::string& label);  // the thread's name: the first 15 characters
    ~SerialQueue() override;  // after what was queued has run
    void post(std::function<void()> task);
    // Returns once everything posted before has run; at once on the worker.
    void drain();

private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread worker_;
};

}  // namespace capture::linux_shared
