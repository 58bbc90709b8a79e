// mirvo_sck_start and mirvo_sck_stop against the platform fake: the calls
// made and their order, each failure's line and result, who owns the
// descriptor when, and what stop leaves behind.
#include "mirvo_sck.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture_fake.h"
#include "support.h"

using namespace support;
using Log = std::vector<std::string>;

namespace {

Log startLog(const std::string& width, const std::string& height, const std::string& fps) {
    return {
        "getShareableContent(false,true)",
        "displays()",
        "makeContentFilter(display0)",
        "makeStreamConfiguration(config1)",
        "setWidth(" + width + ")",
        "setHeight(" + height + ")",
        "setMinimumFrameInterval(1/" + fps + ")",
        "setPixelFormat(420v)",
        "setShowsCursor(true)",
        "setQueueDepth(3)",
        "setCapturesAudio(false)",
        "makeStream(stream1,display0,config1,delegate)",
        "makeSerialQueue(mirvo.sck.video)",
        "addStreamOutput(stream1,screen,mirvo.sck.video,delegate)",
        "startCapture(stream1)",
    };
}

Log upTo(Log log, const std::string& last) {
    for (std::size_t i = 0; i < log.size(); ++i)
        if (log[i] == last) {
            log.resize(i + 1);
            return log;
        }
    return log;
}

std::size_t countOf(const Log& log, const std::string& line) {
    return static_cast<std::size_t>(std::count(log.begin(), log.end(), line));
}

class ScreenApi : public testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        err_.emplace();
    }
    void TearDown() override {
        err_.reset();
        // Leave nothing running for the next test.
        fake::stopHolding();
        mirvo_sck_stop();
        EXPECT_TRUE(fake::waitForNoStreams());
    }
    // Everything the library wrote to standard error during the test so far;
    // call once.
    std::string stderrText() { return err_->text(); }

    std::optional<StderrCapture> err_;
};

}  // namespace

// --- a start that succeeds ---

TEST_F(ScreenApi, StartMakesTheStreamInOrderOffTheCallersThread) {
    fake::setDisplayCount(3);
    Pipe p;
    EXPECT_EQ(mirvo_sck_start(1280, 720, 30, p.giveWriteEnd()), 0);
    EXPECT_EQ(fake::log(), startLog("1280", "720", "30"));
    EXPECT_NE(fake::threadOf("getShareableContent"), std::this_thread::get_id());
    EXPECT_NE(fake::threadOf("startCapture"), std::this_thread::get_id());
    // The queue was dropped after registration: only the stream keeps it.
    EXPECT_EQ(fake::lastQueue().use_count(), 1);
    EXPECT_EQ(fake::liveStreams(), 1);
    EXPECT_FALSE(writerGoneNow(p.r));
    EXPECT_EQ(stderrText(), "");
}

TEST_F(ScreenApi, FramesFlowUntilStopThenTheReaderSeesEndOfFile) {
    Pipe p;
    ASSERT_EQ(mirvo_sck_start(64, 32, 60, p.giveWriteEnd()), 0);
    auto src = patterned(64, 32);
    ASSERT_TRUE(fake::deliverSample(fake::SampleBuffer(src)));
    const auto frame = readExactly(p.r, 64 * 32 * 3 / 2);
    ASSERT_EQ(frame.size(), 3072u);
    EXPECT_EQ(frame[0], lumaAt(0, 0));
    EXPECT_EQ(frame[64 * 31 + 63], lumaAt(63, 31));
    EXPECT_EQ(frame[2048], cbAt(0, 0));
    EXPECT_EQ(frame[3071], crAt(31, 15));

    mirvo_sck_stop();
    EXPECT_TRUE(readToEof(p.r).empty());
    const Log log = fake::log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "stopCapture(stream1)");
    EXPECT_EQ(log.back(), "~Stream(stream1)");
    EXPECT_EQ(stderrText(), "");
}

