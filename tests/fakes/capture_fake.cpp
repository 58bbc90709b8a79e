#include "capture_fake.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <stdexcept>

#include <unistd.h>

namespace {

using namespace std::chrono_literals;
constexpr auto kGuard = 10s;  // against hangs only; no test depends on time

class FakeStream;

struct FakeState {
    std::mutex m;
    std::condition_variable changed;
    int displayCount = 1;
    std::map<std::string, std::string> errors;
    std::map<std::string, bool> throwing;
    std::map<std::string, bool> holding;
    std::map<std::string, std::deque<std::function<void()>>> held;
    std::vector<std::string> log;
    std::map<std::string, std::thread::id> threads;
    int configs = 0;
    int streamsMade = 0;
    int live = 0;
    std::weak_ptr<FakeStream> newest;
    std::weak_ptr<capture::Queue> lastQueue;
};

FakeState& st() {
    static FakeState s;
    return s;
}

// Logs the call; returns the scripted error of that call, if any.
std::optional<capture::Error> enter(const std::string& name, const std::string& args) {
    auto& s = st();
    std::lock_guard<std::mutex> g(s.m);
    s.log.push_back(name + "(" + args + ")");
    s.threads[name] = std::this_thread::get_id();
    s.changed.notify_all();
    if (s.throwing[name]) throw std::bad_alloc();
    auto it = s.errors.find(name);
    if (it == s.errors.end()) return std::nullopt;
    return capture::Error{it->second};
}

// Runs `fire` now, or keeps it for releaseHeld when the call is held.
void complete(const std::string& name, std::function<void()> fire) {
    auto& s = st();
    {
        std::lock_guard<std::mutex> g(s.m);
        if (s.holding[name]) {
            s.held[name].push_back(std::move(fire));
            s.changed.notify_all();
            return;
        }
    }
    fire();
}

std::string fourcc(std::uint32_t v) {
    std::string t;
    for (int shift = 24; shift >= 0; shift -= 8) t.push_back(char((v >> shift) & 0xFF));
    return t;
}

const char* yesNo(bool b) { return b ? "true" : "false"; }

// The most-derived object, to tell whether two interfaces are one object.
template <class T>
const void* identity(const std::shared_ptr<T>& p) {
    return p ? dynamic_cast<const void*>(p.get()) : nullptr;
}

class FakeDisplay final : public capture::Display {
public:
    explicit FakeDisplay(int i) : index(i) {}
    const int index;
};

class FakeContent final : public capture::ShareableContent {
public:
    explicit FakeContent(int count) {
        for (int i = 0; i < count; ++i) displays_.push_back(std::make_shared<FakeDisplay>(i));
    }
    std::vector<std::shared_ptr<capture::Display>> displays() const override {
        enter("displays", "");
        return displays_;
    }

private:
    std::vector<std::shared_ptr<capture::Display>> displays_;
};

class FakeFilter final : public capture::ContentFilter {
public:
    explicit FakeFilter(std::string n) : name(std::move(n)) {}
    const std::string name;
};

class FakeConfiguration final : public capture::StreamConfiguration {
public:
    explicit FakeConfiguration(int n) : name("config" + std::to_string(n)) {}
    void setWidth(std::int64_t v) override { enter("setWidth", std::to_string(v)); }
    void setHeight(std::int64_t v) override { enter("setHeight", std::to_string(v)); }
    void setMinimumFrameInterval(capture::Time t) override {
        enter("setMinimumFrameInterval",
              std::to_string(t.value) + "/" + std::to_string(t.timescale));
    }
    void setPixelFormat(std::uint32_t f) override { enter("setPixelFormat", fourcc(f)); }
    void setShowsCursor(bool b) override { enter("setShowsCursor", yesNo(b)); }
    void setQueueDepth(std::int64_t d) override { enter("setQueueDepth", std::to_string(d)); }
    void setCapturesAudio(bool b) override { enter("setCapturesAudio", yesNo(b)); }
    const std::string name;
};

class FakeQueue final : public capture::Queue {
public:
    explicit FakeQueue(std::string l) : label(std::move(l)) {}
    const std::string label;
};

class FakeStream final : public capture::Stream, public std::enable_shared_from_this<FakeStream> {
public:
    FakeStream(int n, std::shared_ptr<capture::StreamDelegate> delegate)
        : name("stream" + std::to_string(n)), delegate_(std::move(delegate)) {}

