// The library's C interface: mirvo_sck_start and mirvo_sck_stop.
//
// Both are called by the host, one at a time, on any of its threads. Start
// checks the descriptor, then blocks that thread on a semaphore while a
// start task on a thread of its own talks to the platform; stop hands the
// stream to a stop task and returns at once. Neither takes a lock: gStream
// and gTap are only touched by start (while its caller waits) and by stop,
// which the host never runs together, and by the fork handler in a child.
#include "mirvo_sck.h"

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <semaphore>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <pthread.h>

#include "capture.h"
#include "diag.h"
#include "tap.h"

namespace {

// The running stream, if any, and its sink. Made once and never destroyed:
// the capture belongs to the process for its whole life, and nothing may
// run at exit, where releasing the stream would wait for a frame write that
// a reader may hold up for ever.
std::shared_ptr<capture::Stream>& gStream = *new std::shared_ptr<capture::Stream>();
std::shared_ptr<Tap>& gTap = *new std::shared_ptr<Tap>();

// A child of fork() has none of the threads that run the parent's capture,
// and that capture is the parent's: the child forgets it without releasing
// it (a release would wait for threads that do not exist in the child), so
// its own exit or start never touches it.
void forgetTheParentsCapture() noexcept {
    ::new (static_cast<void*>(&gStream)) std::shared_ptr<capture::Stream>();
    ::new (static_cast<void*>(&gTap)) std::shared_ptr<Tap>();
}

[[maybe_unused]] const bool gForkHandler =
    ::pthread_atfork(nullptr, nullptr, forgetTheParentsCapture) == 0;

// Releases a replaced capture on a thread of its own: its release may wait
// for a frame write that its reader holds up, and the start that replaced
// it must not. The sink, and with it the descriptor, goes once the stream
// is released.
void releaseApart(std::shared_ptr<capture::Stream> stream, std::shared_ptr<Tap> tap) noexcept {
    if (!stream && !tap) return;
    try {
        std::thread([s = std::move(stream), t = std::move(tap)]() mutable noexcept {
            t.reset();
            s.reset();  // the last reference: the sink and its descriptor go
        }).detach();
    } catch (...) {
        // No thread: the capture went with the failed launch, on this thread.
    }
}

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

// The start task's work: find the first display, configure and make a
// stream with a sink as its output and delegate, start it and wait for the
// platform's answer. Returns true once the capture runs and gStream/gTap
// hold it. Every object it made is released when it returns, so a sink made
// for a failed start has closed fd by then (unless the platform still holds
// the stream).
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
        screen::line(got.error->localizedDescription);  // no content: fd is still the host's
        return false;
    }

    std::vector<std::shared_ptr<capture::Display>> displays;
    if (got.content) displays = got.content->displays();
    if (displays.empty()) {
        screen::line("no display");  // fd is still the host's
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
        // Never started: the stream is only released, never stopped.
        screen::line(addError.localizedDescription);
        return false;
    }

    auto startDone = std::make_shared<Awaited<std::optional<capture::Error>>>();
    stream->startCapture(
        [startDone](std::optional<capture::Error> error) { startDone->set(std::move(error)); });
    if (const std::optional<capture::Error> error = startDone->wait()) {
        screen::line(error->localizedDescription);  // refused: released as above
        return false;
    }

    // An earlier capture still held here is replaced: released without a
    // stop, apart from this thread. That ends it and closes its descriptor.
    std::shared_ptr<capture::Stream> earlierStream = std::exchange(gStream, std::move(stream));
    std::shared_ptr<Tap> earlierTap = std::exchange(gTap, std::move(tap));
    releaseApart(std::move(earlierStream), std::move(earlierTap));
    return true;
}

// Text of the line for a start that failed inside the library itself.
void reportInternalFailure() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        screen::line("out of memory");
    } catch (const std::exception& e) {
        screen::line(e.what());
    } catch (...) {
        screen::line("internal error");
    }
}

// Checks that fd is open for writing, before anything is made; otherwise
// writes the line and returns false, and fd is still the host's.
bool usableDescriptor(std::int32_t fd) noexcept {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_ACCMODE) != O_RDONLY) return true;
    // "descriptor <fd> is not open[ for writing]", without allocating.
    char text[64] = "descriptor ";
    char* end = text + sizeof "descriptor " - 1;
    end = std::to_chars(end, text + 24, fd).ptr;
    const std::string_view rest = flags < 0 ? " is not open" : " is not open for writing";
    end = std::copy(rest.begin(), rest.end(), end);
    screen::line(std::string_view(text, static_cast<std::size_t>(end - text)));
    return false;
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
    if (!usableDescriptor(fd)) return 1;
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