TEST_F(ScreenApi, StartWaitsForTheContentAndTheCaptureStart) {
    fake::holdCompletions("getShareableContent");
    fake::holdCompletions("startCapture");
    Pipe p;
    std::atomic<bool> returned{false};
    auto result = std::async(std::launch::async, [&] {
        const int32_t r = mirvo_sck_start(640, 480, 25, p.giveWriteEnd());
        returned = true;
        return r;
    });
    ASSERT_TRUE(fake::waitForHeld("getShareableContent"));
    EXPECT_FALSE(returned);
    EXPECT_EQ(fake::log(), Log{"getShareableContent(false,true)"});
    // The platform answers on a thread of its own: this one.
    ASSERT_TRUE(fake::releaseHeld("getShareableContent"));
    ASSERT_TRUE(fake::waitForHeld("startCapture"));
    EXPECT_FALSE(returned);
    ASSERT_TRUE(fake::releaseHeld("startCapture"));
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    EXPECT_EQ(fake::log(), startLog("640", "480", "25"));
}

TEST_F(ScreenApi, ArgumentsReachThePlatformUnvalidatedAndSignExtended) {
    Pipe p;
    EXPECT_EQ(mirvo_sck_start(0, -5, -1, p.giveWriteEnd()), 0);
    EXPECT_EQ(upTo(fake::log(), "setCapturesAudio(false)"),
              upTo(startLog("0", "-5", "-1"), "setCapturesAudio(false)"));
    // A negative size writes nothing.
    auto src = patterned(64, 32);
    ASSERT_TRUE(fake::deliverSample(fake::SampleBuffer(src)));
    mirvo_sck_stop();
    EXPECT_TRUE(readToEof(p.r).empty());
    ASSERT_TRUE(fake::waitForNoStreams());

    fake::reset();
    Pipe q;
    EXPECT_EQ(mirvo_sck_start(INT32_MIN, INT32_MAX, 0, q.giveWriteEnd()), 0);
    EXPECT_EQ(upTo(fake::log(), "setCapturesAudio(false)"),
              upTo(startLog("-2147483648", "2147483647", "0"), "setCapturesAudio(false)"));
    EXPECT_EQ(stderrText(), "");
}

// --- a start that fails ---

struct Failure {
    const char* name;
    void (*script)();
    const char* line;
    const char* lastCall;
    bool closesFd;
};

void PrintTo(const Failure& f, std::ostream* os) { *os << f.name; }

class ScreenApiFailure : public ScreenApi, public testing::WithParamInterface<Failure> {};

TEST_P(ScreenApiFailure, WritesItsLineReturnsOneAndLeavesTheDescriptorToItsOwner) {
    const Failure& f = GetParam();
    f.script();
    Pipe p;
    const int fd = p.giveWriteEnd();
    EXPECT_EQ(mirvo_sck_start(1280, 720, 30, fd), 1);
    EXPECT_EQ(stderrText(), f.line);
    const Log log = fake::log();
    const Log made = upTo(startLog("1280", "720", "30"), f.lastCall);
    ASSERT_GE(log.size(), made.size());
    EXPECT_EQ(Log(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(made.size())), made);
    // Everything the start made is gone by the time it returns.
    EXPECT_EQ(fake::liveStreams(), 0);
    if (f.closesFd) {
        // A stream that never started is only released: no stopCapture.
        EXPECT_EQ(Log(log.begin() + static_cast<std::ptrdiff_t>(made.size()), log.end()),
                  Log{"~Stream(stream1)"});
        EXPECT_FALSE(isOpen(fd));
        EXPECT_TRUE(readToEof(p.r).empty());
    } else {
        EXPECT_EQ(log.size(), made.size());
        EXPECT_TRUE(isOpen(fd));
        EXPECT_FALSE(writerGoneNow(p.r));
        ::close(fd);
    }
    // Nothing is held: stop does nothing.
    mirvo_sck_stop();
    EXPECT_EQ(fake::log(), log);
}

