// Linux binding of hal.h: a recording of the default sink of a server that
// speaks the PulseAudio protocol (PulseAudio, or PipeWire's pipewire-pulse).
//
//   process tap        a registered UUID; it stands for everything the default
//                      sink plays (its monitor source), which keeps playing
//   output device      a sink; its 'uid ' is the sink's name
//   aggregate device   a clock (pulse_timeline.h) fed by float32 stereo
//                      recordings of sink monitors at the 'nsrt' rate (the
//                      server resamples): first the sink named by "master",
//                      then whichever sink is the server's default
//   IO proc            called on the IO thread ("mirvo-io") with a 20 ms
//                      cycle every 20 ms of the monotonic clock from the
//                      start, silence where no recording delivered
//
// Object IDs are numbered here (never 0 or 1, the system object). The server
// connection is opened by the first call that needs it and closed once no tap
// and no aggregate device is left.
//
// Statuses (Core Audio codes, so messages read the same on every platform):
//
//   call                    condition                                   status
//   ----------------------  ------------------------------------------  ------
//   any call that needs     no server reachable, or the connection      'stop'
//     the server            has been lost                               1937010544
//   createProcessTap        processes excluded, or a muting behaviour   'unop'
//                           (a sink monitor can do neither)             1970171760
//   createProcessTap        empty UUID, or one another tap already has  -50
//   destroyProcessTap       unknown tap                                 '!obj'
//                                                                       560947818
//   destroyProcessTap       an aggregate device still includes it       'nope'
//                                                                       1852797029
//   getPropertyObjectID     object unknown                              '!obj'
//   getPropertyObjectID     not 'dOut' on the system object, or scope   'who?'
//                           not 'glob' / element not 0                  2003332927
//   getPropertyObjectID     the server has no default sink              '!dev'
//                                                                       560227702
//   getPropertyString       object unknown                              '!obj'
//   getPropertyString       not 'uid ' of a device or aggregate,        'who?'
//                           scope not 'glob' / element not 0
//   setPropertyFloat64      object unknown                              '!obj'
//   setPropertyFloat64      not 'nsrt' of an aggregate device           'who?'
//   setPropertyFloat64      rate not an integer in 1..384000            '!dat'
//                                                                       560226676
//   setPropertyFloat64      a different rate while the stream runs      'nope'
//   createAggregateDevice   "uid", "master" or "taps" missing, or a     -50
//                           value of the wrong type
//   createAggregateDevice   "uid" already used by an aggregate          'nope'
//   createAggregateDevice   "master" or a sub-device names no sink      '!dev'
//   createAggregateDevice   a tap entry names no existing tap           '!obj'
//   createAggregateDevice   no tap at all (nothing to record)           'unop'
//   destroyAggregateDevice  unknown aggregate                           '!dev'
//   createIOProcID          device is not an aggregate                  '!dev'
//   createIOProcID          null proc                                   -50
//   destroyIOProcID,        device is not an aggregate                  '!dev'
//     deviceStart,          IO proc ID not registered on that device    'nope'
//     deviceStop
//   deviceStart             the recording stream cannot be set up,      '!str'
//                           fails while connecting, or failed earlier   561214578
//
// Threads: every hal call runs on the main thread and takes the mainloop
// lock while it touches the server or the tables the mainloop thread reads.
// The server's callbacks run on the mainloop thread ("mirvo-capture") with
// that lock held and write the recordings into the timeline. The IO thread
// never takes the mainloop lock: it holds the aggregate's ioMutex while it
// calls the IO procs, so a deviceStop that has cleared a proc's flag under
// that mutex knows the proc is not running and will not run again. A reader
// that stops reading (without closing) holds the IO thread up, neither the
// server's thread nor a teardown, since the write gives up once a stop has
// been requested (see pcm.h). A stop waits for the server's confirmation
// only briefly, so a stalled server cannot hold a teardown up either.
#include "hal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pulse/pulseaudio.h>
#include <unistd.h>

#include "hal_pulse_internal.h"
#include "uuid.h"


namespace pulse_binding {

Binding& B() {
    static Binding* b = new Binding;
    return *b;
}

void signalWaiters() { pa_threaded_mainloop_signal(B().loop, 0); }

// Makes runMainLoop return: the capture cannot go on.
void reportFailure() {
    if (B().failPipe[1] < 0) return;
    const char b = 1;
    (void)!::write(B().failPipe[1], &b, 1);
}

bool connected() {
    return B().context != nullptr && pa_context_get_state(B().context) == PA_CONTEXT_READY;
}

}  // namespace pulse_binding

