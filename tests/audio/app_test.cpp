// Setup, shutdown and fatal errors of the audio program against the fake
// platform. Each case runs the program's logic in a child process, so exit
// statuses, standard output, standard error and the platform calls made are
// all observed as a host would see them.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <regex>
#include <string>
#include <vector>

#include <pthread.h>
#include <unistd.h>

#include "app.h"
#include "child.h"
#include "hal_fake.h"
#include "pcm_out.h"
#include "shutdown.h"

namespace {

using testing_support::ChildResult;

const std::string kTapUUID = "6F1C3A52-0B7E-4D2A-9C11-2E5B8F9A0D34";
const std::string kAggUUID = "A0B1C2D3-E4F5-4A6B-8C7D-8E9FA0B1C2D3";

// Runs App::main() in a child with the fake as scripted by `script`; with
// `stopBlocked`, SIGINT and SIGTERM are blocked as a parent may leave them.
ChildResult runApp(const std::function<void()>& script, bool stopBlocked = false) {
    fake::reset();
    fake::setUUIDs({kTapUUID, kAggUUID});
    script();
    return testing_support::runChild([](int fd) { fake::mirrorLogTo(fd); }, [&] {
        sigset_t stop;
        sigemptyset(&stop);
        if (stopBlocked) {
            sigaddset(&stop, SIGINT);
            sigaddset(&stop, SIGTERM);
        }
        pthread_sigmask(SIG_BLOCK, &stop, nullptr);
        App::main();
    });
}

std::vector<std::string> setupCalls() {
    return {
        "makeStereoGlobalTapButExcludeProcesses([])",
        "setName(MirvoSystemTap)",
        "newUUIDString()",
        "setUUID(" + kTapUUID + ")",
        "setPrivate(true)",
        "setMuteBehavior(0)",
        "createProcessTap(name=MirvoSystemTap,uuid=" + kTapUUID + ",private=true,mute=0,out=0)",
        "uuid()",
        "getPropertyObjectID(1,'dOut','glob',0,in=0)",
        "getPropertyString(42,'uid ','glob',0)",
        "newUUIDString()",
        "createAggregateDevice({name=\"MirvoAggregate\",uid=\"app.mirvo.tap." + kAggUUID +
            "\",master=\"FakeOutput:0\",private=true,stacked=false,tapautostart=true,"
            "subdevices=[{uid=\"FakeOutput:0\"}],taps=[{uid=\"" + kTapUUID +
            "\",drift=true}]},out=0)",
        "setPropertyFloat64(20,'nsrt','glob',0,48000.0)",
        "createIOProcID(20,null,out=null)",
        "deviceStart(20,P1)",
        "runMainLoop()",
    };
}

const std::vector<std::string> kTeardown = {
    "deviceStop(20,P1)",
    "destroyIOProcID(20,P1)",
    "destroyAggregateDevice(20)",
    "destroyProcessTap(10)",
};

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

hal::OSStatus feedStereo(std::initializer_list<float> samples) {
    std::vector<float> data(samples);
    hal::AudioBufferList list{1, {{2, std::uint32_t(data.size() * 4), data.data()}}};
    return fake::feedCycle(&list);
}

TEST(Setup, FixedSequenceThenPcmThenOrderedTeardownOnSigterm) {
    auto r = runApp([] {
        fake::onCall("deviceStart", [] {
            if (fake::registeredProc() != &ioProc) ::_exit(99);
        });
        fake::onCall("runMainLoop", [] {
            feedStereo({0.5f, -0.5f, 1.0f, -1.0f});
            feedStereo({0.0f, 0.25f});
            std::raise(SIGTERM);
        });
    });
    ASSERT_TRUE(r.exited) << "signal " << r.termSignal;
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    const std::string pcm("\x00\x40\x00\xC0\xFF\x7F\x01\x80\x00\x00\x00\x20", 12);
    EXPECT_EQ(r.out, pcm);
    EXPECT_EQ(r.log, concat(setupCalls(), kTeardown));
}

TEST(Setup, SigintEndsTheCaptureExactlyAsSigterm) {
    auto r = runApp([] { fake::onCall("runMainLoop", [] { std::raise(SIGINT); }); });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.log, concat(setupCalls(), kTeardown));
}

