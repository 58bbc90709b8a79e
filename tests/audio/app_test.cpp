// The audio program's life against the fake platform, each run in a child
// process so its exit status, standard output and error and the platform
// calls it made are observed as a host would see them.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include <pthread.h>
#include <unistd.h>

#include "app.h"
#include "child.h"
#include "hal_fake.h"
#include "pcm_out.h"

namespace {

using Log = std::vector<std::string>;
const std::string kTap = "6F1C3A52-0B7E-4D2A-9C11-2E5B8F9A0D34";
const std::string kAgg = "A0B1C2D3-E4F5-4A6B-8C7D-8E9FA0B1C2D3";

// Setup as promised: the tap, the default output's UID, the aggregate over
// both, the IO proc, the start at 48 kHz, then the loop.
Log setup(bool rateSet = true) {
    return {
        "createProcessTap(exclude=[],mute=0,name=MirvoSystemTap,private=true,uuid=" + kTap + ")",
        "getPropertyObjectID(1,'dOut','glob',0)",
        "getPropertyString(42,'uid ','glob',0)",
        "createAggregateDevice({name=\"MirvoAggregate\",uid=\"app.mirvo.tap." + kAgg +
            "\",master=\"FakeOutput:0\",private=true,stacked=false,tapautostart=true,"
            "subdevices=[{uid=\"FakeOutput:0\"}],taps=[{uid=\"" + kTap + "\",drift=true}]})",
        "createIOProcID(20,null)",
        std::string("deviceStart(20,P1") + (rateSet ? ",'nsrt','glob',0=48000.0)" : ")"),
        "runMainLoop()",
    };
}
const Log kTeardown = {"deviceStop(20,P1)", "destroyIOProcID(20,P1)", "destroyAggregateDevice(20)",
                       "destroyProcessTap(10)"};

Log torn(Log l = setup()) {
    l.insert(l.end(), kTeardown.begin(), kTeardown.end());
    return l;
}
// Setup up to the named call; `through` includes it.
Log upTo(const std::string& call, bool through = true) {
    Log l = setup();
    auto at = std::find_if(l.begin(), l.end(), [&](const std::string& s) { return s.rfind(call + "(", 0) == 0; });
    l.erase(at + (through ? 1 : 0), l.end());
    return l;
}

void feedStereo(std::vector<float> data) {
    hal::AudioBufferList list{1, {{2, std::uint32_t(data.size() * 4), data.data()}}};
    fake::feedCycle(&list);
}

struct Case {
    const char* name;
    std::function<void()> script;  // after the default: SIGTERM once the loop runs
    int status;                    // exit status, or minus the signal that ended it
    std::string err, out;
    Log log;
    bool stopBlocked = false;      // SIGINT and SIGTERM blocked by the parent
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class AppRun : public ::testing::TestWithParam<Case> {};

TEST_P(AppRun, StatusStreamsAndCalls) {
    const Case& c = GetParam();
    fake::reset();
    fake::setUUIDs({kTap, kAgg});
    fake::onCall("runMainLoop", [] { std::raise(SIGTERM); });
    c.script();
    auto r = testing_support::runChild([](int fd) { fake::mirrorLogTo(fd); }, [&] {
        sigset_t stop;
        sigemptyset(&stop);
        if (c.stopBlocked) sigaddset(&stop, SIGINT), sigaddset(&stop, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stop, nullptr);
        App::main();
    });
    EXPECT_EQ(r.exited ? r.exitCode : -r.termSignal, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.log, c.log);
}

auto failing(const char* call, hal::OSStatus s) {
    return [=] { fake::setStatus(call, s); };
}

INSTANTIATE_TEST_SUITE_P(Main, AppRun, ::testing::Values(
    Case{"Sigterm", [] { fake::onCall("runMainLoop", [] {
            feedStereo({0.5f, -0.5f, 1.0f, -1.0f});
            feedStereo({0.0f, 0.25f});
            std::raise(SIGTERM);
        }); }, 0, "", std::string("\x00\x40\x00\xC0\xFF\x7F\x01\x80\x00\x00\x00\x20", 12), torn()},
    Case{"Sigint", [] { fake::onCall("runMainLoop", [] { std::raise(SIGINT); }); }, 0, "", "", torn()},
    // Each failing setup step: its line, status 1, nothing built is released.
    Case{"TapFails", failing("createProcessTap", hal::kNotRunningError), 1,
        "pelko: CreateProcessTap 1937010544\n", "", upTo("createProcessTap")},
    Case{"NoDefaultOutput", failing("getPropertyObjectID", hal::kUnknownPropertyError), 1,
        "pelko: no default output\n", "", upTo("getPropertyObjectID")},
    Case{"UIDQueryFails", failing("getPropertyString", -1), 1, "pelko: no output uid\n", "",
        upTo("getPropertyString")},
    Case{"UIDIsNull", [] { fake::setOutputUID(std::nullopt); }, 1, "pelko: no output uid\n", "",
        upTo("getPropertyString")},
    Case{"AggregateFails", failing("createAggregateDevice", hal::kIllegalOperationError), 1,
        "pelko: CreateAggregateDevice 1852797029\n", "", upTo("createAggregateDevice")},
    Case{"IOProcFails", failing("createIOProcID", -10851), 1, "pelko: CreateIOProc -10851\n", "",
        upTo("createIOProcID")},
    Case{"StartFails", failing("deviceStart", -50), 1, "pelko: DeviceStart -50\n", "", upTo("deviceStart")},
    Case{"RateRejected", failing("setPropertyFloat64", hal::kUnsupportedFormatError), 0, "", "",
        torn(setup(false))},
    // Until setup is done a stop signal has its default effect; one the
    // parent holds back is handled once it is.
    Case{"SignalDuringSetup", [] { fake::onCall("deviceStart", [] { std::raise(SIGTERM); }); },
        -SIGTERM, "", "", upTo("deviceStart", false)},
    Case{"BlockedSignalDuringSetup", [] { fake::onCall("createProcessTap", [] { std::raise(SIGINT); }); },
        0, "", "", torn(), true},
    Case{"FailingAndSignalledTeardown", [] {
            for (const char* c : {"deviceStop", "destroyIOProcID", "destroyAggregateDevice", "destroyProcessTap"})
                fake::setStatus(c, hal::kBadObjectError);
            fake::onCall("deviceStop", [] { std::raise(SIGINT), std::raise(SIGTERM); });
            fake::onCall("destroyAggregateDevice", [] { std::raise(SIGTERM); });
        }, 0, "", "", torn()},
    Case{"ReaderGone", [] { fake::onCall("runMainLoop", [] {
            int p[2];
            if (::pipe(p) != 0) ::_exit(98);
            ::close(p[0]);
            ::dup2(p[1], 1);
            feedStereo({0.5f, 0.5f});
            feedStereo({0.5f, 0.5f});
        }); }, 0, "", "", torn()},
    // The platform taking the capture away is a failure, not a stop; a stop
    // already requested wins.
    Case{"CaptureLost", [] {
            fake::setStatus("runMainLoop", hal::kNotRunningError);
            fake::onCall("runMainLoop", [] {});
        }, 1, "pelko: device lost 1937010544\n", "", torn()},
    Case{"CaptureLostAfterStop", failing("runMainLoop", hal::kNotRunningError), 0, "", "", torn()}),
    [](const auto& p) { return std::string(p.param.name); });

// Teardown releases exactly what State records, by its three guards.
TEST(TearDown, ReleasesOnlyWhatStateHolds) {
    struct Guarded {
        hal::ObjectID tap, agg;
        bool proc;
        Log calls;
    };
    const Guarded cases[] = {
        {0, 0, false, {}},
        {10, 0, false, {"destroyProcessTap(10)"}},
        {0, 20, false, {"destroyAggregateDevice(20)"}},
        {0, 0, true, {"deviceStop(0,P1)", "destroyIOProcID(0,P1)"}},
        {10, 20, true, kTeardown},
    };
    for (const auto& c : cases) {
        fake::reset();
        static int logFd;
        auto r = testing_support::runChild([](int fd) { logFd = fd; }, [&] {
            hal::IOProcID id = nullptr;
            if (c.proc) hal::createIOProcID(20, ioProc, nullptr, &id);  // before the log is watched
            fake::mirrorLogTo(logFd);
            State::tapID = c.tap;
            State::aggID = c.agg;
            State::ioProcID = id;
            tearDown();
        });
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.log, c.calls) << "tap " << c.tap << " agg " << c.agg << " proc " << c.proc;
    }
}

}  // namespace
