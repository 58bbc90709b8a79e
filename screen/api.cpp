// The library's C interface: mirvo_sck_start and mirvo_sck_stop.
//
// Both are called by the host, one at a time, on any of its threads. Start
// blocks that thread on a semaphore while a start task on a thread of its
// own talks to the platform; stop hands the stream to a stop task and
// returns at once. Neither takes a lock: gStream and gTap are only touched
// by start (while its caller waits) and by stop, which the host never runs
// together.
#include "mirvo_sck.h"

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <semaphore>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture.h"
#include "diag.h"
#include "tap.h"

namespace {

std::shared_ptr<capture::Stream> gStream;  // the running stream, if any
std::shared_ptr<Tap> gTap;                 // its sink

// Turns a completion handler into a value a task can wait for. The
// completion side may run on any thread, before or after wait() starts.
template <class T>
class Awaited {
public:
    void set(T value) noexcept {
        {
            std::lock_guard<std::mutex> g(m_);
            value_.emplace(std::move(value));
        }
        cv_.notify_one();
    }
    T wait() {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait(g, [this] { return value_.has_value(); });
        return std::move(*value_);
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::optional<T> value_;
};

struct ContentResult {
    std::shared_ptr<capture::ShareableContent> content;
    std::optional<capture::Error> error;
};

// The start task's work, T1 to T10. Returns true once the capture runs and
// gStream/gTap hold it. Every object it made is released when it returns,
// so a sink made for a failed start has closed fd by then (unless the
// platform still holds the stream).
bool startCapture(std::int32_t width, std::int32_t height, std::int32_t fps, std::int32_t fd) {
    auto contentDone = std::make_shared<Awaited<ContentResult>>();
    capture::getShareableContent(
        false, true,
        [contentDone](std::shared_ptr<capture::ShareableContent> content,
                      std::optional<capture::Error> error) {
            contentDone->set(ContentResult{std::move(content), std::move(error)});
        });
    ContentResult got = contentDone->wait();
    if (got.error) {
        diag::line(got.error->localizedDescription);  // F1: fd is still the host's
        return false;
    }

    std::vector<std::shared_ptr<capture::Display>> displays;
    if (got.content) displays = got.content->displays();
    if (displays.empty()) {
        diag::line("no display");  // F2: fd is still the host's
        return false;
    }

    auto filter = capture::makeContentFilter(displays.front());

    auto configuration = capture::makeStreamConfiguration();
    configuration->setWidth(std::int64_t{width});
    configuration->setHeight(std::int64_t{height});
    configuration->setMinimumFrameInterval(capture::Time{1, fps});
    configuration->setPixelFormat(capture::kPixelFormat420v);
    configuration->setShowsCursor(true);
    configuration->setQueueDepth(3);
    configuration->setCapturesAudio(false);

    // From here on the sink owns fd; any failure closes it with the sink.
    auto tap = std::make_shared<Tap>(std::int64_t{width}, std::int64_t{height}, fd);

    auto stream = capture::makeStream(filter, configuration, tap);

    auto queue = capture::makeSerialQueue("mirvo.sck.video");
    capture::Error addError;
    const bool added =
        stream->addStreamOutput(tap, capture::kOutputTypeScreen, std::move(queue), &addError);
    if (!added) {
        diag::line(addError.localizedDescription);  // F3
        return false;
    }

    auto startDone = std::make_shared<Awaited<std::optional<capture::Error>>>();
    stream->startCapture(
        [startDone](std::optional<capture::Error> error) { startDone->set(std::move(error)); });
    if (const std::optional<capture::Error> error = startDone->wait()) {
        diag::line(error->localizedDescription);  // F4
        return false;
    }

    // An earlier stream still held here is released without a stop; that
    // ends its capture and closes its descriptor.
    gTap = std::move(tap);
    gStream = std::move(stream);
    return true;
}

// Text of the line for a start that failed inside the library itself.
void reportInternalFailure() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        diag::line("out of memory");
    } catch (const std::exception& e) {
        diag::line(e.what());
    } catch (...) {
        diag::line("internal error");
    }
}

struct StartCall {
    std::counting_semaphore<> done{0};
    std::int32_t result = 1;  // written by the task before it signals
};

void startTask(const std::shared_ptr<StartCall>& call, std::int32_t width, std::int32_t height,
               std::int32_t fps, std::int32_t fd) noexcept {
    try {
        if (startCapture(width, height, fps, fd)) call->result = 0;
    } catch (...) {
        reportInternalFailure();
    }
    call->done.release();  // exactly once, after everything the task made is gone
}

void stopTask(std::shared_ptr<capture::Stream> stream) noexcept {
    try {
        auto stopped = std::make_shared<Awaited<std::optional<capture::Error>>>();
        stream->stopCapture(
            [stopped](std::optional<capture::Error> error) { stopped->set(std::move(error)); });
        (void)stopped->wait();  // an error while stopping is nobody's business
    } catch (...) {
    }
    // The library's last reference goes only now, after the platform has
    // stopped: with it go the sink and the descriptor.
    stream.reset();
}

}  // namespace

extern "C" MIRVO_SCK_EXPORT std::int32_t mirvo_sck_start(std::int32_t width, std::int32_t height,
                                                         std::int32_t fps, std::int32_t fd) {
    try {
        auto call = std::make_shared<StartCall>();
        // A thread of its own: the task must never need the caller's thread,
        // which waits below.
        std::thread(startTask, call, width, height, fps, fd).detach();
        call->done.acquire();
        return call->result == 0 ? 0 : 1;
    } catch (...) {
        // Nothing was started and fd is untouched.
        reportInternalFailure();
        return 1;
    }
}

extern "C" MIRVO_SCK_EXPORT void mirvo_sck_stop(void) {
    std::shared_ptr<capture::Stream> stream = std::move(gStream);
    gStream.reset();
    gTap.reset();  // the stream still holds the sink until it is released
    if (!stream) return;
    try {
        std::thread(stopTask, std::move(stream)).detach();
    } catch (...) {
        // No thread: the stream was released with the failed launch, which
        // ends its capture without waiting for a stop.
    }
}