struct Failure {
    const char* call;
    hal::OSStatus status;
    const char* line;
};

// Every setup failure: one line, status 1, nothing on standard output, and
// nothing that earlier steps built is destroyed.
TEST(Setup, EachFailingStepEndsWithItsLineAndLeavesWhatWasBuilt) {
    const Failure cases[] = {
        {"createProcessTap", hal::kNotRunningError, "pelko: CreateProcessTap 1937010544\n"},
        {"getPropertyObjectID", hal::kUnknownPropertyError, "pelko: no default output\n"},
        {"getPropertyString", -1, "pelko: no output uid\n"},
        {"createAggregateDevice", hal::kIllegalOperationError,
         "pelko: CreateAggregateDevice 1852797029\n"},
        {"createIOProcID", -10851, "pelko: CreateIOProc -10851\n"},
        {"deviceStart", -50, "pelko: DeviceStart -50\n"},
    };
    const auto full = setupCalls();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        auto r = runApp([&] {
            fake::setStatus(c.call, c.status);
            fake::onCall("runMainLoop", [] { std::raise(SIGTERM); });
        });
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, c.line);
        EXPECT_EQ(r.out, "");
        // The log is the setup sequence cut right after the failing call.
        ASSERT_FALSE(r.log.empty());
        EXPECT_EQ(r.log.back().rfind(std::string(c.call) + "(", 0), 0u) << r.log.back();
        ASSERT_LE(r.log.size(), full.size());
        EXPECT_EQ(r.log, std::vector<std::string>(full.begin(), full.begin() + long(r.log.size())));
    }
}

TEST(Setup, NullOutputUIDIsLikeAFailedQuery) {
    auto r = runApp([] { fake::setOutputUID(std::nullopt); });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "pelko: no output uid\n");
    EXPECT_EQ(r.log.back(), "getPropertyString(42,'uid ','glob',0)");
}