    ~FakeStream() override {
        enter("~Stream", name);
        auto& s = st();
        std::lock_guard<std::mutex> g(s.m);
        --s.live;
        s.changed.notify_all();
        // delegate_ and outputs_ go after this body: the sink may close its
        // descriptor now.
    }

    bool addStreamOutput(std::shared_ptr<capture::StreamOutput> output, capture::OutputType type,
                         std::shared_ptr<capture::Queue> queue, capture::Error* error) override {
        const auto* q = dynamic_cast<const FakeQueue*>(queue.get());
        const char* who = output == nullptr                               ? "null"
                          : identity(output) == identity(delegate_) ? "delegate"
                                                                         : "other";
        auto failure = enter("addStreamOutput",
                             name + "," + (type == capture::kOutputTypeScreen ? "screen" : "audio") +
                                 "," + (q ? q->label : "null") + "," + who);
        {
            std::lock_guard<std::mutex> g(st().m);
            st().lastQueue = queue;
        }
        if (failure) {
            if (error) *error = *failure;
            return false;
        }
        std::lock_guard<std::mutex> g(m_);
        outputs_.push_back({std::move(output), type, std::move(queue)});
        return true;
    }

    void startCapture(capture::Completion completion) override {
        auto failure = enter("startCapture", name);
        complete("startCapture", [c = std::move(completion), failure] { c(failure); });
    }

    void stopCapture(capture::Completion completion) override {
        auto failure = enter("stopCapture", name);
        // The stream is marked stopped as the completion runs; nothing is
        // delivered after that.
        std::weak_ptr<FakeStream> self = weak_from_this();
        complete("stopCapture", [c = std::move(completion), failure, self] {
            if (auto s = self.lock()) s->markStopped();
            c(failure);
        });
    }

    bool deliver(const capture::SampleBuffer& sample, capture::OutputType type) {
        std::vector<std::shared_ptr<capture::StreamOutput>> targets;
        {
            std::lock_guard<std::mutex> g(m_);
            if (stopped_) return false;
            for (auto& o : outputs_)
                if (o.type == type) targets.push_back(o.output);
        }
        for (auto& t : targets) t->didOutputSampleBuffer(*this, sample, type);
        return true;
    }

    bool reportStop(const std::string& description) {
        if (!delegate_) return false;
        delegate_->didStopWithError(*this, capture::Error{description});
        return true;
    }

    void markStopped() {
        std::lock_guard<std::mutex> g(m_);
        stopped_ = true;
    }

    const std::string name;

private:
    struct Output {
        std::shared_ptr<capture::StreamOutput> output;
        capture::OutputType type;
        std::shared_ptr<capture::Queue> queue;
    };
    std::mutex m_;
    const std::shared_ptr<capture::StreamDelegate> delegate_;
    std::vector<Output> outputs_;
    bool stopped_ = false;
};

std::shared_ptr<FakeStream> newestStream() {
    std::lock_guard<std::mutex> g(st().m);
    return st().newest.lock();
}

template <class Pred>
bool waitUntil(Pred pred) {
    auto& s = st();
    std::unique_lock<std::mutex> g(s.m);
    return s.changed.wait_for(g, kGuard, [&] { return pred(s); });
}

}  // namespace

