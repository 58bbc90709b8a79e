// Linux binding of capture.h: captures a monitor of the X server in $DISPLAY.
//
// Threads:
// - getShareableContent answers on a short-lived thread of its own.
// - Each started stream runs one capture thread ("mirvo.x11.grab",
//   capture_loop.cpp) that paces, grabs, scales, converts and hands samples
//   to each output's serial queue; it also makes the start completion and
//   the delegate's stop report. While every pixel buffer is held downstream
//   it sleeps until one comes back; while the server owes it a reply, or
//   there is nothing new to grab, it also listens to the stream's wake-up
//   descriptor, so a stopped or hung server never holds a stop.
// - stopCapture finishes on a short-lived thread that waits for the capture
//   thread and drains the output queues before running the completion.
// All of them are detached and own what they touch through shared_ptrs, so
// the last reference to anything may be released on any of them. A thread
// that cannot be created fails the start (or the call that needed it).
//
// The platform's own choices where the configuration makes no sense: a
// width or height of 0 or less means the display's native size, and one
// above 16384 fails the start; a non-positive frame interval means 60
// frames a second, and no interval is shorter than the monitor's refresh as
// RandR reports it (1/60 s where it reports none, as virtual servers do);
// the queue depth is kept within 1..8 (default 3). Only "420v" frames are
// made.
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <exception>
#include <system_error>

#include "linux/bindings.h"
#include "x11/stream.h"

namespace capture::x11 {
namespace {

using linux_shared::detached;

// ---- content ------------------------------------------------------------

class X11Content : public ShareableContent {
public:
    explicit X11Content(std::vector<std::shared_ptr<Display>> d) : displays_(std::move(d)) {}
    std::vector<std::shared_ptr<Display>> displays() const override { return displays_; }

private:
    std::vector<std::shared_ptr<Display>> displays_;
};

class X11Filter : public ContentFilter {
public:
    explicit X11Filter(std::shared_ptr<X11Display> d) : display(std::move(d)) {}
    const std::shared_ptr<X11Display> display;  // null for a display not ours
};

// The capture thread.
void runCapture(std::shared_ptr<Core> core, Completion completion) {
    pthread_setname_np(pthread_self(), "mirvo.x11.grab");
    {
        // startCapture holds core->m until this thread is running: the
        // destructor compares ids under the same lock.
        std::lock_guard<std::mutex> l(core->m);
        core->captureThread = std::this_thread::get_id();
    }
    // The start completion runs exactly once: with the loop's answer, or
    // with the failure that ended the loop before it answered. A failure
    // after a successful start reaches the delegate instead.
    bool answered = false;
    const Completion once = [&answered, &completion](std::optional<Error> e) {
        answered = true;
        completion(std::move(e));
    };
    std::string failure;
    try {
        captureLoop(core, once);
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "the capture failed";
    }
    if (!failure.empty()) {
        if (!answered)
            completion(Error{failure});
        else
            core->didStop(failure);
    }
    std::lock_guard<std::mutex> l(core->m);
    core->threadDone = true;
    core->cv.notify_all();
}

class X11Stream : public Stream {
public:
    X11Stream(std::shared_ptr<X11Display> display, const linux_shared::Configuration& config,
              std::shared_ptr<StreamDelegate> delegate)
        : core_(std::make_shared<Core>()) {
        core_->display = std::move(display);
        core_->config = config;
        core_->delegate = std::move(delegate);
        core_->owner = this;
    }

    ~X11Stream() override {
        std::unique_lock<std::mutex> lock(core_->m);
        core_->requestStop();
        if (core_->captureThread != std::this_thread::get_id())
            core_->cv.wait(lock, [&] { return core_->threadDone; });
        lock.unlock();
        // Queued samples find no owner and are dropped; the references go
        // with this stream, not with the last queued task.
        core_->release();
    }

    bool addStreamOutput(std::shared_ptr<StreamOutput> output, OutputType type,
                         std::shared_ptr<Queue> queue, Error* error) override {
        return core_->outputs.add(std::move(output), type, std::move(queue), error);
    }

    void startCapture(Completion completion) override {
        std::unique_lock<std::mutex> lock(core_->m);
        if (core_->started) {
            lock.unlock();
            detached([completion] { completion(Error{"the stream has already been started"}); });
            return;
        }
        if (core_->wake < 0) core_->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (core_->wake < 0) {
            lock.unlock();
            completion(Error{std::system_category().message(errno)});
            return;
        }
        core_->started = true;
        core_->threadDone = false;
        try {
            std::thread(runCapture, core_, completion).detach();
        } catch (const std::system_error& e) {
            core_->started = false;
            core_->threadDone = true;
            lock.unlock();
            completion(Error{e.what()});
        }
    }

    void stopCapture(Completion completion) override {
        linux_shared::stopApart(core_, std::move(completion), [](Core& core) {
            std::unique_lock<std::mutex> lock(core.m);
            if (!core.started) return false;
            core.requestStop();
            core.cv.wait(lock, [&] { return core.threadDone; });
            return true;
        });
    }

private:
    std::shared_ptr<Core> core_;
};

}  // namespace

// The capture.h functions of this binding; capture_linux.cpp chooses it.

void getShareableContent(bool, bool, ContentCompletion completion) {
    const std::string server = defaultDisplayName();
    detached([server, completion = std::move(completion)] {
        std::string error;
        auto monitors = listMonitors(server, &error);
        if (!monitors) {
            completion(nullptr, Error{error});
            return;
        }
        std::vector<std::shared_ptr<Display>> displays;
        for (const Monitor& m : *monitors)
            displays.push_back(std::make_shared<X11Display>(server, m));
        completion(std::make_shared<X11Content>(std::move(displays)), std::nullopt);
    });
}

std::shared_ptr<ContentFilter> makeContentFilter(std::shared_ptr<Display> display) {
    return std::make_shared<X11Filter>(std::dynamic_pointer_cast<X11Display>(display));
}

std::shared_ptr<Stream> makeStream(std::shared_ptr<ContentFilter> filter,
                                   std::shared_ptr<StreamConfiguration> configuration,
                                   std::shared_ptr<StreamDelegate> delegate) {
    auto f = std::dynamic_pointer_cast<X11Filter>(filter);
    auto c = std::dynamic_pointer_cast<linux_shared::Configuration>(configuration);
    return std::make_shared<X11Stream>(f ? f->display : nullptr, c ? *c : linux_shared::Configuration{},
                                       std::move(delegate));
}

}  // namespace capture::x11