INSTANTIATE_TEST_SUITE_P(
    EachPoint, ScreenApiFailure,
    testing::Values(
        Failure{"Content", [] { fake::setError("getShareableContent", "The user declined"); },
                "sck-video: The user declined\n", "getShareableContent(false,true)", false},
        Failure{"NoDisplay", [] { fake::setDisplayCount(0); }, "sck-video: no display\n",
                "displays()", false},
        Failure{"AddOutput", [] { fake::setError("addStreamOutput", "x"); }, "sck-video: x\n",
                "addStreamOutput(stream1,screen,mirvo.sck.video,delegate)", true},
        Failure{"StartCapture", [] { fake::setError("startCapture", "Start failed: \xE2\x80\x9C" "display\xE2\x80\x9D"); },
                "sck-video: Start failed: \xE2\x80\x9C" "display\xE2\x80\x9D\n", "startCapture(stream1)", true},
        Failure{"OutOfMemoryBeforeTheSink", [] { fake::throwBadAlloc("makeStreamConfiguration"); },
                "sck-video: out of memory\n", "makeStreamConfiguration(config1)", false},
        Failure{"OutOfMemoryAfterTheSink", [] { fake::throwBadAlloc("makeSerialQueue"); },
                "sck-video: out of memory\n", "makeSerialQueue(mirvo.sck.video)", true}),
    [](const testing::TestParamInfo<Failure>& i) { return std::string(i.param.name); });

TEST_F(ScreenApi, AFailedStartLeavesTheRunningCaptureAlone) {
    Pipe first;
    ASSERT_EQ(mirvo_sck_start(64, 32, 30, first.giveWriteEnd()), 0);
    fake::setError("startCapture", "busy");
    Pipe second;
    EXPECT_EQ(mirvo_sck_start(64, 32, 30, second.giveWriteEnd()), 1);
    EXPECT_TRUE(readToEof(second.r).empty());
    EXPECT_EQ(fake::liveStreams(), 1);
    EXPECT_FALSE(writerGoneNow(first.r));
    EXPECT_EQ(countOf(fake::log(), "~Stream(stream1)"), 0u);

    mirvo_sck_stop();
    ASSERT_TRUE(fake::waitForNoStreams());
    EXPECT_EQ(countOf(fake::log(), "stopCapture(stream1)"), 1u);
    EXPECT_TRUE(readToEof(first.r).empty());
    EXPECT_EQ(stderrText(), "sck-video: busy\n");
}

// --- start while running, and stop ---

TEST_F(ScreenApi, StartWhileRunningReleasesTheOldStreamWithoutStoppingIt) {
    Pipe first, second;
    ASSERT_EQ(mirvo_sck_start(64, 32, 30, first.giveWriteEnd()), 0);
    ASSERT_EQ(mirvo_sck_start(128, 64, 30, second.giveWriteEnd()), 0);
    // Released on a thread of its own, soon after the start returned.
    EXPECT_TRUE(readToEof(first.r).empty());
    ASSERT_TRUE(fake::waitForLog("~Stream(stream1)"));
    const Log log = fake::log();
    EXPECT_EQ(countOf(log, "~Stream(stream1)"), 1u);
    EXPECT_EQ(countOf(log, "stopCapture(stream1)"), 0u);
    EXPECT_FALSE(writerGoneNow(second.r));
    EXPECT_EQ(fake::liveStreams(), 1);

    ASSERT_TRUE(fake::deliverSample(fake::SampleBuffer(patterned(128, 64))));
    EXPECT_EQ(readExactly(second.r, 128 * 64 * 3 / 2).size(), 12288u);
    EXPECT_EQ(stderrText(), "");
}

TEST_F(ScreenApi, StopWithNothingRunningDoesNothing) {
    mirvo_sck_stop();
    mirvo_sck_stop();
    EXPECT_TRUE(fake::log().empty());

    fake::setDisplayCount(0);
    Pipe p;
    const int fd = p.giveWriteEnd();
    ASSERT_EQ(mirvo_sck_start(64, 32, 30, fd), 1);
    const Log afterFailure = fake::log();
    mirvo_sck_stop();
    EXPECT_EQ(fake::log(), afterFailure);
    ::close(fd);
    EXPECT_EQ(stderrText(), "sck-video: no display\n");
}

