// The X11 binding of capture.h against a private Xvfb, where the library's
// bytes cannot show it: the pixel-buffer pool under held buffers, the queue
// samples come on, and how stop and release end a running stream. What a
// host sees is tested through the library in tests/process/test_screen_x11.py.
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kGuard = 20s;  // against hangs only

// Which pool buffer a sample carried, and on which thread it came.
struct Frame {
    const void* planeY;
    std::string thread;
};

class Recorder : public capture::StreamOutput {
public:
    void didOutputSampleBuffer(capture::Stream&, const capture::SampleBuffer& sample,
                               capture::OutputType) override {
        inside = true;
        auto buffer = sample.imageBuffer();
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        buffer->lockBaseAddress(capture::kLockReadOnly);
        Frame f{buffer->baseAddressOfPlane(0), name};
        buffer->unlockBaseAddress(capture::kLockReadOnly);
        if (slow) std::this_thread::sleep_for(30ms);  // widens the window a late sample would hit
        std::lock_guard<std::mutex> lock(m);
        if (hold) held.push_back(buffer);
        frames.push_back(std::move(f));
        inside = false;
        cv.notify_all();
    }
    bool waitFor(std::size_t n) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, kGuard, [&] { return frames.size() >= n; });
    }
    std::size_t count() {
        std::lock_guard<std::mutex> lock(m);
        return frames.size();
    }

    std::mutex m;
    std::condition_variable cv;
    std::vector<Frame> frames;
    std::vector<std::shared_ptr<capture::PixelBuffer>> held;
    bool hold = false, slow = false;
    std::atomic<bool> inside{false};
};

struct NoErrors : capture::StreamDelegate {
    void didStopWithError(capture::Stream&, const capture::Error& e) override {
        ADD_FAILURE() << e.localizedDescription;
    }
};

// Waits for a completion; returns its error, or a marker when none came.
std::optional<capture::Error> await(const std::function<void(capture::Completion)>& call) {
    auto p = std::make_shared<std::promise<std::optional<capture::Error>>>();
    auto f = p->get_future();
    call([p](std::optional<capture::Error> e) { p->set_value(std::move(e)); });
    if (f.wait_for(kGuard) != std::future_status::ready) return capture::Error{"(no completion)"};
    return f.get();
}

class CaptureX11 : public ::testing::Test {
protected:
    // A private Xvfb (scripts/xvfb-server.sh), the test's DISPLAY.
    void SetUp() override {
        if (FILE* p = popen("'" MIRVO_XVFB_SCRIPT "' start '" MIRVO_PAINTER "'", "r")) {
            char line[64] = {};
            if (std::fgets(line, sizeof line, p)) display = std::string(line, strcspn(line, "\n"));
            if (pclose(p) != 0) display.clear();
        }
        ASSERT_FALSE(display.empty()) << "Xvfb did not start";
        setenv("DISPLAY", display.c_str(), 1);
        const char* tmp = std::getenv("TMPDIR");
        std::ifstream(std::string(tmp ? tmp : "/tmp") + "/mirvo-xvfb" + display + ".pid") >> pid;
    }
    void TearDown() override {
        stream.reset();
        if (!display.empty())
            std::system(("'" MIRVO_XVFB_SCRIPT "' stop '" + display + "'").c_str());
    }

    void start(std::int64_t width, std::int64_t height, std::int32_t fps) {
        auto content = std::make_shared<std::promise<std::shared_ptr<capture::Display>>>();
        capture::getShareableContent(false, true, [content](auto c, auto) {
            content->set_value(c ? c->displays().at(0) : nullptr);
        });
        auto shown = content->get_future().get();
        ASSERT_TRUE(shown);
        auto config = capture::makeStreamConfiguration();
        config->setWidth(width);
        config->setHeight(height);
        config->setMinimumFrameInterval({1, fps});
        config->setPixelFormat(capture::kPixelFormat420v);
        config->setQueueDepth(3);
        stream = capture::makeStream(capture::makeContentFilter(shown), config, delegate);
        capture::Error error;
        ASSERT_TRUE(stream->addStreamOutput(recorder, capture::kOutputTypeScreen,
                                            capture::makeSerialQueue("mirvo.sck.video"), &error))
            << error.localizedDescription;
        ASSERT_FALSE(await([&](capture::Completion done) { stream->startCapture(done); }));
    }

