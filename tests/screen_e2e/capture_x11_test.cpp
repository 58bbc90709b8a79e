// The X11 binding of capture.h against a private Xvfb, where the library's
// bytes cannot show it: the frames' geometry, format and queue for sizes the
// library never asks for, the pixel-buffer pool under held buffers, and how
// stop and release end a running stream. Everything a host sees is tested
// through the library in tests/process/test_screen_x11.py.
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kGuard = 20s;  // against hangs only

// Y, Cb, Cr of the painted quadrants and of the bars (BT.709 video range).
using Yuv = std::vector<int>;
const Yuv kRed{63, 102, 240}, kWhite{235, 128, 128}, kBlack{16, 128, 128};

struct Frame {
    std::size_t width = 0, height = 0, strideY = 0, strideUV = 0;
    std::uint32_t format = 0;
    std::vector<std::uint8_t> y, uv;
    const std::uint8_t* planeY = nullptr;  // which pool buffer
    std::string thread;
    Yuv at(std::size_t x, std::size_t row) const {
        const std::size_t c = (row / 2) * strideUV + (x / 2) * 2;
        return {y[row * strideY + x], uv[c], uv[c + 1]};
    }
};

class Recorder : public capture::StreamOutput {
public:
    void didOutputSampleBuffer(capture::Stream&, const capture::SampleBuffer& sample,
                               capture::OutputType) override {
        inside = true;
        auto buffer = sample.imageBuffer();
        Frame f;
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        f.thread = name;
        buffer->lockBaseAddress(capture::kLockReadOnly);
        f.width = buffer->width();
        f.height = buffer->height();
        f.format = buffer->pixelFormatType();
        f.strideY = buffer->bytesPerRowOfPlane(0);
        f.strideUV = buffer->bytesPerRowOfPlane(1);
        f.planeY = buffer->baseAddressOfPlane(0);
        f.y.assign(f.planeY, f.planeY + f.strideY * f.height);
        f.uv.assign(buffer->baseAddressOfPlane(1),
                    buffer->baseAddressOfPlane(1) + f.strideUV * ((f.height + 1) / 2));
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

// Asked size -> frame size, and colours at points of the 1920x1080 quadrants.
struct Geometry {
    std::string name;
    std::int64_t width, height;
    std::int32_t fps;
    std::size_t frameWidth, frameHeight;
    std::vector<std::pair<std::pair<int, int>, Yuv>> points;
};

class CaptureX11Geometry : public CaptureX11, public ::testing::WithParamInterface<Geometry> {};

TEST_P(CaptureX11Geometry, FramesHaveTheSizeFormatQueueAndPicture) {
    const Geometry& g = GetParam();
    start(g.width, g.height, g.fps);
    ASSERT_TRUE(recorder->waitFor(1));
    EXPECT_FALSE(await([&](capture::Completion d) { stream->stopCapture(d); }));
    const Frame f = recorder->frames.front();
    EXPECT_EQ(std::make_tuple(f.width, f.height, f.format, f.thread),
              std::make_tuple(g.frameWidth, g.frameHeight, capture::kPixelFormat420v,
                              std::string("mirvo.sck.video")));
    EXPECT_GE(std::min(f.strideY, f.strideUV), f.width);
    for (const auto& [p, colour] : g.points)
        EXPECT_EQ(f.at(p.first, p.second), colour) << p.first << "," << p.second;
}

INSTANTIATE_TEST_SUITE_P(Sizes, CaptureX11Geometry, ::testing::Values(
    Geometry{"Even", 1280, 720, 30, 1280, 720, {{{0, 0}, kRed}, {{1279, 719}, kWhite}}},
    // The picture is 1278x718: the odd last column and row are bars, and so
    // is the chroma pair and row that only they use.
    Geometry{"Odd", 1279, 719, 30, 1279, 719, {{{1277, 717}, kWhite}, {{1278, 718}, kBlack}}},
    // No size or rate: the display's own size.
    Geometry{"Native", 0, -1, 0, 1920, 1080, {{{1440, 810}, kWhite}}}),
    [](const auto& i) { return i.param.name; });

TEST_F(CaptureX11, HeldBuffersSkipFramesAndReturnToThePool) {
    recorder->hold = true;
    start(1280, 720, 60);
    ASSERT_TRUE(recorder->waitFor(3));
    std::this_thread::sleep_for(300ms);  // about 18 frame intervals with every buffer held
    std::set<const std::uint8_t*> pool;
    {
        std::lock_guard<std::mutex> lock(recorder->m);
        EXPECT_EQ(recorder->frames.size(), 3u);
        for (const Frame& f : recorder->frames) pool.insert(f.planeY);
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
    if (GetParam() == Ending::stop) EXPECT_FALSE(inside);
    if (GetParam() == Ending::release) {
        EXPECT_FALSE(recorder->inside);
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