namespace {

using namespace pulse_binding;

class PulseTapDescription final : public hal::TapDescription {
public:
    explicit PulseTapDescription(std::vector<ObjectID> excluded) : excluded_(std::move(excluded)) {}
    // A monitor recording has no name of its own and is always private to
    // its recorder: name and privacy change nothing here.
    void setName(const std::string&) override {}
    void setUUID(const std::string& uuid) override { uuid_ = uuid; }
    void setPrivate(bool) override {}
    void setMuteBehavior(std::int32_t behavior) override { mute_ = behavior; }
    std::string uuid() const override { return uuid_; }

    const std::vector<ObjectID>& excluded() const { return excluded_; }
    std::int32_t muteBehavior() const { return mute_; }

private:
    std::vector<ObjectID> excluded_;
    std::string uuid_;
    std::int32_t mute_ = 0;
};

// Holds the mainloop lock, if there is a loop, for the rest of a hal call.
class Locked {
public:
    Locked() : loop_(B().loop) {
        if (loop_) pa_threaded_mainloop_lock(loop_);
    }
    ~Locked() {
        if (loop_) pa_threaded_mainloop_unlock(loop_);
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

void onContextState(pa_context* c, void*) {
    const auto state = pa_context_get_state(c);
    if (state == PA_CONTEXT_READY) B().contextReady = true;
    // A connection that never came up is reported by connect() itself.
    if (!PA_CONTEXT_IS_GOOD(state) && B().contextReady) reportFailure();
    signalWaiters();
}

// Closes the connection and ends the mainloop thread. Callers hold no lock.
void releaseConnection() {
    auto& b = B();
    if (b.loop == nullptr) return;
    pa_threaded_mainloop_lock(b.loop);
    if (b.context) {
        pa_context_set_state_callback(b.context, nullptr, nullptr);
        pa_context_disconnect(b.context);
        pa_context_unref(b.context);
        b.context = nullptr;
    }
    b.contextReady = false;
    b.subscribed = false;
    pa_threaded_mainloop_unlock(b.loop);
    pa_threaded_mainloop_free(b.loop);  // stops and joins the thread first
    b.loop = nullptr;
}

void releaseIfUnused() {
    if (B().taps.empty() && B().aggregates.empty()) releaseConnection();
}

// Opens the server connection if there is none. Main thread, no lock held.
OSStatus connect() {
    auto& b = B();
    if (b.context) return connected() ? hal::kNoError : hal::kNotRunningError;
    if (b.failPipe[0] < 0 && ::pipe2(b.failPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return hal::kUnspecifiedError;
    }
    // A failure of an earlier connection is not one of this connection.
    char stale[16];
    while (::read(b.failPipe[0], stale, sizeof stale) > 0) {
    }
    b.loop = pa_threaded_mainloop_new();
    if (b.loop == nullptr) return hal::kUnspecifiedError;
    pa_threaded_mainloop_set_name(b.loop, "mirvo-capture");
    b.context = pa_context_new(pa_threaded_mainloop_get_api(b.loop), "mirvo-sck-audio");
    if (b.context == nullptr) {
        releaseConnection();
        return hal::kUnspecifiedError;
    }
    pa_context_set_state_callback(b.context, onContextState, nullptr);
    // Never start a server of our own: no server means no capture.
    if (pa_context_connect(b.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        releaseConnection();
        return hal::kNotRunningError;
    }
    // The stop signals must keep reaching the main thread, whatever the
    // caller's mask is now.
    sigset_t stopSignals;
    sigset_t previous;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    const int started = pa_threaded_mainloop_start(b.loop);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (started < 0) {
        releaseConnection();
        return hal::kUnspecifiedError;
    }
    pa_threaded_mainloop_lock(b.loop);
    for (;;) {
        const auto state = pa_context_get_state(b.context);
        if (state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state)) break;
        pa_threaded_mainloop_wait(b.loop);
    }
    const bool ready = connected();
    pa_threaded_mainloop_unlock(b.loop);
    if (!ready) {
        releaseConnection();
        return hal::kNotRunningError;
    }
    return hal::kNoError;
}

// Waits for a server request to finish. Lock held; false if it did not.
bool await(pa_operation* op) {
    if (op == nullptr) return false;
    pa_operation_set_state_callback(op, [](pa_operation*, void*) { signalWaiters(); }, nullptr);
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(B().loop);
    const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    pa_operation_unref(op);
    return done;
}

struct SinkInfo {
    bool found = false;
    std::string monitor;
    std::uint32_t rate = 0;
};

// Looks a sink up by name. Lock held, connected.
OSStatus querySink(const std::string& name, SinkInfo* out) {
    auto* op = pa_context_get_sink_info_by_name(
        B().context, name.c_str(),
        [](pa_context*, const pa_sink_info* i, int, void* u) {
            auto* info = static_cast<SinkInfo*>(u);
            if (i != nullptr && !info->found) {
                info->found = true;
                info->monitor = i->monitor_source_name ? i->monitor_source_name : "";
                info->rate = i->sample_spec.rate;
            }
        },
        out);
    // An unknown name ends the request with an error, not with a failure of
    // the connection.
    (void)await(op);
    if (!connected()) return hal::kNotRunningError;
    return out->found && !out->monitor.empty() ? hal::kNoError : hal::kBadDeviceError;
}

// The default sink's name, empty if the server has none. Lock held.
OSStatus queryDefaultSink(std::string* out) {
    auto* op = pa_context_get_server_info(
        B().context,
        [](pa_context*, const pa_server_info* i, void* u) {
            if (i != nullptr && i->default_sink_name != nullptr) {
                *static_cast<std::string*>(u) = i->default_sink_name;
            }
        },
        out);
    if (!await(op) || !connected()) return hal::kNotRunningError;
    return hal::kNoError;
}

ObjectID deviceIDFor(const std::string& sinkName) {
    auto& b = B();
    auto [it, inserted] = b.devices.try_emplace(sinkName, 0);
    if (inserted) it->second = b.nextID++;
    return it->second;
}

const std::string* deviceName(ObjectID id) {
    for (const auto& [name, device] : B().devices) {
        if (device == id) return &name;
    }
    return nullptr;
}

Aggregate* findAggregate(ObjectID id) {
    auto it = B().aggregates.find(id);
    return it == B().aggregates.end() ? nullptr : it->second.get();
}

hal::IOProcRegistration* findRegistration(Aggregate& agg, hal::IOProcID id) {
    for (auto& r : agg.procs) {
        if (r.get() == id) return r.get();
    }
    return nullptr;
}

bool knownObject(ObjectID id) {
    return id == hal::kSystemObject || B().taps.count(id) != 0 || findAggregate(id) != nullptr ||
           deviceName(id) != nullptr;
}

bool globalMain(const hal::PropertyAddress& a) {
    return a.scope == hal::kScopeGlobal && a.element == hal::kElementMain;
}

// --- the aggregate description ------------------------------------------------

const hal::PlistValue* entry(const hal::PlistDict& d, std::string_view key) {
    for (const auto& [k, v] : d) {
        if (k == key) return &v;
    }
    return nullptr;
}

const std::string* stringAt(const hal::PlistDict& d, std::string_view key) {
    const auto* v = entry(d, key);
    return v ? std::get_if<std::string>(&v->v) : nullptr;
}

// The entries of an array of dictionaries, or null if the value is
// something else. A missing key gives an empty list.
bool dictsAt(const hal::PlistDict& d, std::string_view key, std::vector<const hal::PlistDict*>* out) {
    const auto* v = entry(d, key);
    if (v == nullptr) return true;
    const auto* array = std::get_if<hal::PlistArray>(&v->v);
    if (array == nullptr) return false;
    for (const auto& item : *array) {
        const auto* dict = std::get_if<hal::PlistDict>(&item.v);
        if (dict == nullptr) return false;
        out->push_back(dict);
    }
    return true;
}

}  // namespace

namespace hal {

using namespace pulse_binding;

std::unique_ptr<TapDescription> makeStereoGlobalTapButExcludeProcesses(
    const std::vector<ObjectID>& excluded) {
    return std::make_unique<PulseTapDescription>(excluded);
}

std::string newUUIDString() { return randomUUIDString(); }

OSStatus createProcessTap(TapDescription& description, ObjectID* outTap) {
    if (const auto s = connect(); s != kNoError) return s;
    const auto& d = static_cast<PulseTapDescription&>(description);
    OSStatus status = kNoError;
    {
        Locked lock;
        const bool duplicate = std::any_of(B().taps.begin(), B().taps.end(),
                                           [&](const auto& t) { return t.second.uuid == d.uuid(); });
        if (!d.excluded().empty() || d.muteBehavior() != 0) {
            status = kUnsupportedOperationError;
        } else if (d.uuid().empty() || duplicate) {
            status = kParamError;
        } else {
            const ObjectID id = B().nextID++;
            B().taps.emplace(id, Tap{d.uuid()});
            *outTap = id;
        }
    }
    releaseIfUnused();
    return status;
}

OSStatus destroyProcessTap(ObjectID tap) {
    {
        Locked lock;
        if (B().taps.count(tap) == 0) return kBadObjectError;
        for (const auto& [id, agg] : B().aggregates) {
            if (agg->tap == tap) return kIllegalOperationError;
        }
        B().taps.erase(tap);
    }
    releaseIfUnused();
    return kNoError;
}

OSStatus getPropertyObjectID(ObjectID object, const PropertyAddress& address, ObjectID* out) {
    {
        Locked lock;
        if (!knownObject(object)) return kBadObjectError;
        if (object != kSystemObject || address.selector != kDefaultOutputDevice ||
            !globalMain(address)) {
            return kUnknownPropertyError;
        }
    }
    if (const auto s = connect(); s != kNoError) return s;
    OSStatus status;
    {
        Locked lock;
        std::string name;
        SinkInfo info;
        status = queryDefaultSink(&name);
        if (status == kNoError) status = name.empty() ? kBadDeviceError : querySink(name, &info);
        if (status == kNoError) *out = deviceIDFor(name);
    }
    releaseIfUnused();
    return status;
}

OSStatus getPropertyString(ObjectID object, const PropertyAddress& address,
                           std::optional<std::string>* out) {
    Locked lock;
    if (!knownObject(object)) return kBadObjectError;
    if (address.selector != kDeviceUID || !globalMain(address)) return kUnknownPropertyError;
    if (const auto* agg = findAggregate(object)) {
        *out = agg->uid;
        return kNoError;
    }
    if (const auto* name = deviceName(object)) {
        *out = *name;
        return kNoError;
    }
    return kUnknownPropertyError;  // the system object and taps have no device UID
}

OSStatus setPropertyFloat64(ObjectID object, const PropertyAddress& address, double value) {
    Locked lock;
    if (!knownObject(object)) return kBadObjectError;
    Aggregate* agg = findAggregate(object);
    if (agg == nullptr || address.selector != kNominalSampleRate || !globalMain(address)) {
        return kUnknownPropertyError;
    }
    if (!(value >= 1.0 && value <= double(PA_RATE_MAX)) || value != std::floor(value)) {
        return kUnsupportedFormatError;
    }
    const auto rate = static_cast<std::uint32_t>(value);
    // A rate that can change under a running stream would cost a resampler
    // on every recording, even at the sink's own rate.
    if (agg->timeline && rate != agg->rate) return kIllegalOperationError;
    agg->rate = rate;
    return kNoError;
}

OSStatus createAggregateDevice(const PlistDict& description, ObjectID* outDevice) {
    const std::string* uid = stringAt(description, "uid");
    const std::string* master = stringAt(description, "master");
    const std::string* name = stringAt(description, "name");
    std::vector<const PlistDict*> subdevices;
    std::vector<const PlistDict*> tapEntries;
    if (uid == nullptr || uid->empty() || master == nullptr || entry(description, "taps") == nullptr ||
        (entry(description, "name") != nullptr && name == nullptr) ||
        !dictsAt(description, "subdevices", &subdevices) ||
        !dictsAt(description, "taps", &tapEntries)) {
        return kParamError;
    }
    std::vector<std::string> sinks{*master};
    for (const auto* d : subdevices) {
        const auto* s = stringAt(*d, "uid");
        if (s == nullptr) return kParamError;
        sinks.push_back(*s);
    }
    std::vector<std::string> tapUIDs;
    for (const auto* d : tapEntries) {
        const auto* s = stringAt(*d, "uid");
        if (s == nullptr) return kParamError;
        tapUIDs.push_back(*s);
    }

    if (const auto s = connect(); s != kNoError) return s;
    OSStatus status = kNoError;
    {
        Locked lock;
        auto agg = std::make_unique<Aggregate>();
        for (const auto& [id, other] : B().aggregates) {
            if (other->uid == *uid) status = kIllegalOperationError;
        }
        // Every tap records the same thing, the master's monitor: the first
        // one is the aggregate's input.
        for (const auto& tapUID : tapUIDs) {
            if (status != kNoError) break;
            const auto it = std::find_if(B().taps.begin(), B().taps.end(),
                                         [&](const auto& t) { return t.second.uuid == tapUID; });
            if (it == B().taps.end()) {
                status = kBadObjectError;
            } else if (agg->tap == 0) {
                agg->tap = it->first;
            }
        }
        if (status == kNoError && tapUIDs.empty()) status = kUnsupportedOperationError;
        for (std::size_t i = 0; i < sinks.size() && status == kNoError; ++i) {
            SinkInfo info;
            status = querySink(sinks[i], &info);
            if (status == kNoError && i == 0) {
                agg->sink = sinks[i];
                agg->monitor = info.monitor;
                agg->rate = info.rate;
            }
        }
        if (status == kNoError) {
            agg->id = B().nextID++;
            agg->uid = *uid;
            agg->name = name ? *name : *uid;
            *outDevice = agg->id;
            B().aggregates.emplace(agg->id, std::move(agg));
        }
    }
    releaseIfUnused();
    return status;
}

OSStatus destroyAggregateDevice(ObjectID device) {
    {
        Locked lock;
        Aggregate* agg = findAggregate(device);
        if (agg == nullptr) return kBadDeviceError;
        {
            std::lock_guard<std::mutex> io(agg->ioMutex);
            for (auto& r : agg->procs) r->started = false;
        }
        stopStream(*agg);
        B().aggregates.erase(device);
    }
    releaseIfUnused();
    return kNoError;
}

// Once the IO thread has let go of its mutex, this proc is not running and
// will not run again; the recording ends once no proc of the device runs.
static void stopProc(Aggregate& agg, IOProcID id) {
    {
        std::lock_guard<std::mutex> io(agg.ioMutex);
        id->started = false;
    }
    if (std::none_of(agg.procs.begin(), agg.procs.end(), [](const auto& r) { return r->started; })) {
        stopStream(agg);
    }
}

// The aggregate device that has `id` registered, or the status that says why
// there is none. Mainloop lock held.
static OSStatus findRegistered(ObjectID device, IOProcID id, Aggregate** out) {
    *out = findAggregate(device);
    if (*out == nullptr) return kBadDeviceError;
    if (findRegistration(**out, id) == nullptr) return kIllegalOperationError;
    return kNoError;
}

OSStatus createIOProcID(ObjectID device, IOProc proc, void* clientData, IOProcID* outID) {
    Locked lock;
    Aggregate* agg = findAggregate(device);
    if (agg == nullptr) return kBadDeviceError;
    if (proc == nullptr) return kParamError;
    std::lock_guard<std::mutex> io(agg->ioMutex);
    agg->procs.push_back(std::make_unique<IOProcRegistration>(IOProcRegistration{proc, clientData}));
    *outID = agg->procs.back().get();
    return kNoError;
}

OSStatus destroyIOProcID(ObjectID device, IOProcID id) {
    Locked lock;
    Aggregate* agg = nullptr;
    if (const auto s = findRegistered(device, id, &agg); s != kNoError) return s;
    stopProc(*agg, id);
    std::lock_guard<std::mutex> io(agg->ioMutex);
    std::erase_if(agg->procs, [&](const auto& r) { return r.get() == id; });
    return kNoError;
}

OSStatus deviceStart(ObjectID device, IOProcID id) {
    Locked lock;
    Aggregate* agg = nullptr;
    if (const auto s = findRegistered(device, id, &agg); s != kNoError) return s;
    if (!connected()) return kNotRunningError;
    if (agg->timeline && agg->lost) return kBadStreamError;  // it failed under a running proc
    if (!agg->timeline) {
        if (const auto s = startStream(*agg); s != kNoError) return s;
    }
    std::lock_guard<std::mutex> io(agg->ioMutex);
    id->started = true;
    return kNoError;
}

OSStatus deviceStop(ObjectID device, IOProcID id) {
    Locked lock;
    Aggregate* agg = nullptr;
    if (const auto s = findRegistered(device, id, &agg); s != kNoError) return s;
    stopProc(*agg, id);
    return kNoError;
}

OSStatus runMainLoop(int wakeFd) {
    // The mainloop thread does the work; this thread only waits for the
    // wake-up or for the capture to fail underneath us. A wake-up wins.
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {B().failPipe[0], POLLIN, 0}};
    for (;;) {
        const int r = ::poll(fds, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || (fds[0].revents & (POLLIN | POLLHUP)) != 0) return kNoError;
        return kNotRunningError;
    }
}

}  // namespace hal
