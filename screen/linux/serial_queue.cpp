#include "linux/serial_queue.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>

namespace capture::linux_shared {

struct SerialQueue::State {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::function<void()>> tasks;
    bool closing = false;
};

SerialQueue::SerialQueue(const std::string& label) : state_(std::make_shared<State>()) {
    // The worker runs tasks until the queue closes and none is left; nothing
    // a task throws leaves it.
    worker_ = std::thread([s = state_, name = label.substr(0, 15)] {
        pthread_setname_np(pthread_self(), name.c_str());
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> lock(s->m);
                s->cv.wait(lock, [&] { return s->closing || !s->tasks.empty(); });
                if (s->tasks.empty()) return;
                task = std::move(s->tasks.front());
                s->tasks.pop_front();
            }
            try {
                task();
            } catch (...) {
            }
        }
    });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard<std::mutex> lock(state_->m);
        state_->closing = true;
    }
    state_->cv.notify_all();
    if (worker_.get_id() == std::this_thread::get_id())
        worker_.detach();
    else
        worker_.join();
}

void SerialQueue::post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(state_->m);
        state_->tasks.push_back(std::move(task));
    }
    state_->cv.notify_one();
}

void SerialQueue::drain() {
    if (worker_.get_id() == std::this_thread::get_id()) return;
    std::promise<void> done;
    std::future<void> f = done.get_future();
    post([&done] { done.set_value(); });
    f.wait();
}

}  // namespace capture::linux_shared
