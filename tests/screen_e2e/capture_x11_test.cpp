// The Linux binding of capture.h against a real Xvfb: content, configuration,
// frames, the pixel-buffer pool, stop, release and a server that goes away.
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"
#include "xvfb_server.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kGuard = 20s;  // against hangs only

struct Pixel {
    int y, cb, cr;
    bool operator==(const Pixel& o) const { return y == o.y && cb == o.cb && cr == o.cr; }
};
std::ostream& operator<<(std::ostream& os, const Pixel& p) {
    return os << "{Y " << p.y << ", Cb " << p.cb << ", Cr " << p.cr << "}";
}
// BT.709 video range of the painted quadrants and of the bars.
constexpr Pixel kRed{63, 102, 240}, kGreen{173, 42, 26}, kBlue{32, 240, 118},
    kWhite{235, 128, 128}, kBlack{16, 128, 128};

// A copy of one delivered frame.
struct Frame {
    std::size_t width = 0, height = 0;
    std::uint32_t format = 0;
    std::size_t strideY = 0, strideUV = 0;
    std::vector<std::uint8_t> y, uv;
    const std::uint8_t* planeY = nullptr;  // identity of the pool buffer
    std::string thread;
    Pixel at(std::size_t x, std::size_t row) const {
        const std::size_t c = (row / 2) * strideUV + (x / 2) * 2;
        return {y[row * strideY + x], uv[c], uv[c + 1]};
    }
};

class Recorder : public capture::StreamOutput {
public:
    void didOutputSampleBuffer(capture::Stream&, const capture::SampleBuffer& sample,
                               capture::OutputType type) override {
        inside = true;
        auto buffer = sample.imageBuffer();
        Frame f;
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        f.thread = name;
        if (buffer && type == capture::kOutputTypeScreen) {
            buffer->lockBaseAddress(capture::kLockReadOnly);
            f.width = buffer->width();
            f.height = buffer->height();
            f.format = buffer->pixelFormatType();
            f.strideY = buffer->bytesPerRowOfPlane(0);
            f.strideUV = buffer->bytesPerRowOfPlane(1);
            f.planeY = buffer->baseAddressOfPlane(0);
            f.y.assign(f.planeY, f.planeY + f.strideY * f.height);
            const std::uint8_t* uv = buffer->baseAddressOfPlane(1);
            f.uv.assign(uv, uv + f.strideUV * ((f.height + 1) / 2));
            buffer->unlockBaseAddress(capture::kLockReadOnly);
        }
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
    Frame last() {
        std::lock_guard<std::mutex> lock(m);
        return frames.back();
    }

    std::mutex m;
    std::condition_variable cv;
    std::vector<Frame> frames;
    std::vector<std::shared_ptr<capture::PixelBuffer>> held;
    bool hold = false;
    bool slow = false;
    std::atomic<bool> inside{false};
};

class StopLog : public capture::StreamDelegate {
public:
    void didStopWithError(capture::Stream&, const capture::Error& e) override {
        std::lock_guard<std::mutex> lock(m);
        errors.push_back(e.localizedDescription);
        cv.notify_all();
    }
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> errors;
};

struct ContentResult {
    std::shared_ptr<capture::ShareableContent> content;
    std::optional<capture::Error> error;
};

ContentResult content() {
    auto p = std::make_shared<std::promise<ContentResult>>();
    auto f = p->get_future();
    capture::getShareableContent(false, true, [p](auto c, auto e) {
        p->set_value({std::move(c), std::move(e)});
    });
    if (f.wait_for(kGuard) != std::future_status::ready) {
        ADD_FAILURE() << "no content completion";
        return {};
    }
    return f.get();
}

// Waits for a completion; returns its error, or a marker when none came.
std::optional<capture::Error> await(const std::function<void(capture::Completion)>& call) {
    auto p = std::make_shared<std::promise<std::optional<capture::Error>>>();
    auto f = p->get_future();
    call([p](std::optional<capture::Error> e) { p->set_value(std::move(e)); });
    if (f.wait_for(kGuard) != std::future_status::ready)
        return capture::Error{"(no completion)"};
    return f.get();
}

struct Settings {
    std::int64_t width = 1280, height = 720;
    std::int32_t fps = 30;
    bool cursor = true;
    std::size_t display = 0;
};

class CaptureX11 : public ::testing::Test {
protected:
    explicit CaptureX11(const std::string& xvfbArgs = "") : server(xvfbArgs) {}

    void SetUp() override {
        ASSERT_FALSE(server.display().empty()) << "Xvfb did not start";
        setenv("DISPLAY", server.display().c_str(), 1);
    }