TEST_F(ScreenApi, ASecondStopHasNoEffect) {
    Pipe p;
    ASSERT_EQ(mirvo_sck_start(64, 32, 30, p.giveWriteEnd()), 0);
    mirvo_sck_stop();
    ASSERT_TRUE(fake::waitForNoStreams());
    const Log afterFirst = fake::log();
    mirvo_sck_stop();
    EXPECT_EQ(fake::log(), afterFirst);
    EXPECT_EQ(countOf(afterFirst, "stopCapture(stream1)"), 1u);
    EXPECT_TRUE(readToEof(p.r).empty());
}

TEST_F(ScreenApi, StopReturnsAtOnceAndTheDescriptorOutlivesThePlatformsStop) {
    fake::holdCompletions("stopCapture");
    fake::setError("stopCapture", "stopping failed");
    Pipe p;
    ASSERT_EQ(mirvo_sck_start(64, 32, 30, p.giveWriteEnd()), 0);

    auto stopped = std::async(std::launch::async, [] { mirvo_sck_stop(); });
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ASSERT_TRUE(fake::waitForHeld("stopCapture"));

    // Until the platform has stopped, the stream and its sink live on and
    // frames still reach the descriptor.
    EXPECT_EQ(fake::liveStreams(), 1);
    EXPECT_FALSE(writerGoneNow(p.r));
    ASSERT_TRUE(fake::deliverSample(fake::SampleBuffer(marked(64, 32, 5))));
    const auto frame = readExactly(p.r, 3072);
    ASSERT_EQ(frame.size(), 3072u);
    EXPECT_EQ(frame[0], 5);
    EXPECT_EQ(frame[3071], 0xFA);

    ASSERT_TRUE(fake::releaseHeld("stopCapture"));
    EXPECT_TRUE(readToEof(p.r).empty());
    ASSERT_TRUE(fake::waitForNoStreams());
    const Log log = fake::log();
    EXPECT_EQ(log.back(), "~Stream(stream1)");
    // The stop's error is dropped without a word.
    EXPECT_EQ(stderrText(), "");
}

TEST_F(ScreenApi, StartStopStartRunsTheSecondStartBesideTheFirstStop) {
    fake::holdCompletions("stopCapture");
    Pipe first, second;
    ASSERT_EQ(mirvo_sck_start(64, 32, 30, first.giveWriteEnd()), 0);
    mirvo_sck_stop();
    ASSERT_TRUE(fake::waitForHeld("stopCapture"));
    ASSERT_EQ(mirvo_sck_start(64, 32, 30, second.giveWriteEnd()), 0);
    EXPECT_EQ(fake::liveStreams(), 2);
    EXPECT_EQ(fake::log().back(), "startCapture(stream2)");

    ASSERT_TRUE(fake::releaseHeld("stopCapture"));
    EXPECT_TRUE(readToEof(first.r).empty());
    ASSERT_TRUE(fake::waitForLog("~Stream(stream1)"));
    EXPECT_EQ(fake::liveStreams(), 1);
    EXPECT_FALSE(writerGoneNow(second.r));
    ASSERT_TRUE(fake::deliverSample(fake::SampleBuffer(marked(64, 32, 3))));
    EXPECT_EQ(readExactly(second.r, 3072).front(), 3);
    EXPECT_EQ(stderrText(), "");
}

TEST_F(ScreenApi, AStreamStoppedByThePlatformReportsOneLine) {
    Pipe p;
    ASSERT_EQ(mirvo_sck_start(64, 32, 30, p.giveWriteEnd()), 0);
    ASSERT_TRUE(fake::deliverStop("Display disconnected"));
    EXPECT_EQ(fake::liveStreams(), 1);
    EXPECT_FALSE(writerGoneNow(p.r));
    EXPECT_EQ(stderrText(), "sck-video: Display disconnected\n");
}
