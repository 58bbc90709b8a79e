// Linux binding of capture.h: captures a monitor of the X server in $DISPLAY.
//
// Threads:
// - getShareableContent answers on a short-lived thread of its own.
// - Each started stream runs one capture thread ("mirvo.x11.grab") that
//   paces, grabs, scales, converts and hands samples to each output's serial
//   queue; it also makes the start completion and the delegate's stop report.
//   While every pixel buffer is held downstream it sleeps until one comes
//   back; while the server owes it a reply, or there is nothing new to grab,
//   it also listens to the stream's wake-up descriptor, so a stopped or hung
//   server never holds a stop.
//
// Frames follow the picture: one at once after the start, then one each time
// the server reports damage over the display or the cursor drawn into it
// moves or changes shape, never more often than the frame interval. Only
// the rows that changed are grabbed and converted (each pool buffer catches
// up on what changed since it last held a picture). The display is followed
// by its RandR monitor: when the screen or the monitor changes size, frames
// keep the configured size with the new picture fitted anew; monitors added
// or removed around it change nothing; once it is no longer listed the
// stream ends with an error, as when the server goes away.
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

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <future>
#include <mutex>
#include <system_error>
#include <thread>

#include "area_scaler.h"
#include "bgrx_nv12.h"
#include "capture.h"
#include "capture_x11_grab.h"
#include "free_deleter.h"
#include "picture.h"

