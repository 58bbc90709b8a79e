// Linux binding of hal.h: a recording of the default sink of a server that
// speaks the PulseAudio protocol (PulseAudio, or PipeWire's pipewire-pulse).
//
//   process tap        a registered UUID; it stands for everything the default
//                      sink plays (its monitor source), which keeps playing
//   output device      a sink; its 'uid ' is the sink's name
//   aggregate device   a clock (timeline.h) fed by float32 stereo
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
// The statuses each call reports, by condition, are listed in hal_status.md
// beside hal.h.
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
#include <cmath>
#include <map>
#include <mutex>
#include <string_view>

#include <pulse/pulseaudio.h>

#include "binding.h"
#include "uuid.h"

namespace hal::pulse {

namespace {

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

}  // namespace hal::pulse

namespace hal {

using namespace pulse;

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
            B().taps.emplace(id, ProcessTap{d.uuid()});
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

// stopProc on the proc `id` of `device`, or findRegistered's status when it
// has none; *out receives the device. Mainloop lock held.
static OSStatus stopRegistered(ObjectID device, IOProcID id, Aggregate** out) {
    if (const auto s = findRegistered(device, id, out); s != kNoError) return s;
    stopProc(**out, id);
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
    if (const auto s = stopRegistered(device, id, &agg); s != kNoError) return s;
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
    return stopRegistered(device, id, &agg);
}

}  // namespace hal
