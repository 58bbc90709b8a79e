#include "app.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <pthread.h>

#include "pcm_out.h"
#include "shutdown.h"
#include "signals.h"

namespace State {
hal::ObjectID tapID = 0;
hal::ObjectID aggID = 0;
hal::IOProcID ioProcID = nullptr;
}  // namespace State

namespace {

std::string withStatus(const char* what, hal::OSStatus status) {
    return std::string(what) + std::to_string(status);
}

}  // namespace

std::string defaultOutputUID() {
    hal::PropertyAddress address{hal::kDefaultOutputDevice, hal::kScopeGlobal, hal::kElementMain};
    hal::ObjectID device = 0;
    if (hal::getPropertyObjectID(hal::kSystemObject, address, &device) != 0) {
        die("no default output");
    }
    // The device ID itself is not tested: 0 goes on to the UID query.
    address.selector = hal::kDeviceUID;
    std::optional<std::string> uid;
    if (hal::getPropertyString(device, address, &uid) != 0 || !uid) die("no output uid");
    return *uid;
}

hal::PlistDict aggregateDescription(const std::string& aggregateUID, const std::string& outputUID,
                                    const std::string& tapUID) {
    using hal::PlistArray;
    using hal::PlistDict;
    using hal::PlistValue;
    return PlistDict{
        {"name", PlistValue{std::string(kAggregateName)}},
        {"uid", PlistValue{aggregateUID}},
        {"master", PlistValue{outputUID}},
        {"private", PlistValue{true}},
        {"stacked", PlistValue{false}},
        {"tapautostart", PlistValue{true}},
        {"subdevices", PlistValue{PlistArray{PlistValue{PlistDict{{"uid", PlistValue{outputUID}}}}}}},
        {"taps", PlistValue{PlistArray{PlistValue{
                     PlistDict{{"uid", PlistValue{tapUID}}, {"drift", PlistValue{true}}}}}}},
    };
}

void releaseAll() {
    // A write the IO proc is waiting on gives up now (it watches the
    // wake-up too), so stopping the device never waits on the reader.
    requestShutdown();
    if (State::ioProcID != nullptr) {
        hal::deviceStop(State::aggID, State::ioProcID);
        hal::destroyIOProcID(State::aggID, State::ioProcID);
    }
    if (State::aggID != 0) hal::destroyAggregateDevice(State::aggID);
    if (State::tapID != 0) hal::destroyProcessTap(State::tapID);
}

void tearDown() {
    releaseAll();
    // The IO proc has stopped: whether a write failed is settled.
    if (const int error = audio::outputError(); error != 0) {
        die(std::string("write to standard output: ") + std::strerror(error));
    }
    std::exit(0);
}

void App::main() {
    initShutdown();
    // A reader that goes away must end the program in order, not kill it:
    // writes then fail with EPIPE and the IO proc asks for a teardown.
    std::signal(SIGPIPE, SIG_IGN);
    // Until the handlers are installed below, SIGINT and SIGTERM have their
    // default effect: the process ends at once, which leaves nothing behind
    // (private taps and aggregate devices, like a sound server's streams,
    // end with the process that made them) and never waits for a setup call
    // that blocks.
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);

    auto description = hal::makeStereoGlobalTapButExcludeProcesses({});
    description->setName(kTapName);
    description->setUUID(hal::newUUIDString());
    description->setPrivate(true);
    description->setMuteBehavior(0);

    hal::ObjectID tapID = 0;
    if (const auto s = hal::createProcessTap(*description, &tapID); s != 0) {
        die(withStatus("CreateProcessTap ", s));
    }
    const std::string tapUID = description->uuid();
    const std::string outputUID = defaultOutputUID();
    const std::string aggregateUID = kAggregateUIDPrefix + hal::newUUIDString();

    hal::ObjectID aggID = 0;
    if (const auto s = hal::createAggregateDevice(aggregateDescription(aggregateUID, outputUID, tapUID),
                                                  &aggID);
        s != 0) {
        die(withStatus("CreateAggregateDevice ", s));
    }
    // A device that refuses the rate still runs at its own.
    (void)hal::setPropertyFloat64(
        aggID, {hal::kNominalSampleRate, hal::kScopeGlobal, hal::kElementMain}, kNominalRate);

    hal::IOProcID ioProcID = nullptr;
    if (const auto s = hal::createIOProcID(aggID, ioProc, nullptr, &ioProcID); s != 0) {
        die(withStatus("CreateIOProc ", s));
    }
    if (const auto s = hal::deviceStart(aggID, ioProcID); s != 0) {
        die(withStatus("DeviceStart ", s));
    }

    // From here on a stop signal is handled: the handler only wakes the
    // main thread, which tears down what State holds. The signals are
    // unblocked whatever mask the parent left (a host that takes its own
    // signals with sigwait or signalfd starts children with them blocked);
    // one that arrived meanwhile is delivered now.
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    State::tapID = tapID;
    State::aggID = aggID;
    State::ioProcID = ioProcID;
    const sigset_t stopSignals = common::stopSignals();
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);

    const hal::OSStatus lost = hal::runMainLoop(shutdownWakeFd());
    if (shutdownRequested()) tearDown();
    if (lost != 0) {
        // The platform took the capture away (the sound server or the device
        // is gone): release what is left in order and say so, rather than
        // end as if the host had asked for it.
        releaseAll();
        die(withStatus("device lost ", lost));
    }
    description.reset();
}