    // A started stream of the given display with the library's settings.
    std::shared_ptr<capture::Stream> start(const Settings& s) {
        ContentResult c = content();
        if (!c.content || c.error || c.content->displays().size() <= s.display) {
            ADD_FAILURE() << "no display " << s.display;
            return nullptr;
        }
        auto config = capture::makeStreamConfiguration();
        config->setWidth(s.width);
        config->setHeight(s.height);
        config->setMinimumFrameInterval({1, s.fps});
        config->setPixelFormat(capture::kPixelFormat420v);
        config->setShowsCursor(s.cursor);
        config->setQueueDepth(3);
        config->setCapturesAudio(false);
        auto stream = capture::makeStream(
            capture::makeContentFilter(c.content->displays()[s.display]), config, delegate);
        capture::Error error;
        if (!stream->addStreamOutput(recorder, capture::kOutputTypeScreen,
                                     capture::makeSerialQueue("mirvo.sck.video"), &error)) {
            ADD_FAILURE() << error.localizedDescription;
            return nullptr;
        }
        auto started = await([&](capture::Completion done) { stream->startCapture(done); });
        if (started) {
            ADD_FAILURE() << started->localizedDescription;
            return nullptr;
        }
        return stream;
    }

    XvfbServer server;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<StopLog> delegate = std::make_shared<StopLog>();
};

TEST_F(CaptureX11, ContentListsTheServersMonitorsInItsOrder) {
    ContentResult c = content();
    ASSERT_TRUE(c.content);
    EXPECT_FALSE(c.error);
    EXPECT_EQ(c.content->displays().size(), 1u);

    // A monitor added over the right half: this server lists monitors it was
    // given before its automatic one (as xrandr --listmonitors shows), and
    // so must we.
    const std::string cmd = "DISPLAY=" + server.display() +
                            " xrandr --setmonitor right 960/254x1080/286+960+0 none";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    c = content();
    ASSERT_TRUE(c.content);
    ASSERT_EQ(c.content->displays().size(), 2u);

    recorder->hold = false;
    auto stream = start({.width = 0, .height = 0, .fps = 30, .cursor = false, .display = 0});
    ASSERT_TRUE(stream);
    ASSERT_TRUE(recorder->waitFor(1));
    const Frame f = recorder->last();
    EXPECT_EQ(f.width, 960u);
    EXPECT_EQ(f.height, 1080u);
    EXPECT_EQ(f.at(480, 270), kGreen);
    EXPECT_EQ(f.at(480, 810), kWhite);
    EXPECT_FALSE(await([&](capture::Completion d) { stream->stopCapture(d); }));
}

// A server without MIT-SHM: the plain GetImage path gives the same frames.
class CaptureX11WithoutShm : public CaptureX11 {
protected:
    CaptureX11WithoutShm() : CaptureX11("-extension MIT-SHM") {}
};

TEST_F(CaptureX11WithoutShm, FramesStillArriveWithTheirColours) {
    auto stream = start({});
    ASSERT_TRUE(stream);
    ASSERT_TRUE(recorder->waitFor(2));
    const Frame f = recorder->last();
    EXPECT_EQ(f.width, 1280u);
    EXPECT_EQ(f.at(320, 180), kRed);
    EXPECT_EQ(f.at(960, 180), kGreen);
    EXPECT_EQ(f.at(320, 540), kBlue);
    EXPECT_EQ(f.at(960, 540), kWhite);
    EXPECT_FALSE(await([&](capture::Completion d) { stream->stopCapture(d); }));
}

TEST(CaptureX11NoServer, ContentFailsNamingTheDisplay) {
    setenv("DISPLAY", ":unused", 1);
    ContentResult c = content();
    EXPECT_FALSE(c.content);
    ASSERT_TRUE(c.error);
    EXPECT_EQ(c.error->localizedDescription, "cannot open X display \":unused\"");
}

TEST_F(CaptureX11, FramesHaveTheConfiguredSizeFormatColoursAndQueue) {
    auto stream = start({});
    ASSERT_TRUE(stream);
    ASSERT_TRUE(recorder->waitFor(3));
    const Frame f = recorder->last();
    EXPECT_EQ(f.width, 1280u);
    EXPECT_EQ(f.height, 720u);
    EXPECT_EQ(f.format, capture::kPixelFormat420v);
    EXPECT_GE(f.strideY, 1280u);
    EXPECT_GE(f.strideUV, 1280u);
    EXPECT_EQ(f.thread, "mirvo.sck.video");
    // Same aspect: no bars; an area-averaged solid area keeps its exact colour.
    EXPECT_EQ(f.at(320, 180), kRed);
    EXPECT_EQ(f.at(960, 180), kGreen);
    EXPECT_EQ(f.at(320, 540), kBlue);
    EXPECT_EQ(f.at(960, 540), kWhite);
    EXPECT_EQ(f.at(0, 0), kRed);
    EXPECT_EQ(f.at(1279, 719), kWhite);
    EXPECT_FALSE(await([&](capture::Completion d) { stream->stopCapture(d); }));
}

TEST_F(CaptureX11, OtherAspectGetsBlackBarsTopAndBottom) {
    auto stream = start({.width = 1280, .height = 1024});
    ASSERT_TRUE(stream);
    ASSERT_TRUE(recorder->waitFor(1));
    const Frame f = recorder->last();
    ASSERT_EQ(f.height, 1024u);
    // 1920x1080 -> 1280x720 at rows 152..871.
    EXPECT_EQ(f.at(320, 0), kBlack);
    EXPECT_EQ(f.at(320, 151), kBlack);
    EXPECT_EQ(f.at(320, 152), kRed);
    EXPECT_EQ(f.at(960, 871), kWhite);
    EXPECT_EQ(f.at(960, 872), kBlack);
    EXPECT_EQ(f.at(1279, 1023), kBlack);
    EXPECT_FALSE(await([&](capture::Completion d) { stream->stopCapture(d); }));
}

TEST_F(CaptureX11, OddAndNonsensicalSizes) {
    auto stream = start({.width = 1279, .height = 719});
    ASSERT_TRUE(stream);
    ASSERT_TRUE(recorder->waitFor(1));
    Frame f = recorder->last();
    EXPECT_EQ(f.width, 1279u);
    EXPECT_EQ(f.height, 719u);
    // The picture is 1278x718 at 0,0: the odd last column and row are bars,
    // and so is the chroma pair and row that only they use.
    EXPECT_EQ(f.at(1277, 717), kWhite);
    EXPECT_EQ(f.at(1278, 718), kBlack);
    EXPECT_EQ(f.at(0, 0), kRed);
    EXPECT_FALSE(await([&](capture::Completion d) { stream->stopCapture(d); }));
    stream.reset();

    recorder = std::make_shared<Recorder>();
    stream = start({.width = 0, .height = -1, .fps = 0});
    ASSERT_TRUE(stream);
    ASSERT_TRUE(recorder->waitFor(1));
    f = recorder->last();
    EXPECT_EQ(f.width, 1920u);
    EXPECT_EQ(f.height, 1080u);
    EXPECT_EQ(f.at(1440, 810), kWhite);
    EXPECT_FALSE(await([&](capture::Completion d) { stream->stopCapture(d); }));
}

// Moves the pointer of the test's server to (x, y).
void warpPointer(const std::string& display, int x, int y) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    ASSERT_FALSE(xcb_connection_has_error(c));
    xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_warp_pointer(c, XCB_NONE, s->root, 0, 0, 0, 0, static_cast<std::int16_t>(x),
                     static_cast<std::int16_t>(y));
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    xcb_disconnect(c);
}

