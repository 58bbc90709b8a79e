#include "capture_fake.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <set>

namespace {

constexpr auto kGuard = std::chrono::seconds(10);  // against hangs only

class FakeStream;

struct FakeState {
    std::mutex m;
    std::condition_variable changed;
    int displayCount = 1;
    std::map<std::string, std::string> errors;
    std::set<std::string> throwing, holding;
    std::map<std::string, std::deque<std::function<void()>>> held;
    std::vector<std::string> events;
    std::thread::id contentThread;
    int streamsMade = 0, live = 0;
    std::weak_ptr<FakeStream> newest;
};

FakeState& st() {
    static FakeState s;
    return s;
}

// Records the event (if any); throws or returns the call's scripted error.
std::optional<capture::Error> enter(const std::string& call, const std::string& event) {
    auto& s = st();
    std::lock_guard<std::mutex> g(s.m);
    if (!event.empty()) s.events.push_back(event);
    s.changed.notify_all();
    if (s.throwing.count(call)) throw std::bad_alloc();
    auto it = s.errors.find(call);
    if (it == s.errors.end()) return std::nullopt;
    return capture::Error{it->second};
}

// Runs `fire` now, or keeps it for releaseHeld when the call is held.
void complete(const std::string& call, std::function<void()> fire) {
    {
        std::lock_guard<std::mutex> g(st().m);
        if (st().holding.count(call)) {
            st().held[call].push_back(std::move(fire));
            st().changed.notify_all();
            return;
        }
    }
    fire();
}

template <class Pred>
bool waitUntil(Pred pred) {
    std::unique_lock<std::mutex> g(st().m);
    return st().changed.wait_for(g, kGuard, [&] { return pred(st()); });
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
    std::vector<std::shared_ptr<capture::Display>> displays() const override { return displays_; }

private:
    std::vector<std::shared_ptr<capture::Display>> displays_;
};

// Set on the start task's thread before the stream exists; read by the test
// after the start has returned.
class FakeConfiguration final : public capture::StreamConfiguration {
public:
    void setWidth(std::int64_t v) override { values.width = v; }
    void setHeight(std::int64_t v) override { values.height = v; }
    void setMinimumFrameInterval(capture::Time t) override {
        values.intervalValue = t.value;
        values.intervalTimescale = t.timescale;
    }
    void setPixelFormat(std::uint32_t f) override { values.pixelFormat = f; }
    void setShowsCursor(bool b) override { values.showsCursor = b; }
    void setQueueDepth(std::int64_t d) override { values.queueDepth = d; }
    void setCapturesAudio(bool b) override { values.capturesAudio = b; }
    fake::Config values;
};

class FakeStream final : public capture::Stream, public std::enable_shared_from_this<FakeStream> {
public:
    FakeStream(int n, std::shared_ptr<capture::StreamDelegate> delegate,
               std::shared_ptr<FakeConfiguration> configuration)
        : name("stream" + std::to_string(n)), config(std::move(configuration)),
          delegate_(std::move(delegate)) {}

    ~FakeStream() override {
        enter("", "~Stream(" + name + ")");
        std::lock_guard<std::mutex> g(st().m);
        --st().live;
        st().changed.notify_all();
        // The delegate and outputs go after this body: the sink may close
        // its descriptor only now.
    }

    bool addStreamOutput(std::shared_ptr<capture::StreamOutput> output, capture::OutputType type,
                         std::shared_ptr<capture::Queue>, capture::Error* error) override {
        if (auto failure = enter("addStreamOutput", "addStreamOutput(" + name + ")")) {
            if (error) *error = *failure;
            return false;
        }
        std::lock_guard<std::mutex> g(m_);
        outputs_.emplace_back(std::move(output), type);
        return true;
    }

    void startCapture(capture::Completion completion) override {
        auto failure = enter("startCapture", "startCapture(" + name + ")");
        complete("startCapture", [c = std::move(completion), failure] { c(failure); });
    }

    void stopCapture(capture::Completion completion) override {
        auto failure = enter("stopCapture", "stopCapture(" + name + ")");
        // Marked stopped as the completion runs: nothing is delivered after.
        complete("stopCapture", [c = std::move(completion), failure, self = weak_from_this()] {
            if (auto s = self.lock()) {
                std::lock_guard<std::mutex> g(s->m_);
                s->stopped_ = true;
            }
            c(failure);
        });
    }

    bool deliver(const capture::SampleBuffer& sample, capture::OutputType type) {
        std::vector<std::shared_ptr<capture::StreamOutput>> targets;
        {
            std::lock_guard<std::mutex> g(m_);
            if (stopped_) return false;
            for (auto& [output, t] : outputs_)
                if (t == type) targets.push_back(output);
        }
        for (auto& t : targets) t->didOutputSampleBuffer(*this, sample, type);
        return true;
    }

    bool reportStop(const std::string& description) {
        if (!delegate_) return false;
        delegate_->didStopWithError(*this, capture::Error{description});
        return true;
    }