namespace capture {
namespace {

constexpr std::int64_t kMaxSide = 16384;
constexpr std::int64_t kDefaultDepth = 3;
constexpr double kDefaultRate = 60;  // frames a second, and the ceiling where RandR gives none

// Runs fn on a new detached thread; nothing it throws leaves it.
template <class Fn>
void detached(Fn fn) {
    std::thread([fn = std::move(fn)]() mutable {
        try {
            fn();
        } catch (...) {
        }
    }).detach();
}

// ---- content ------------------------------------------------------------

class X11Display : public Display {
public:
    X11Display(std::string name, x11::Monitor m) : server(std::move(name)), monitor(m) {}
    const std::string server;  // the display name the content was read from
    const x11::Monitor monitor;
};

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

class X11Configuration : public StreamConfiguration {
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

// ---- serial queue -------------------------------------------------------

// One worker thread running tasks in order. The worker owns the shared
// state, so the queue may be released on its own worker (then detached).
class SerialQueue : public Queue {
public:
    explicit SerialQueue(const std::string& label) : state_(std::make_shared<State>()) {
        worker_ = std::thread([s = state_, name = label.substr(0, 15)] {
            pthread_setname_np(pthread_self(), name.c_str());
            run(*s);
        });
    }
    ~SerialQueue() override {
        {
            std::lock_guard<std::mutex> lock(state_->m);
            state_->closing = true;
        }
        state_->cv.notify_all();
        if (worker_.get_id() == std::this_thread::get_id())
            worker_.detach();
        else
            worker_.join();  // after what was queued has run
    }
    void post(std::function<void()> task) {
        {
            std::lock_guard<std::mutex> lock(state_->m);
            state_->tasks.push_back(std::move(task));
        }
        state_->cv.notify_one();
    }
    // Returns once everything posted before has run.
    void drain() {
        if (worker_.get_id() == std::this_thread::get_id()) return;
        std::promise<void> done;
        std::future<void> f = done.get_future();
        post([&done] { done.set_value(); });
        f.wait();
    }

private:
    struct State {
        std::mutex m;
        std::condition_variable cv;
        std::deque<std::function<void()>> tasks;
        bool closing = false;
    };
    static void run(State& s) {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> lock(s.m);
                s.cv.wait(lock, [&] { return s.closing || !s.tasks.empty(); });
                if (s.tasks.empty()) return;
                task = std::move(s.tasks.front());
                s.tasks.pop_front();
            }
            try {
                task();
            } catch (...) {
            }
        }
    }
    std::shared_ptr<State> state_;
    std::thread worker_;
};

// ---- pixel buffers ------------------------------------------------------

using mirvo::FreeDeleter;

// One NV12 picture: luma w x h, chroma ceil(w/2) pairs x ceil(h/2) rows,
// both with rows padded to 64 bytes.
struct Nv12Storage {
    Nv12Storage(int w, int h)
        : width(w),
          height(h),
          stride((w + 1 + 63) / 64 * 64),
          chromaOffset(static_cast<std::size_t>(stride) * h),
          bytes(static_cast<std::uint8_t*>(std::aligned_alloc(
              64, chromaOffset + static_cast<std::size_t>(stride) * ((h + 1) / 2)))) {
        if (!bytes) throw std::bad_alloc();
        rgbnv12::fillBlack(w, h, y(), stride, uv(), stride);
    }
    std::uint8_t* y() { return bytes.get(); }
    std::uint8_t* uv() { return bytes.get() + chromaOffset; }
    const int width, height, stride;
    const std::size_t chromaOffset;
    std::unique_ptr<std::uint8_t, FreeDeleter> bytes;
    // Which picture it holds: the frame number (0: none yet) and the
    // display layout it was laid out for.
    std::uint64_t frame = 0;
    std::uint64_t layout = 0;
};

class Pool;

class X11PixelBuffer : public PixelBuffer {
public:
    X11PixelBuffer(std::unique_ptr<Nv12Storage> s, std::shared_ptr<Pool> pool)
        : storage_(std::move(s)), pool_(std::move(pool)) {}
    ~X11PixelBuffer() override;
    std::int32_t lockBaseAddress(std::uint64_t) override { return 0; }
    std::int32_t unlockBaseAddress(std::uint64_t) override { return 0; }
    std::size_t width() const override { return storage_->width; }
    std::size_t height() const override { return storage_->height; }
    std::uint32_t pixelFormatType() const override { return kPixelFormat420v; }
    const std::uint8_t* baseAddressOfPlane(std::size_t plane) const override {
        return plane == 0 ? storage_->y() : plane == 1 ? storage_->uv() : nullptr;
    }
    std::size_t bytesPerRowOfPlane(std::size_t plane) const override {
        return plane < 2 ? storage_->stride : 0;
    }
    Nv12Storage& storage() { return *storage_; }

private:
    std::unique_ptr<Nv12Storage> storage_;
    std::shared_ptr<Pool> pool_;
};

// A fixed number of pictures; a buffer goes back when its last reference
// does, and returned() runs after each. Buffers keep the pool alive, so they
// may outlive the stream.
class Pool : public std::enable_shared_from_this<Pool> {
public:
    Pool(int count, int w, int h, std::function<void()> returned) : returned_(std::move(returned)) {
        for (int i = 0; i < count; ++i) free_.push_back(std::make_unique<Nv12Storage>(w, h));
    }
    // Null when every buffer is still held: the frame is then skipped.
    std::shared_ptr<X11PixelBuffer> acquire() {
        std::unique_ptr<Nv12Storage> s;
        {
            std::lock_guard<std::mutex> lock(m_);
            if (free_.empty()) return nullptr;
            s = std::move(free_.back());
            free_.pop_back();
        }
        return std::make_shared<X11PixelBuffer>(std::move(s), shared_from_this());
    }
    void giveBack(std::unique_ptr<Nv12Storage> s) {
        {
            std::lock_guard<std::mutex> lock(m_);
            free_.push_back(std::move(s));
        }
        returned_();
    }

private:
    const std::function<void()> returned_;
    std::mutex m_;
    std::vector<std::unique_ptr<Nv12Storage>> free_;
};

X11PixelBuffer::~X11PixelBuffer() { pool_->giveBack(std::move(storage_)); }

class X11Sample : public SampleBuffer {
public:
    explicit X11Sample(std::shared_ptr<PixelBuffer> b) : buffer_(std::move(b)) {}
    std::shared_ptr<PixelBuffer> imageBuffer() const override { return buffer_; }

private:
    std::shared_ptr<PixelBuffer> buffer_;
};

// ---- stream -------------------------------------------------------------

struct Output {
    std::shared_ptr<StreamOutput> output;
    OutputType type;
    std::shared_ptr<SerialQueue> queue;
};

// What the stream, its capture thread and its stop thread share.
struct Core {
    ~Core() {
        if (wake >= 0) ::close(wake);
    }