TEST(Setup, DeviceZeroIsNotTestedAndGoesOnToTheUIDQuery) {
    auto r = runApp([] {
        fake::setDefaultDevice(0);
        fake::onCall("runMainLoop", [] { std::raise(SIGTERM); });
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0);
    ASSERT_GT(r.log.size(), 9u);
    EXPECT_EQ(r.log[9], "getPropertyString(0,'uid ','glob',0)");
}

TEST(Setup, RejectedRateDoesNotStopSetup) {
    auto r = runApp([] {
        fake::setStatus("setPropertyFloat64", hal::kUnsupportedFormatError);
        fake::onCall("runMainLoop", [] { std::raise(SIGTERM); });
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.log, concat(setupCalls(), kTeardown));
}

TEST(Setup, EveryRunHasItsOwnAggregateUID) {
    const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
    std::vector<std::string> aggs;
    for (int run = 0; run < 2; ++run) {
        fake::reset();  // random UUIDs
        fake::onCall("runMainLoop", [] { std::raise(SIGTERM); });
        auto r = testing_support::runChild([](int fd) { fake::mirrorLogTo(fd); },
                                           [] { App::main(); });
        ASSERT_EQ(r.exitCode, 0);
        std::smatch tap, agg;
        std::string line;
        for (const auto& l : r.log) {
            if (l.rfind("createAggregateDevice(", 0) == 0) line = l;
        }
        ASSERT_TRUE(std::regex_search(line, agg, std::regex("uid=\"(app\\.mirvo\\.tap\\.([^\"]*))\"")));
        ASSERT_TRUE(std::regex_search(line, tap, std::regex("taps=\\[\\{uid=\"([^\"]*)\"")));
        const std::string aggUID = agg[1], aggPart = agg[2], tapUID = tap[1];
        EXPECT_EQ(aggUID.size(), 50u);
        EXPECT_TRUE(std::regex_match(aggPart, uuid)) << aggPart;
        EXPECT_TRUE(std::regex_match(tapUID, uuid)) << tapUID;
        EXPECT_NE(aggPart, tapUID);
        aggs.push_back(aggUID);
    }
    EXPECT_NE(aggs[0], aggs[1]);
}

// The aggregate description's shape, independent of how the fake prints it.
TEST(Setup, AggregateDescriptionHasExactlyItsEightEntries) {
    const auto d = aggregateDescription("app.mirvo.tap.X", "Out", "Tap");
    std::vector<std::string> keys;
    for (const auto& e : d) keys.push_back(e.key);
    EXPECT_EQ(keys, (std::vector<std::string>{"name", "uid", "master", "private", "stacked",
                                              "tapautostart", "subdevices", "taps"}));
    const auto& subs = std::get<hal::PlistArray>(d[6].value.v);
    ASSERT_EQ(subs.size(), 1u);
    EXPECT_EQ(std::get<hal::PlistDict>(subs[0].v),
              (hal::PlistDict{{"uid", hal::PlistValue{std::string("Out")}}}));
    const auto& taps = std::get<hal::PlistArray>(d[7].value.v);
    ASSERT_EQ(taps.size(), 1u);
    EXPECT_EQ(std::get<hal::PlistDict>(taps[0].v),
              (hal::PlistDict{{"uid", hal::PlistValue{std::string("Tap")}},
                              {"drift", hal::PlistValue{true}}}));
    EXPECT_EQ(std::get<bool>(d[3].value.v), true);
    EXPECT_EQ(std::get<bool>(d[4].value.v), false);
    EXPECT_EQ(std::get<bool>(d[5].value.v), true);
}

// Before the handlers exist a stop signal has its default effect: the
// process ends there, which leaves nothing behind (what setup builds is
// private to the process). One the parent's mask holds back is handled once
// setup is done: everything built is torn down in order.
TEST(Shutdown, SignalDuringSetupEndsTheProcessUnlessTheParentHoldsItBack) {
    const auto full = setupCalls();
    for (const char* during : {"createProcessTap", "createAggregateDevice", "deviceStart"}) {
        for (const bool blocked : {false, true}) {
            SCOPED_TRACE(std::string(during) + (blocked ? ", blocked" : ""));
            auto r = runApp([&] { fake::onCall(during, [] { std::raise(SIGTERM); }); }, blocked);
            if (blocked) {
                ASSERT_TRUE(r.exited) << "killed by signal " << r.termSignal;
                EXPECT_EQ(r.exitCode, 0);
                EXPECT_EQ(r.log, concat(full, kTeardown));
            } else {
                EXPECT_FALSE(r.exited);
                EXPECT_EQ(r.termSignal, SIGTERM);
                // The hook runs as the call is entered, before it is logged.
                auto at = std::find_if(full.begin(), full.end(), [&](const std::string& l) {
                    return l.rfind(std::string(during) + "(", 0) == 0;
                });
                EXPECT_EQ(r.log, std::vector<std::string>(full.begin(), at));
            }
            EXPECT_EQ(r.err, "");
        }
    }
}

TEST(Shutdown, SignalsDuringTeardownChangeNothing) {
    auto r = runApp([] {
        fake::onCall("runMainLoop", [] { std::raise(SIGTERM); });
        fake::onCall("deviceStop", [] {
            std::raise(SIGINT);
            std::raise(SIGTERM);
        });
        fake::onCall("destroyAggregateDevice", [] { std::raise(SIGTERM); });
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.log, concat(setupCalls(), kTeardown));
}

TEST(Shutdown, FailingTeardownCallsKeepOrderAndStatus) {
    auto r = runApp([] {
        for (const char* c : {"deviceStop", "destroyIOProcID", "destroyAggregateDevice",
                              "destroyProcessTap"}) {
            fake::setStatus(c, hal::kBadObjectError);
        }
        fake::onCall("runMainLoop", [] { std::raise(SIGTERM); });
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.log, concat(setupCalls(), kTeardown));
}

// Teardown touches exactly what State records, by its three guards.
TEST(Shutdown, TearsDownOnlyWhatStateHolds) {
    struct Case {
        hal::ObjectID tap, agg;
        bool proc;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {0, 0, false, {}},
        {10, 0, false, {"destroyProcessTap(10)"}},
        {10, 20, false, {"destroyAggregateDevice(20)", "destroyProcessTap(10)"}},
        {0, 20, false, {"destroyAggregateDevice(20)"}},
        // Only the IO proc ID guards the first two calls.
        {0, 0, true, {"deviceStop(0,P1)", "destroyIOProcID(0,P1)"}},
        {10, 20, true, kTeardown},
    };
    for (const auto& c : cases) {
        fake::reset();
        fake::onCall("runMainLoop", [] { std::raise(SIGTERM); });
        static int logFd = -1;
        auto r = testing_support::runChild([](int fd) { logFd = fd; }, [&] {
            hal::IOProcID id = nullptr;
            // A registration the fake knows, made before the log is watched.
            if (c.proc) hal::createIOProcID(20, ioProc, nullptr, &id);
            fake::mirrorLogTo(logFd);
            State::tapID = c.tap;
            State::aggID = c.agg;
            State::ioProcID = id;
            tearDown();
        });
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.log, c.calls) << "tap " << c.tap << " agg " << c.agg << " proc " << c.proc;
    }
}

TEST(Shutdown, ReaderGoneTearsDownInOrderAndExitsZeroSilently) {
    auto r = runApp([] {
        fake::onCall("runMainLoop", [] {
            int p[2];
            if (::pipe(p) != 0) ::_exit(98);
            ::close(p[0]);
            ::dup2(p[1], 1);
            feedStereo({0.5f, 0.5f});
            feedStereo({0.5f, 0.5f});
        });
    });
    ASSERT_TRUE(r.exited) << "killed by signal " << r.termSignal;
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.log, concat(setupCalls(), kTeardown));
}

// The platform taking the capture away is a failure, not a stop: ordered
// release, one line, status 1. A stop request that is already pending wins.
TEST(Shutdown, LostCaptureReleasesInOrderAndExitsOne) {
    auto lost = runApp([] { fake::setStatus("runMainLoop", hal::kNotRunningError); });
    ASSERT_TRUE(lost.exited);
    EXPECT_EQ(lost.exitCode, 1);
    EXPECT_EQ(lost.err, "pelko: device lost 1937010544\n");
    EXPECT_EQ(lost.log, concat(setupCalls(), kTeardown));

    auto requested = runApp([] {
        fake::setStatus("runMainLoop", hal::kNotRunningError);
        fake::onCall("runMainLoop", [] { std::raise(SIGTERM); });
    });
    ASSERT_TRUE(requested.exited);
    EXPECT_EQ(requested.exitCode, 0);
    EXPECT_EQ(requested.err, "");
    EXPECT_EQ(requested.log, concat(setupCalls(), kTeardown));
}

TEST(Die, WritesOneUtf8LineAndExitsOne) {
    auto empty = testing_support::runChild([](int) {}, [] { die(""); });
    EXPECT_TRUE(empty.exited);
    EXPECT_EQ(empty.exitCode, 1);
    EXPECT_EQ(empty.err, std::string("pelko: \n"));
    EXPECT_EQ(empty.err.size(), 8u);
    EXPECT_EQ(empty.out, "");

    auto utf8 = testing_support::runChild([](int) {}, [] { die("h\xC3\xA9llo \xE2\x9C\x93"); });
    EXPECT_EQ(utf8.exitCode, 1);
    EXPECT_EQ(utf8.err, "pelko: h\xC3\xA9llo \xE2\x9C\x93\n");
}

}  // namespace