namespace fake {

void reset() {
    auto& s = st();
    std::deque<std::function<void()>> dropped;  // destroyed outside the lock
    std::lock_guard<std::mutex> g(s.m);
    for (auto& [name, q] : s.held)
        for (auto& f : q) dropped.push_back(std::move(f));
    s.displayCount = 1;
    s.errors.clear();
    s.throwing.clear();
    s.holding.clear();
    s.held.clear();
    s.log.clear();
    s.threads.clear();
    s.configs = 0;
    s.streamsMade = 0;
    s.newest.reset();
    s.lastQueue.reset();
}

void setDisplayCount(int count) {
    std::lock_guard<std::mutex> g(st().m);
    st().displayCount = count;
}

void setError(const std::string& call, const std::string& description) {
    std::lock_guard<std::mutex> g(st().m);
    st().errors[call] = description;
}

void throwBadAlloc(const std::string& call) {
    std::lock_guard<std::mutex> g(st().m);
    st().throwing[call] = true;
}

void holdCompletions(const std::string& call) {
    std::lock_guard<std::mutex> g(st().m);
    st().holding[call] = true;
}

void stopHolding() {
    std::deque<std::function<void()>> pending;
    {
        std::lock_guard<std::mutex> g(st().m);
        st().holding.clear();
        for (auto& [name, q] : st().held)
            for (auto& f : q) pending.push_back(std::move(f));
        st().held.clear();
    }
    for (auto& f : pending) f();
}

bool waitForHeld(const std::string& call, std::size_t count) {
    return waitUntil([&](FakeState& s) { return s.held[call].size() >= count; });
}

bool releaseHeld(const std::string& call) {
    std::function<void()> fire;
    {
        std::lock_guard<std::mutex> g(st().m);
        auto& q = st().held[call];
        if (q.empty()) return false;
        fire = std::move(q.front());
        q.pop_front();
    }
    fire();
    return true;
}

std::vector<std::string> log() {
    std::lock_guard<std::mutex> g(st().m);
    return st().log;
}

bool waitForLog(const std::string& line, std::size_t count) {
    return waitUntil([&](FakeState& s) {
        std::size_t n = 0;
        for (const auto& l : s.log) n += l == line;
        return n >= count;
    });
}

std::thread::id threadOf(const std::string& call) {
    std::lock_guard<std::mutex> g(st().m);
    return st().threads[call];
}

int liveStreams() {
    std::lock_guard<std::mutex> g(st().m);
    return st().live;
}

bool waitForNoStreams() {
    return waitUntil([](FakeState& s) { return s.live == 0; });
}

std::weak_ptr<capture::Queue> lastQueue() {
    std::lock_guard<std::mutex> g(st().m);
    return st().lastQueue;
}

bool deliverSample(const capture::SampleBuffer& sample, capture::OutputType type) {
    auto s = newestStream();
    return s && s->deliver(sample, type);
}

bool deliverStop(const std::string& description) {
    auto s = newestStream();
    return s && s->reportStop(description);
}

// --- PixelBuffer ---

struct PixelBuffer::Calls {
    std::mutex m;
    std::vector<std::string> list;
    int depth = 0;
};

PixelBuffer::PixelBuffer(std::size_t width, std::size_t height, std::uint32_t format,
                         std::size_t lumaStride, std::size_t chromaStride)
    : width_(width), height_(height), format_(format), calls_(std::make_unique<Calls>()) {
    const std::size_t cw = (width + 1) / 2;
    const std::size_t ch = (height + 1) / 2;
    strides_[0] = lumaStride ? lumaStride : width;
    strides_[1] = chromaStride ? chromaStride : 2 * cw;
    // Each plane's last byte is the last before an inaccessible page.
    planes_[0] = std::make_unique<testing_support::PageEndBuffer>(strides_[0] * height);
    planes_[1] = std::make_unique<testing_support::PageEndBuffer>(strides_[1] * ch);
}

PixelBuffer::~PixelBuffer() = default;

void PixelBuffer::note(std::string call) const {
    std::lock_guard<std::mutex> g(calls_->m);
    calls_->list.push_back(std::move(call));
}

std::vector<std::string> PixelBuffer::calls() const {
    std::lock_guard<std::mutex> g(calls_->m);
    return calls_->list;
}

int PixelBuffer::lockDepth() const {
    std::lock_guard<std::mutex> g(calls_->m);
    return calls_->depth;
}

std::int32_t PixelBuffer::lockBaseAddress(std::uint64_t flags) {
    note("lock(" + std::to_string(flags) + ")");
    std::lock_guard<std::mutex> g(calls_->m);
    ++calls_->depth;
    return 0;
}

std::int32_t PixelBuffer::unlockBaseAddress(std::uint64_t flags) {
    note("unlock(" + std::to_string(flags) + ")");
    std::lock_guard<std::mutex> g(calls_->m);
    --calls_->depth;
    return 0;
}

std::size_t PixelBuffer::width() const {
    note("width()");
    return width_;
}

std::size_t PixelBuffer::height() const {
    note("height()");
    return height_;
}

std::uint32_t PixelBuffer::pixelFormatType() const {
    note("pixelFormatType()");
    return format_;
}

const std::uint8_t* PixelBuffer::baseAddressOfPlane(std::size_t plane) const {
    note("baseAddressOfPlane(" + std::to_string(plane) + ")");
    if (withheld_ || plane > 1) return nullptr;
    return planes_[plane]->data();
}

std::size_t PixelBuffer::bytesPerRowOfPlane(std::size_t plane) const {
    note("bytesPerRowOfPlane(" + std::to_string(plane) + ")");
    return plane > 1 ? 0 : strides_[plane];
}

}  // namespace fake