    const std::string name;
    const std::shared_ptr<FakeConfiguration> config;

private:
    std::mutex m_;
    const std::shared_ptr<capture::StreamDelegate> delegate_;
    std::vector<std::pair<std::shared_ptr<capture::StreamOutput>, capture::OutputType>> outputs_;
    bool stopped_ = false;
};

std::shared_ptr<FakeStream> newestStream() {
    std::lock_guard<std::mutex> g(st().m);
    return st().newest.lock();
}

}  // namespace

namespace fake {

void reset() {
    std::map<std::string, std::deque<std::function<void()>>> dropped;  // destroyed unlocked
    std::lock_guard<std::mutex> g(st().m);
    dropped.swap(st().held);
    st().displayCount = 1;
    st().errors.clear();
    st().throwing.clear();
    st().holding.clear();
    st().events.clear();
    st().streamsMade = 0;
    st().newest.reset();
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
    st().throwing.insert(call);
}

void holdCompletions(const std::string& call) {
    std::lock_guard<std::mutex> g(st().m);
    st().holding.insert(call);
}

bool waitForHeld(const std::string& call) {
    return waitUntil([&](FakeState& s) { return !s.held[call].empty(); });
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

void stopHolding() {
    std::map<std::string, std::deque<std::function<void()>>> pending;
    {
        std::lock_guard<std::mutex> g(st().m);
        st().holding.clear();
        pending.swap(st().held);
    }
    for (auto& [call, q] : pending)
        for (auto& f : q) f();
}

std::vector<std::string> events() {
    std::lock_guard<std::mutex> g(st().m);
    return st().events;
}

bool waitForEvent(const std::string& event) {
    return waitUntil([&](FakeState& s) {
        return std::find(s.events.begin(), s.events.end(), event) != s.events.end();
    });
}

std::optional<Config> configOfNewestStream() {
    auto s = newestStream();
    if (!s || !s->config) return std::nullopt;
    return s->config->values;
}

std::thread::id contentThread() {
    std::lock_guard<std::mutex> g(st().m);
    return st().contentThread;
}

int liveStreams() {
    std::lock_guard<std::mutex> g(st().m);
    return st().live;
}

bool waitForNoStreams() {
    return waitUntil([](FakeState& s) { return s.live == 0; });
}

bool deliverSample(const capture::SampleBuffer& sample, capture::OutputType type) {
    auto s = newestStream();
    return s && s->deliver(sample, type);
}

bool deliverStop(const std::string& description) {
    auto s = newestStream();
    return s && s->reportStop(description);
}

PixelBuffer::PixelBuffer(std::size_t width, std::size_t height, std::uint32_t format,
                         std::size_t lumaStride, std::size_t chromaStride)
    : width_(width), height_(height), format_(format) {
    strides_[0] = lumaStride ? lumaStride : width;
    strides_[1] = chromaStride ? chromaStride : 2 * ((width + 1) / 2);
    planes_[0] = std::make_unique<testing_support::PageEndBuffer>(strides_[0] * height);
    planes_[1] = std::make_unique<testing_support::PageEndBuffer>(strides_[1] * ((height + 1) / 2));
}

const std::uint8_t* PixelBuffer::baseAddressOfPlane(std::size_t plane) const {
    if (withheld_ || plane > 1 || depth_ <= 0) return nullptr;
    return planes_[plane]->data();
}

}  // namespace fake

// --- capture.h ---

namespace capture {

void getShareableContent(bool, bool, ContentCompletion completion) {
    auto failure = enter("getShareableContent", "getShareableContent");
    std::shared_ptr<ShareableContent> content;
    {
        std::lock_guard<std::mutex> g(st().m);
        st().contentThread = std::this_thread::get_id();
        if (!failure) content = std::make_shared<FakeContent>(st().displayCount);
    }
    complete("getShareableContent", [c = std::move(completion), content, failure] {
        c(content, failure);
    });
}

std::shared_ptr<ContentFilter> makeContentFilter(std::shared_ptr<Display> display) {
    const auto* d = dynamic_cast<const FakeDisplay*>(display.get());
    enter("", "makeContentFilter(" + (d ? "display" + std::to_string(d->index) : "null") + ")");
    return std::make_shared<ContentFilter>();
}

std::shared_ptr<StreamConfiguration> makeStreamConfiguration() {
    enter("makeStreamConfiguration", "makeStreamConfiguration");
    return std::make_shared<FakeConfiguration>();
}

std::shared_ptr<Queue> makeSerialQueue(const std::string&) {
    enter("makeSerialQueue", "");
    return std::make_shared<Queue>();
}

std::shared_ptr<Stream> makeStream(std::shared_ptr<ContentFilter>,
                                   std::shared_ptr<StreamConfiguration> configuration,
                                   std::shared_ptr<StreamDelegate> delegate) {
    int n;
    {
        std::lock_guard<std::mutex> g(st().m);
        n = ++st().streamsMade;
    }
    enter("", "makeStream(stream" + std::to_string(n) + ")");
    auto s = std::make_shared<FakeStream>(
        n, std::move(delegate), std::dynamic_pointer_cast<FakeConfiguration>(configuration));
    std::lock_guard<std::mutex> g(st().m);
    ++st().live;
    st().newest = s;
    return s;
}

}  // namespace capture