// Pixels of a 40x40 square whose top-left corner is at (x, y) that are not red.
int notRedAround(const Frame& f, int x, int y) {
    int n = 0;
    for (int row = y; row < y + 40; ++row)
        for (int col = x; col < x + 40; ++col)
            if (f.y[row * f.strideY + col] != kRed.y) ++n;
    return n;
}

TEST_F(CaptureX11, CursorIsDrawnOnlyWhenAskedFor) {
    warpPointer(server.display(), 480, 270);
    auto stream = start({.width = 0, .height = 0, .cursor = true});
    ASSERT_TRUE(stream);
    ASSERT_TRUE(recorder->waitFor(1));
    Frame f = recorder->last();
    EXPECT_GT(notRedAround(f, 460, 250), 20);  // the root cursor, hotspot at the pointer
    EXPECT_EQ(notRedAround(f, 100, 100), 0);
    EXPECT_FALSE(await([&](capture::Completion d) { stream->stopCapture(d); }));
    stream.reset();

    recorder = std::make_shared<Recorder>();
    stream = start({.width = 0, .height = 0, .cursor = false});
    ASSERT_TRUE(stream);
    ASSERT_TRUE(recorder->waitFor(1));
    f = recorder->last();
    EXPECT_EQ(notRedAround(f, 460, 250), 0);
    EXPECT_FALSE(await([&](capture::Completion d) { stream->stopCapture(d); }));
}