// --- capture.h ---

namespace capture {

void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                         ContentCompletion completion) {
    auto failure = enter("getShareableContent", std::string(yesNo(excludeDesktopWindows)) + "," +
                                                    yesNo(onScreenWindowsOnly));
    std::shared_ptr<ShareableContent> content;
    if (!failure) {
        int count;
        {
            std::lock_guard<std::mutex> g(st().m);
            count = st().displayCount;
        }
        content = std::make_shared<FakeContent>(count);
    }
    complete("getShareableContent", [c = std::move(completion), content, failure] {
        c(content, failure);
    });
}

std::shared_ptr<ContentFilter> makeContentFilter(std::shared_ptr<Display> display) {
    const auto* d = dynamic_cast<const FakeDisplay*>(display.get());
    const std::string name = d ? "display" + std::to_string(d->index) : "null";
    enter("makeContentFilter", name);
    return std::make_shared<FakeFilter>(name);
}

std::shared_ptr<StreamConfiguration> makeStreamConfiguration() {
    int n;
    {
        std::lock_guard<std::mutex> g(st().m);
        n = ++st().configs;
    }
    auto c = std::make_shared<FakeConfiguration>(n);
    enter("makeStreamConfiguration", c->name);
    return c;
}

std::shared_ptr<Queue> makeSerialQueue(const std::string& label) {
    enter("makeSerialQueue", label);
    return std::make_shared<FakeQueue>(label);
}

std::shared_ptr<Stream> makeStream(std::shared_ptr<ContentFilter> filter,
                                   std::shared_ptr<StreamConfiguration> configuration,
                                   std::shared_ptr<StreamDelegate> delegate) {
    const auto* f = dynamic_cast<const FakeFilter*>(filter.get());
    const auto* c = dynamic_cast<const FakeConfiguration*>(configuration.get());
    int n;
    {
        std::lock_guard<std::mutex> g(st().m);
        n = ++st().streamsMade;
    }
    enter("makeStream", "stream" + std::to_string(n) + "," + (f ? f->name : "null") + "," +
                            (c ? c->name : "null") + "," + (delegate ? "delegate" : "no delegate"));
    auto s = std::make_shared<FakeStream>(n, std::move(delegate));
    {
        std::lock_guard<std::mutex> g(st().m);
        ++st().live;
        st().newest = s;
    }
    return s;
}

}  // namespace capture
