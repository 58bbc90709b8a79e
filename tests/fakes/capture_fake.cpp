#include "capture_fake.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <set>

namespace {

class FakeStream;

// What reset() clears.
struct Script {
    int displayCount = 1, streamsMade = 0;
    std::map<std::string, std::string> errors;
    std::set<std::string> throwing, holding;
    std::map<std::string, std::deque<std::function<void()>>> held;
    std::vector<std::string> events;
    std::thread::id contentThread;
    std::weak_ptr<FakeStream> newest;
};

std::mutex gMutex;
std::condition_variable gChanged;
Script gScript;
int gLive = 0;

template <class F>
auto locked(F f) {
    std::lock_guard<std::mutex> g(gMutex);
    gChanged.notify_all();
    return f(gScript);
}

template <class Pred>
bool waitUntil(Pred pred) {
    std::unique_lock<std::mutex> g(gMutex);
    return gChanged.wait_for(g, std::chrono::seconds(10), [&] { return pred(gScript); });
}

// Records the event, if any; then throws or returns the call's scripted error.
std::optional<capture::Error> enter(const std::string& call, const std::string& event) {
    return locked([&](Script& s) -> std::optional<capture::Error> {
        if (!event.empty()) s.events.push_back(event);
        if (s.throwing.count(call)) throw std::bad_alloc();
        auto it = s.errors.find(call);
        return it == s.errors.end() ? std::nullopt : std::optional(capture::Error{it->second});
    });
}

// Runs `fire` now, or keeps it for releaseHeld when the call is held.
void complete(const std::string& call, std::function<void()> fire) {
    if (locked([&](Script& s) { return s.holding.count(call) && (s.held[call].push_back(fire), true); }))
        return;
    fire();
}

struct FakeDisplay final : capture::Display {
    explicit FakeDisplay(int i) : index(i) {}
    const int index;
};

struct FakeContent final : capture::ShareableContent {
    std::vector<std::shared_ptr<capture::Display>> list;
    std::vector<std::shared_ptr<capture::Display>> displays() const override { return list; }
};

// Set on the start task's thread before the stream exists; read by the test
// after the start has returned.
struct FakeConfiguration final : capture::StreamConfiguration {
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
    FakeStream(std::string n, std::shared_ptr<capture::StreamDelegate> d,
               std::shared_ptr<FakeConfiguration> c)
        : name(std::move(n)), config(std::move(c)), delegate(std::move(d)) {}

    // The delegate and outputs go after this body: the sink may close its
    // descriptor only after the event.
    ~FakeStream() override { locked([&](Script& s) { s.events.push_back("~Stream(" + name + ")"), --gLive; }); }

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

    // Marked stopped as the completion runs: nothing is delivered after.
    void stopCapture(capture::Completion completion) override {
        auto failure = enter("stopCapture", "stopCapture(" + name + ")");
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

    const std::string name;
    const std::shared_ptr<FakeConfiguration> config;
    const std::shared_ptr<capture::StreamDelegate> delegate;

private:
    std::mutex m_;
    std::vector<std::pair<std::shared_ptr<capture::StreamOutput>, capture::OutputType>> outputs_;
    bool stopped_ = false;
};

std::shared_ptr<FakeStream> newest() {
    return locked([](Script& s) { return s.newest.lock(); });
}

}  // namespace

namespace fake {

void reset() {
    Script old;  // held completions are destroyed unlocked
    locked([&](Script& s) { std::swap(old, s); });
}

void setDisplayCount(int count) {
    locked([&](Script& s) { s.displayCount = count; });
}
void setError(const std::string& call, const std::string& description) {
    locked([&](Script& s) { s.errors[call] = description; });
}
void throwBadAlloc(const std::string& call) {
    locked([&](Script& s) { s.throwing.insert(call); });
}
void holdCompletions(const std::string& call) {
    locked([&](Script& s) { s.holding.insert(call); });
}
bool waitForHeld(const std::string& call) {
    return waitUntil([&](Script& s) { return !s.held[call].empty(); });
}

bool releaseHeld(const std::string& call) {
    std::function<void()> fire = locked([&](Script& s) {
        auto& q = s.held[call];
        std::function<void()> f;
        if (!q.empty()) f = std::move(q.front()), q.pop_front();
        return f;
    });
    if (fire) fire();
    return bool(fire);
}

std::vector<std::string> events() {
    return locked([](Script& s) { return s.events; });
}
std::optional<Config> configOfNewestStream() {
    auto s = newest();
    return s && s->config ? std::optional(s->config->values) : std::nullopt;
}
std::thread::id contentThread() {
    return locked([](Script& s) { return s.contentThread; });
}
bool waitForNoStreams() {
    return waitUntil([](Script&) { return gLive == 0; });
}

bool deliverSample(const capture::SampleBuffer& sample, capture::OutputType type) {
    auto s = newest();
    return s && s->deliver(sample, type);
}

bool deliverStop(const std::string& description) {
    auto s = newest();
    if (!s || !s->delegate) return false;
    s->delegate->didStopWithError(*s, capture::Error{description});
    return true;
}

PixelBuffer::PixelBuffer(std::size_t width, std::size_t height, std::uint32_t format,
                         std::size_t lumaStride, std::size_t chromaStride)
    : width_(width), height_(height), format_(format),
      strides_{lumaStride ? lumaStride : width, chromaStride ? chromaStride : (width + 1) / 2 * 2},
      planes_{std::make_unique<testing_support::PageEndBuffer>(strides_[0] * height),
              std::make_unique<testing_support::PageEndBuffer>(strides_[1] * ((height + 1) / 2))} {}

const std::uint8_t* PixelBuffer::baseAddressOfPlane(std::size_t plane) const {
    return withheld_ || plane > 1 || depth_ <= 0 ? nullptr : planes_[plane]->data();
}

}  // namespace fake

// --- capture.h ---

namespace capture {

void getShareableContent(bool, bool, ContentCompletion completion) {
    auto failure = enter("getShareableContent", "getShareableContent");
    auto content = std::make_shared<FakeContent>();
    locked([&](Script& s) {
        s.contentThread = std::this_thread::get_id();
        for (int i = 0; i < s.displayCount; ++i) content->list.push_back(std::make_shared<FakeDisplay>(i));
    });
    complete("getShareableContent", [c = std::move(completion), content, failure] {
        c(failure ? nullptr : content, failure);
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
    const std::string name = locked([](Script& s) { return "stream" + std::to_string(++s.streamsMade); });
    enter("", "makeStream(" + name + ")");
    auto stream = std::make_shared<FakeStream>(
        name, std::move(delegate), std::dynamic_pointer_cast<FakeConfiguration>(configuration));
    locked([&](Script& s) { s.newest = stream, ++gLive; });
    return stream;
}

}  // namespace capture