    // Fixed before the capture thread starts.
    std::shared_ptr<X11Display> display;
    X11Configuration config;

    // Capture thread lifecycle.
    std::mutex m;
    std::condition_variable cv;  // stop requested, capture thread done, a buffer came back
    bool started = false;
    bool stopRequested = false;
    bool threadDone = true;
    std::thread::id captureThread;
    int wake = -1;  // eventfd, readable once a stop is requested; made by startCapture

    // Called with m held.
    void requestStop() {
        stopRequested = true;
        cv.notify_all();
        const std::uint64_t one = 1;
        if (wake >= 0 && ::write(wake, &one, sizeof one) < 0) {
            // Only a counter overflow fails, and then the descriptor is readable anyway.
        }
    }

    // Everything that calls out (samples, the stop report) holds this and
    // checks owner: the stream's destructor and a finished stop clear it,
    // after which nothing reaches an output or the delegate. Recursive so
    // that releasing the stream from inside a callout does not deadlock.
    std::recursive_mutex calloutMutex;
    Stream* owner = nullptr;
    std::shared_ptr<StreamDelegate> delegate;

    // Held only to copy or change the list, never across a callout.
    std::mutex outputsMutex;
    std::vector<Output> outputs;
};

void captureLoop(const std::shared_ptr<Core>& core, const Completion& started);

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
        if (!answered) {
            completion(Error{failure});
        } else {
            std::lock_guard<std::recursive_mutex> callout(core->calloutMutex);
            if (core->owner && core->delegate)
                core->delegate->didStopWithError(*core->owner, Error{failure});
        }
    }
    std::lock_guard<std::mutex> l(core->m);
    core->threadDone = true;
    core->cv.notify_all();
}

class X11Stream : public Stream {
public:
    X11Stream(std::shared_ptr<X11Display> display, const X11Configuration& config,
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
        std::shared_ptr<StreamDelegate> delegate;
        std::vector<Output> outputs;
        {
            std::lock_guard<std::recursive_mutex> callout(core_->calloutMutex);
            core_->owner = nullptr;
            delegate = std::move(core_->delegate);
        }
        {
            std::lock_guard<std::mutex> l(core_->outputsMutex);
            outputs = std::move(core_->outputs);
        }
    }

    bool addStreamOutput(std::shared_ptr<StreamOutput> output, OutputType type,
                         std::shared_ptr<Queue> queue, Error* error) override {
        auto fail = [&](const char* text) {
            if (error) error->localizedDescription = text;
            return false;
        };
        if (!output) return fail("no stream output was given");
        if (type != kOutputTypeScreen && type != kOutputTypeAudio)
            return fail("unknown stream output type");
        std::shared_ptr<SerialQueue> serial = std::dynamic_pointer_cast<SerialQueue>(queue);
        if (queue && !serial) return fail("the sample handler queue was not made here");
        if (!serial) serial = std::make_shared<SerialQueue>("mirvo.x11.out");
        std::lock_guard<std::mutex> l(core_->outputsMutex);
        core_->outputs.push_back({std::move(output), type, std::move(serial)});
        return true;
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
        std::shared_ptr<Core> core = core_;
        detached([core, completion] {
            {
                std::unique_lock<std::mutex> lock(core->m);
                if (!core->started) {
                    lock.unlock();
                    completion(Error{"the stream is not running"});
                    return;
                }
                core->requestStop();
                core->cv.wait(lock, [&] { return core->threadDone; });
            }
            std::vector<std::shared_ptr<SerialQueue>> queues;
            {
                std::lock_guard<std::mutex> l(core->outputsMutex);
                for (const Output& o : core->outputs) queues.push_back(o.queue);
            }
            for (const auto& q : queues) q->drain();
            {
                // Late tasks (none should exist once the thread is done and
                // the queues are drained) still find no owner.
                std::lock_guard<std::recursive_mutex> callout(core->calloutMutex);
                core->owner = nullptr;
            }
            completion(std::nullopt);
        });
    }

private:
    std::shared_ptr<Core> core_;
};

