// mirvo_sck_start and mirvo_sck_stop against the platform fake: the order
// in which a capture is made, started, stopped and released, the
// configuration it asks for, each failure's line and result, who owns the
// descriptor when, and what a start while one runs replaces.
#include "mirvo_sck.h"

#include <gtest/gtest.h>

#include <climits>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support.h"

using namespace support;
using Events = std::vector<std::string>;

namespace {

std::ptrdiff_t indexOf(const Events& e, const std::string& event) {
    const auto it = std::find(e.begin(), e.end(), event);
    return it == e.end() ? -1 : it - e.begin();
}

// The start's promised order; the filter and the configuration are
// independent of each other and may come either way round.
void expectMadeInOrder(const Events& e) {
    const auto at = [&](const char* event) { return indexOf(e, event); };
    const auto content = at("getShareableContent"), filter = at("makeContentFilter(display0)"),
               config = at("makeStreamConfiguration"), made = at("makeStream(stream1)"),
               added = at("addStreamOutput(stream1)");
    EXPECT_TRUE(content >= 0 && content < std::min(filter, config) && std::max(filter, config) < made &&
                made < added && added < at("startCapture(stream1)"))
        << testing::PrintToString(e);
}

class ScreenApi : public testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override {
        mirvo_sck_stop();
        EXPECT_TRUE(fake::waitForNoStreams());
    }
    StderrCapture err_;
};

class ScreenApiStart : public ScreenApi, public testing::WithParamInterface<std::tuple<int, int, int>> {};

}  // namespace

// The arguments reach the platform unvalidated; the start runs off the
// caller's thread and keeps the descriptor open.
TEST_P(ScreenApiStart, MakesAndConfiguresTheStreamOffTheCallersThread) {
    const auto [width, height, fps] = GetParam();
    fake::setDisplayCount(3);
    Pipe p;
    ASSERT_EQ(mirvo_sck_start(width, height, fps, p.giveWriteEnd()), 0);
    expectMadeInOrder(fake::events());
    const fake::Config want{.width = width, .height = height, .queueDepth = 3,
                            .intervalValue = 1, .intervalTimescale = fps,
                            .pixelFormat = capture::kPixelFormat420v, .showsCursor = true,
                            .capturesAudio = false};
    EXPECT_EQ(fake::configOfNewestStream(), want);
    EXPECT_NE(fake::contentThread(), std::this_thread::get_id());
    EXPECT_FALSE(writerGoneNow(p.r));
    EXPECT_EQ(err_.text(), "");
}

INSTANTIATE_TEST_SUITE_P(Arguments, ScreenApiStart,
                         testing::Values(std::tuple{1280, 720, 30}, std::tuple{0, -5, -1},
                                         std::tuple{INT32_MIN, INT32_MAX, 0}));