    std::string display;
    pid_t pid = 0;
    std::shared_ptr<capture::Stream> stream;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<capture::StreamDelegate> delegate = std::make_shared<NoErrors>();
};

TEST_F(CaptureX11, HeldBuffersSkipFramesAndReturnToThePool) {
    recorder->hold = true;
    start(1280, 720, 60);
    ASSERT_TRUE(recorder->waitFor(3));
    std::this_thread::sleep_for(300ms);  // about 18 frame intervals with every buffer held
    std::set<const void*> pool;
    {
        std::lock_guard<std::mutex> lock(recorder->m);
        EXPECT_EQ(recorder->frames.size(), 3u);
        for (const Frame& f : recorder->frames) pool.insert(f.planeY);
        EXPECT_EQ(recorder->frames[0].thread, "mirvo.sck.video");
        recorder->held.clear();
        recorder->hold = false;
    }
    EXPECT_EQ(pool.size(), 3u);
    ASSERT_TRUE(recorder->waitFor(6));
    std::lock_guard<std::mutex> lock(recorder->m);
    for (std::size_t i = 3; i < recorder->frames.size(); ++i)
        EXPECT_EQ(pool.count(recorder->frames[i].planeY), 1u) << "frame " << i;
}

// How a running stream ends: stopped (the completion comes after the last
// sample), released (its references go with it), released while its server
// is stopped and a request waits for a reply. Each returns within a guard,
// with no sample under way and none after.
enum class Ending { stop, release, releaseWithTheServerStopped };
const char* const kEndingNames[] = {"Stop", "Release", "ReleaseServerStopped"};

class CaptureX11Ending : public CaptureX11, public ::testing::WithParamInterface<Ending> {};

TEST_P(CaptureX11Ending, NoSampleIsUnderWayOrComesAfter) {
    recorder->slow = GetParam() != Ending::releaseWithTheServerStopped;
    start(1280, 720, 60);
    ASSERT_TRUE(recorder->waitFor(2));
    if (GetParam() == Ending::releaseWithTheServerStopped) {
        ASSERT_GT(pid, 0);
        ASSERT_EQ(::kill(pid, SIGSTOP), 0);
        std::this_thread::sleep_for(200ms);  // the capture thread now waits for a reply
    }
    std::weak_ptr<capture::StreamDelegate> weakDelegate = delegate;
    delegate.reset();
    bool inside = true;
    auto ended = std::async(std::launch::async, [&] {
        if (GetParam() != Ending::stop) return stream.reset();
        EXPECT_FALSE(await([&](capture::Completion done) {
            stream->stopCapture([&, done](std::optional<capture::Error> e) {
                inside = recorder->inside;
                done(std::move(e));
            });
        }));
    });
    const bool prompt = ended.wait_for(3s) == std::future_status::ready;
    if (pid > 0) ::kill(pid, SIGCONT);
    ASSERT_TRUE(prompt);
    const std::size_t atEnd = recorder->count();
    EXPECT_FALSE(GetParam() == Ending::stop ? inside : recorder->inside.load());
    if (GetParam() == Ending::release) {
        EXPECT_TRUE(weakDelegate.expired());
        EXPECT_EQ(recorder.use_count(), 1);
    }
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(recorder->count(), atEnd);
}

INSTANTIATE_TEST_SUITE_P(Ways, CaptureX11Ending, ::testing::Values(
    Ending::stop, Ending::release, Ending::releaseWithTheServerStopped),
    [](const auto& i) { return std::string(kEndingNames[static_cast<int>(i.param)]); });

}  // namespace