// Everything the capture thread computes once.
struct Plan {
    int width = 0;   // frame size
    int height = 0;
    rgbnv12::Rect picture;  // where the display lands in the frame
    std::chrono::nanoseconds interval{0};
    int depth = 0;
};

// Sizes are within kMaxSide (captureLoop checked them).
Plan makePlan(const X11Configuration& c, int nativeW, int nativeH, double refresh) {
    Plan p;
    p.width = static_cast<int>(c.width > 0 ? c.width : nativeW);
    p.height = static_cast<int>(c.height > 0 ? c.height : nativeH);
    p.picture = rgbnv12::fitKeepingAspect(nativeW, nativeH, p.width, p.height);
    const auto perFrame = [](double rate) {
        return std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / rate));
    };
    if (c.interval.value > 0 && c.interval.timescale > 0)
        p.interval = std::chrono::nanoseconds(c.interval.value * 1'000'000'000LL /
                                              c.interval.timescale);
    else
        p.interval = perFrame(kDefaultRate);
    // Never faster than the monitor shows new pictures.
    p.interval = std::max(p.interval, perFrame(refresh > 0 ? refresh : kDefaultRate));
    p.depth = static_cast<int>(std::clamp<std::int64_t>(c.depth > 0 ? c.depth : kDefaultDepth, 1, 8));
    return p;
}

// The picture rows that display rows [y0, y1) reach, widened to whole
// chroma rows. An area-averaged output row reads only the display rows it
// covers, so one row more on each side is plenty.
std::pair<int, int> pictureRows(int y0, int y1, int sh, int ph) {
    if (ph == sh) return {y0 & ~1, std::min(ph, (y1 + 1) & ~1)};
    const long long a = static_cast<long long>(y0) * ph / sh - 1;
    const long long b = (static_cast<long long>(y1) * ph + sh - 1) / sh + 2;
    return {static_cast<int>(std::max(a, 0LL)) & ~1,
            static_cast<int>(std::min(b & ~1LL, static_cast<long long>(ph)))};
}

// Scales display rows [y0, y1) of the grabbed pixels into the picture area
// and converts them. A display already of the picture's size is converted
// as it is.
void render(const std::uint8_t* pixels, int sw, int sh, int y0, int y1, const Plan& plan,
            std::unique_ptr<rgbnv12::AreaScaler>& scaler, Nv12Storage& out) {
    const rgbnv12::Rect& r = plan.picture;
    if (r.width <= 0 || r.height <= 0 || y0 >= y1) return;
    const auto [first, end] = pictureRows(y0, y1, sh, r.height);
    std::uint8_t* y = out.y() + static_cast<std::size_t>(r.y) * out.stride + r.x;
    std::uint8_t* uv = out.uv() + static_cast<std::size_t>(r.y / 2) * out.stride + r.x;
    if (r.width == sw && r.height == sh) {
        rgbnv12::bgrxToNv12Bt709(pixels + static_cast<std::size_t>(first) * sw * 4, sw * 4, sw,
                                 end - first, y + static_cast<std::size_t>(first) * out.stride,
                                 out.stride, uv + static_cast<std::size_t>(first / 2) * out.stride,
                                 out.stride);
        return;
    }
    if (!scaler) scaler = std::make_unique<rgbnv12::AreaScaler>(sw, sh, r.width, r.height);
    scaler->scaleRowsToNv12(pixels, sw * 4, first, end, y, out.stride, uv, out.stride);
}