// The start returns once the platform's start has answered; frames then
// flow until a stop, which stops, then releases, then the reader sees end
// of file. More stops do nothing.
TEST_F(ScreenApi, FramesFlowFromTheStartUntilTheStop) {
    mirvo_sck_stop();
    EXPECT_EQ(fake::events(), Events{});
    fake::holdCompletions("startCapture");
    Pipe p;
    auto started = std::async(std::launch::async, [&] { return mirvo_sck_start(64, 32, 60, p.giveWriteEnd()); });
    ASSERT_TRUE(fake::waitForHeld("startCapture"));
    EXPECT_EQ(started.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    ASSERT_TRUE(fake::releaseHeld("startCapture"));
    ASSERT_EQ(started.get(), 0);

    ASSERT_TRUE(fake::deliverSample(fake::SampleBuffer(patterned(64, 32))));
    EXPECT_EQ(readUpTo(p.r, 3072), topLeftOfPatterned(64, 32));
    const std::size_t before = fake::events().size();
    mirvo_sck_stop();
    EXPECT_EQ(readUpTo(p.r), Bytes{});
    ASSERT_TRUE(fake::waitForNoStreams());
    mirvo_sck_stop();
    const Events e = fake::events();
    EXPECT_EQ(Events(e.begin() + before, e.end()), (Events{"stopCapture(stream1)", "~Stream(stream1)"}));
    EXPECT_EQ(err_.text(), "");
}

// --- a start that fails ---

struct Failure {
    const char* name;
    void (*script)();
    const char* line;
    const char* lastEvent;  // the start's last event; then only a release
    bool sinkMade;          // and with it the descriptor taken and closed
};
void PrintTo(const Failure& f, std::ostream* os) { *os << f.name; }

class ScreenApiFailure : public ScreenApi, public testing::WithParamInterface<Failure> {};

TEST_P(ScreenApiFailure, WritesItsLineReturnsOneAndLeavesTheDescriptorToItsOwner) {
    const Failure& f = GetParam();
    f.script();
    Pipe p;
    const int fd = p.giveWriteEnd();
    EXPECT_EQ(mirvo_sck_start(1280, 720, 30, fd), 1);
    EXPECT_EQ(err_.text(), f.line);
    const Events e = fake::events();
    ASSERT_FALSE(e.empty());
    // A stream that never started is only released, never stopped.
    const Events tail = f.sinkMade ? Events{f.lastEvent, "~Stream(stream1)"} : Events{f.lastEvent};
    EXPECT_EQ(Events(e.end() - std::min(e.size(), tail.size()), e.end()), tail);
    EXPECT_EQ(writerGoneNow(p.r), f.sinkMade);
    if (!f.sinkMade) ::close(fd);
    mirvo_sck_stop();  // nothing runs: nothing happens
    EXPECT_EQ(fake::events(), e);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, ScreenApiFailure,
    testing::Values(
        Failure{"Content", [] { fake::setError("getShareableContent", "The user declined"); },
                "sck-video: The user declined\n", "getShareableContent", false},
        Failure{"NoDisplay", [] { fake::setDisplayCount(0); }, "sck-video: no display\n",
                "getShareableContent", false},
        Failure{"OutOfMemoryBeforeTheSink", [] { fake::throwBadAlloc("makeStreamConfiguration"); },
                "sck-video: out of memory\n", "makeStreamConfiguration", false},
        Failure{"AddOutput", [] { fake::setError("addStreamOutput", "x"); }, "sck-video: x\n",
                "addStreamOutput(stream1)", true},
        Failure{"OutOfMemoryAfterTheSink", [] { fake::throwBadAlloc("makeSerialQueue"); },
                "sck-video: out of memory\n", "makeStream(stream1)", true},
        Failure{"StartCapture",
                [] { fake::setError("startCapture", "Start failed: \xE2\x80\x9C" "display\xE2\x80\x9D"); },
                "sck-video: Start failed: \xE2\x80\x9C" "display\xE2\x80\x9D\n", "startCapture(stream1)",
                true}),
    [](const testing::TestParamInfo<Failure>& i) { return std::string(i.param.name); });

// --- start while running, stop, and the platform's own stop ---

TEST_F(ScreenApi, AFailedStartLeavesTheRunningCaptureAlone) {
    Pipe first, second;
    ASSERT_EQ(mirvo_sck_start(64, 32, 30, first.giveWriteEnd()), 0);
    fake::setError("startCapture", "busy");
    EXPECT_EQ(mirvo_sck_start(64, 32, 30, second.giveWriteEnd()), 1);
    EXPECT_EQ(readUpTo(second.r), Bytes{});
    EXPECT_EQ(indexOf(fake::events(), "~Stream(stream1)"), -1);
    EXPECT_FALSE(writerGoneNow(first.r));
    mirvo_sck_stop();
    EXPECT_EQ(readUpTo(first.r), Bytes{});
    EXPECT_GE(indexOf(fake::events(), "stopCapture(stream1)"), 0);
    EXPECT_EQ(err_.text(), "sck-video: busy\n");
}

// The earlier capture is released without a stop, once the new one runs,
// and frames go to the new descriptor.
TEST_F(ScreenApi, StartWhileRunningReplacesTheCaptureWithoutStoppingIt) {
    Pipe first, second;
    ASSERT_EQ(mirvo_sck_start(64, 32, 30, first.giveWriteEnd()), 0);
    ASSERT_EQ(mirvo_sck_start(128, 64, 30, second.giveWriteEnd()), 0);
    EXPECT_EQ(readUpTo(first.r), Bytes{});  // after the release
    const Events e = fake::events();
    EXPECT_EQ(indexOf(e, "stopCapture(stream1)"), -1);
    EXPECT_LT(indexOf(e, "startCapture(stream2)"), indexOf(e, "~Stream(stream1)"));
    ASSERT_TRUE(fake::deliverSample(fake::SampleBuffer(patterned(128, 64))));
    EXPECT_EQ(readUpTo(second.r, 12288), topLeftOfPatterned(128, 64));
    EXPECT_EQ(err_.text(), "");
}

// Stop returns at once; until the platform's stop has run the stream, the
// sink and the descriptor live on and frames still arrive; its error is
// nobody's business.
TEST_F(ScreenApi, TheDescriptorOutlivesThePlatformsStop) {
    fake::holdCompletions("stopCapture");
    fake::setError("stopCapture", "stopping failed");
    Pipe p;
    ASSERT_EQ(mirvo_sck_start(4, 2, 30, p.giveWriteEnd()), 0);
    mirvo_sck_stop();
    ASSERT_TRUE(fake::waitForHeld("stopCapture"));
    EXPECT_EQ(indexOf(fake::events(), "~Stream(stream1)"), -1);
    ASSERT_TRUE(fake::deliverSample(fake::SampleBuffer(marked(4, 2, 5))));
    EXPECT_EQ(readUpTo(p.r, 12), (Bytes{5, 5, 5, 5, 5, 5, 5, 5, 0xFA, 0xFA, 0xFA, 0xFA}));
    ASSERT_TRUE(fake::releaseHeld("stopCapture"));
    EXPECT_EQ(readUpTo(p.r), Bytes{});
    EXPECT_EQ(fake::events().back(), "~Stream(stream1)");
    EXPECT_EQ(err_.text(), "");
}

// One line; the capture goes on until the host stops it.
TEST_F(ScreenApi, AStreamStoppedByThePlatformReportsOneLine) {
    Pipe p;
    ASSERT_EQ(mirvo_sck_start(4, 2, 30, p.giveWriteEnd()), 0);
    ASSERT_TRUE(fake::deliverStop("\xC3\xA9" "cran perdu"));
    ASSERT_TRUE(fake::deliverSample(fake::SampleBuffer(marked(4, 2, 9))));
    EXPECT_EQ(readUpTo(p.r, 12), (Bytes{9, 9, 9, 9, 9, 9, 9, 9, 0xF6, 0xF6, 0xF6, 0xF6}));
    EXPECT_EQ(err_.text(), "sck-video: \xC3\xA9" "cran perdu\n");
}