TEST_F(CaptureX11, HeldBuffersSkipFramesAndReturnToThePool) {
    recorder->hold = true;
    auto stream = start({.fps = 60});
    ASSERT_TRUE(stream);
    ASSERT_TRUE(recorder->waitFor(3));
    // About 18 frame intervals with every buffer held: nothing more arrives.
    std::this_thread::sleep_for(300ms);
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
    {
        std::lock_guard<std::mutex> lock(recorder->m);
        for (std::size_t i = 3; i < recorder->frames.size(); ++i)
            EXPECT_EQ(pool.count(recorder->frames[i].planeY), 1u) << "frame " << i;
    }
    EXPECT_FALSE(await([&](capture::Completion d) { stream->stopCapture(d); }));
}

TEST_F(CaptureX11, StopCompletesAfterTheLastSample) {
    recorder->slow = true;
    auto stream = start({.fps = 60});
    ASSERT_TRUE(stream);
    ASSERT_TRUE(recorder->waitFor(2));
    std::size_t atCompletion = 0;
    bool insideAtCompletion = true;
    auto error = await([&](capture::Completion done) {
        stream->stopCapture([&, done](std::optional<capture::Error> e) {
            insideAtCompletion = recorder->inside;
            atCompletion = recorder->count();
            done(std::move(e));
        });
    });
    EXPECT_FALSE(error);
    EXPECT_FALSE(insideAtCompletion);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(recorder->count(), atCompletion);
    EXPECT_TRUE(delegate->errors.empty());
}

TEST_F(CaptureX11, ReleasingARunningStreamEndsItAndItsReferences) {
    recorder->slow = true;
    auto stream = start({.fps = 60});
    ASSERT_TRUE(stream);
    ASSERT_TRUE(recorder->waitFor(2));
    std::weak_ptr<capture::StreamDelegate> weakDelegate = delegate;
    delegate.reset();
    stream.reset();
    const std::size_t atRelease = recorder->count();
    EXPECT_FALSE(recorder->inside);
    EXPECT_TRUE(weakDelegate.expired());
    EXPECT_EQ(recorder.use_count(), 1);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(recorder->count(), atRelease);
}

TEST_F(CaptureX11, ReleasingWhileTheServerIsStoppedReturnsPromptly) {
    auto stream = start({.fps = 60});
    ASSERT_TRUE(stream);
    ASSERT_TRUE(recorder->waitFor(1));
    const char* tmp = std::getenv("TMPDIR");
    pid_t pid = 0;  // the script keeps it in $TMPDIR/mirvo-xvfb:N.pid
    std::ifstream(std::string(tmp ? tmp : "/tmp") + "/mirvo-xvfb" + server.display() + ".pid") >>
        pid;
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    std::this_thread::sleep_for(200ms);  // the capture thread now waits for a reply
    auto released = std::async(std::launch::async, [&] { stream.reset(); });
    const bool prompt = released.wait_for(3s) == std::future_status::ready;
    ::kill(pid, SIGCONT);
    EXPECT_TRUE(prompt);
}

TEST_F(CaptureX11, ServerGoingAwayStopsTheStreamWithOneError) {
    auto stream = start({.fps = 60});
    ASSERT_TRUE(stream);
    ASSERT_TRUE(recorder->waitFor(1));
    const std::string display = server.display();
    server.stop();
    {
        std::unique_lock<std::mutex> lock(delegate->m);
        ASSERT_TRUE(delegate->cv.wait_for(lock, kGuard, [&] { return !delegate->errors.empty(); }));
    }
    std::this_thread::sleep_for(200ms);
    std::lock_guard<std::mutex> lock(delegate->m);
    ASSERT_EQ(delegate->errors.size(), 1u);
    EXPECT_EQ(delegate->errors[0], "lost the connection to X display \"" + display + "\"");
    EXPECT_FALSE(await([&](capture::Completion d) { stream->stopCapture(d); }));
}

TEST_F(CaptureX11, StartFailsReadablyWhenTheServerIsGone) {
    ContentResult c = content();
    ASSERT_TRUE(c.content);
    const std::string display = server.display();
    server.stop();
    // Hold the display number by binding its socket name without listening:
    // a server started meanwhile by a parallel test cannot take the number,
    // and a client's connection there is refused, as with no server at all.
    const std::string name = "/tmp/.X11-unix/X" + display.substr(display.find(':') + 1);
    const int holder = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());  // abstract namespace
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(holder, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        ::close(holder);
        GTEST_SKIP() << "display " << display << " was taken again before the test held it";
    }
    struct Release {
        int fd;
        ~Release() { ::close(fd); }
    } release{holder};
    auto config = capture::makeStreamConfiguration();
    config->setPixelFormat(capture::kPixelFormat420v);
    auto stream =
        capture::makeStream(capture::makeContentFilter(c.content->displays()[0]), config, delegate);
    auto error = await([&](capture::Completion d) { stream->startCapture(d); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription, "cannot open X display \"" + display + "\"");
}

}  // namespace