// The display rows each of the last frames changed, so that a pool buffer
// can catch up from the picture it holds.
class ChangeLog {
public:
    void add(std::uint64_t frame, int y0, int y1) { rows_[frame % kSize] = {y0, y1}; }
    // Rows changed by frames after `held` up to `now`; false when `held` is
    // none or too far back.
    bool since(std::uint64_t held, std::uint64_t now, int* y0, int* y1) const {
        if (held == 0 || now - held >= kSize) return false;
        for (std::uint64_t f = held + 1; f <= now; ++f) {
            const auto [a, b] = rows_[f % kSize];
            if (a >= b) continue;
            *y0 = *y0 < *y1 ? std::min(*y0, a) : a;
            *y1 = std::max(*y1, b);
        }
        return true;
    }

private:
    static constexpr std::uint64_t kSize = 16;
    std::array<std::pair<int, int>, kSize> rows_{};
};

void captureLoop(const std::shared_ptr<Core>& core, const Completion& started) {
    const X11Configuration& cfg = core->config;
    if (!core->display) {
        started(Error{"the content filter has no display of this platform"});
        return;
    }
    if (cfg.format != kPixelFormat420v) {
        started(Error{"only the 420v pixel format is supported"});
        return;
    }
    if (cfg.width > kMaxSide || cfg.height > kMaxSide) {
        // Frames this large would take gigabytes and seconds each.
        started(Error{"the frame size " + std::to_string(cfg.width) + "x" +
                      std::to_string(cfg.height) + " is larger than this platform serves (" +
                      std::to_string(kMaxSide) + "x" + std::to_string(kMaxSide) + ")"});
        return;
    }
    std::string error;
    std::unique_ptr<x11::Grabber> grabber =
        x11::Grabber::open(core->display->server, core->display->monitor, core->wake, &error);
    if (!grabber) {
        started(Error{error});
        return;
    }
    Plan plan = makePlan(cfg, grabber->width(), grabber->height(),
                         core->display->monitor.refresh);
    // Wakes the loop below when it waits for a buffer; the lock orders the
    // wake-up after the loop's look at the pool.
    auto pool = std::make_shared<Pool>(plan.depth, plan.width, plan.height,
                                       [weak = std::weak_ptr<Core>(core)] {
                                           if (auto c = weak.lock()) {
                                               { std::lock_guard<std::mutex> l(c->m); }
                                               c->cv.notify_all();
                                           }
                                       });
    std::unique_ptr<rgbnv12::AreaScaler> scaler;
    started(std::nullopt);

    const std::string where = "X display \"" + core->display->server + "\"";
    const auto report = [&](const std::string& text) {
        std::lock_guard<std::recursive_mutex> callout(core->calloutMutex);
        if (core->owner && core->delegate)
            core->delegate->didStopWithError(*core->owner, Error{text});
    };
    // While nothing else happens, the pointer is looked at once a frame.
    const int pointerPollMs =
        cfg.showsCursor
            ? static_cast<int>(std::max<std::int64_t>(
                  1, std::chrono::duration_cast<std::chrono::milliseconds>(plan.interval).count()))
            : -1;
    ChangeLog changes;
    std::uint64_t frame = 0, layout = 0;
    bool due = true;  // a frame whatever changed: the first, and the first after a move
    std::shared_ptr<X11PixelBuffer> buffer;
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(core->m);
            core->cv.wait_until(lock, next, [&] { return core->stopRequested; });
            // Every buffer still held downstream (a reader that does not keep
            // up): sleep until one comes back. The changes meanwhile wait.
            core->cv.wait(lock, [&] {
                return core->stopRequested || buffer || (buffer = pool->acquire()) != nullptr;
            });
            if (core->stopRequested) return;
        }
        if (!due) {
            const x11::Grabber::Wake wake = grabber->waitForChange(pointerPollMs);
            if (wake == x11::Grabber::Wake::stop) return;
            if (wake == x11::Grabber::Wake::lost) {
                report("lost the connection to " + where);
                return;
            }
            if (wake == x11::Grabber::Wake::layout) {
                const x11::Grabber::Layout now = grabber->followLayout();
                if (now == x11::Grabber::Layout::gone) {
                    report("the display is no longer on " + where);
                    return;
                }
                if (now == x11::Grabber::Layout::moved) {
                    plan.picture = rgbnv12::fitKeepingAspect(grabber->width(), grabber->height(),
                                                             plan.width, plan.height);
                    scaler.reset();
                    ++layout;
                    due = true;
                }
                continue;
            }
        }
        int y0 = 0, y1 = 0;
        const std::uint8_t* pixels = grabber->grab(cfg.showsCursor, &y0, &y1);
        const auto now = std::chrono::steady_clock::now();
        if (!pixels) {
            if (grabber->lost()) {
                report("lost the connection to " + where);
                return;
            }
            next = std::max(next, now) + plan.interval;  // a failing grab does not spin
            continue;
        }
        if (y0 >= y1 && !due) continue;  // nothing over this display changed
        due = false;
        // On the beat while frames keep coming; a full interval after a pause.
        next = std::max(next, now - plan.interval / 2) + plan.interval;

        Nv12Storage& out = buffer->storage();
        changes.add(++frame, y0, y1);
        int r0 = 0, r1 = 0;
        const bool laidOut = out.layout == layout;
        if (!laidOut) {
            rgbnv12::fillBlack(out.width, out.height, out.y(), out.stride, out.uv(), out.stride);
            out.layout = layout;
        }
        if (!laidOut || !changes.since(out.frame, frame, &r0, &r1)) {
            r0 = 0;
            r1 = grabber->height();
        }
        render(pixels, grabber->width(), grabber->height(), r0, r1, plan, scaler, out);
        out.frame = frame;

        auto sample = std::make_shared<X11Sample>(std::move(buffer));
        buffer.reset();
        std::lock_guard<std::mutex> l(core->outputsMutex);
        for (const Output& o : core->outputs) {
            if (o.type != kOutputTypeScreen) continue;
            o.queue->post([core, out = o.output, sample] {
                std::lock_guard<std::recursive_mutex> callout(core->calloutMutex);
                if (core->owner) out->didOutputSampleBuffer(*core->owner, *sample, kOutputTypeScreen);
            });
        }
    }
}

}  // namespace

// The capture.h functions of this binding; capture_linux.cpp chooses it.
namespace x11b {

void getShareableContent(bool, bool, ContentCompletion completion) {
    const std::string server = x11::defaultDisplayName();
    detached([server, completion = std::move(completion)] {
        std::string error;
        auto monitors = x11::listMonitors(server, &error);
        if (!monitors) {
            completion(nullptr, Error{error});
            return;
        }
        std::vector<std::shared_ptr<Display>> displays;
        for (const x11::Monitor& m : *monitors)
            displays.push_back(std::make_shared<X11Display>(server, m));
        completion(std::make_shared<X11Content>(std::move(displays)), std::nullopt);
    });
}

std::shared_ptr<ContentFilter> makeContentFilter(std::shared_ptr<Display> display) {
    return std::make_shared<X11Filter>(std::dynamic_pointer_cast<X11Display>(display));
}

std::shared_ptr<StreamConfiguration> makeStreamConfiguration() {
    return std::make_shared<X11Configuration>();
}

std::shared_ptr<Queue> makeSerialQueue(const std::string& label) {
    return std::make_shared<SerialQueue>(label);
}

std::shared_ptr<Stream> makeStream(std::shared_ptr<ContentFilter> filter,
                                   std::shared_ptr<StreamConfiguration> configuration,
                                   std::shared_ptr<StreamDelegate> delegate) {
    auto f = std::dynamic_pointer_cast<X11Filter>(filter);
    auto c = std::dynamic_pointer_cast<X11Configuration>(configuration);
    return std::make_shared<X11Stream>(f ? f->display : nullptr, c ? *c : X11Configuration{},
                                       std::move(delegate));
}

}  // namespace x11b
}  // namespace capture
