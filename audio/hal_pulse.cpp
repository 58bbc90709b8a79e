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

#include "pulse_timeline.h"
#include "uuid.h"

namespace hal {

struct IOProcRegistration {
    IOProc proc;
    void* clientData;
    bool started = false;
};

}  // namespace hal

namespace {

using hal::ObjectID;
using hal::OSStatus;

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

struct Tap {
    std::string uuid;
};

// One recording stream of a sink's monitor, on the aggregate's timeline.
struct Recording {
    ObjectID aggregate = 0;
    std::string sink;
    std::uint32_t sinkIndex = PA_INVALID_INDEX;
    pa_stream* stream = nullptr;  // null once dropped
    pulse_clock::Feed feed;
    bool stopping = false;  // a FAILED state now is ours, not the server's
};

struct Aggregate {
    ObjectID id = 0;
    std::string uid;
    std::string name;
    std::string sink;     // the master sink
    std::string monitor;  // its monitor, heard first
    ObjectID tap = 0;
    std::uint32_t rate = 48000;
    std::vector<std::unique_ptr<hal::IOProcRegistration>> procs;  // changed under ioMutex
    // While running: the clock, one recording per sink (by name), the sink
    // heard, the new default sink until its recording delivers, and whether
    // the recording heard has failed.
    std::unique_ptr<pulse_clock::Timeline> timeline;
    std::map<std::string, std::unique_ptr<Recording>> recordings;
    std::string heard;
    std::string wanted;
    bool lost = false;
    std::thread io;
    std::mutex ioMutex;  // held by the IO thread while it calls the procs
    std::condition_variable ioWake;
    bool ioStop = false;
};

// Process-wide binding state. Never destroyed: exit() may run while the
// mainloop thread still exists, and it must not find freed tables.
struct Binding {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    bool contextReady = false;
    bool subscribed = false;  // to server events, on this connection
    int failPipe[2] = {-1, -1};  // readable once the server or a stream failed
    ObjectID nextID = 0x100;
    std::map<ObjectID, Tap> taps;
    std::map<ObjectID, std::unique_ptr<Aggregate>> aggregates;  // stable addresses for callbacks
    std::map<std::string, ObjectID> devices;                    // sink name -> ID, stable per run
};

Binding& B() {
    static Binding* b = new Binding;
    return *b;
}

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

void signalWaiters() { pa_threaded_mainloop_signal(B().loop, 0); }

// Makes runMainLoop return: the capture cannot go on.
void reportFailure() {
    if (B().failPipe[1] < 0) return;
    const char b = 1;
    (void)!::write(B().failPipe[1], &b, 1);
}

void onContextState(pa_context* c, void*) {
    const auto state = pa_context_get_state(c);
    if (state == PA_CONTEXT_READY) B().contextReady = true;
    // A connection that never came up is reported by connect() itself.
    if (!PA_CONTEXT_IS_GOOD(state) && B().contextReady) reportFailure();
    signalWaiters();
}

bool connected() {
    return B().context != nullptr && pa_context_get_state(B().context) == PA_CONTEXT_READY;
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

// --- the recordings -------------------------------------------------------------

constexpr double kCycleSeconds = 0.020;

// pa_timing_info's timestamp is on the real-time clock; the timeline runs on
// the monotonic one.
double monotonicFrom(const timeval& tv) {
    timespec real{};
    ::clock_gettime(CLOCK_REALTIME, &real);
    const double now = pulse_clock::monotonicNow();
    const double ago = double(real.tv_sec - tv.tv_sec) + double(real.tv_nsec / 1000 - tv.tv_usec) * 1e-6;
    return std::abs(ago) < 1.0 ? now - ago : now;
}

Aggregate* aggregateOf(const Recording& rec) {
    auto it = B().aggregates.find(rec.aggregate);
    return it == B().aggregates.end() ? nullptr : it->second.get();
}

Recording* recordingOf(Aggregate& agg, const std::string& sink) {
    auto it = agg.recordings.find(sink);
    return it == agg.recordings.end() || it->second->stopping ? nullptr : it->second.get();
}

// A new timing update: when the recording's frame 0 was played. The server's
// write index (what it has recorded into the stream) plus what its source
// still holds is where recording stands at the update's time; a monitor is
// corrected back by the sink's latency (what the sink has rendered but not
// yet played). While a sink is suspended nothing is recorded, so the origin
// moves on with the clock: that is how a suspension shows.
void onTiming(pa_stream* s, void* u) {
    auto& rec = *static_cast<Recording*>(u);
    Aggregate* agg = aggregateOf(rec);
    const pa_timing_info* ti = pa_stream_get_timing_info(s);
    if (agg == nullptr || !agg->timeline || ti == nullptr || ti->write_index_corrupt) return;
    const double bytesPerSecond = double(agg->rate) * 8;
    const double recorded = double(ti->write_index) / bytesPerSecond +
                            (double(ti->source_usec) + double(ti->transport_usec) -
                             double(ti->sink_usec)) * 1e-6;
    agg->timeline->retime(rec.feed, monotonicFrom(ti->timestamp) - recorded);
}

// Ends a recording without waiting for the server. Lock held.
void dropRecording(Aggregate& agg, Recording& rec) {
    rec.stopping = true;
    if (agg.timeline) agg.timeline->detach(rec.feed);
    pa_stream_set_read_callback(rec.stream, nullptr, nullptr);
    pa_stream_set_state_callback(rec.stream, nullptr, nullptr);
    pa_stream_set_latency_update_callback(rec.stream, nullptr, nullptr);
    if (pa_stream_get_state(rec.stream) == PA_STREAM_READY) pa_stream_disconnect(rec.stream);
    pa_stream_unref(rec.stream);
    rec.stream = nullptr;
}

// From `at` on, the default sink's recording is heard.
void hearDefault(Aggregate& agg, Recording& next, std::int64_t at) {
    if (auto heard = agg.recordings.find(agg.heard); heard != agg.recordings.end()) {
        agg.timeline->handOver(heard->second->feed, next.feed, at);
    } else {
        agg.timeline->handOver(next.feed, next.feed, at);
    }
    agg.heard = next.sink;
    agg.wanted.clear();
}

void onRead(pa_stream* s, std::size_t, void* u) {
    auto& rec = *static_cast<Recording*>(u);
    Aggregate* agg = aggregateOf(rec);
    if (agg == nullptr || !agg->timeline) return;
    for (;;) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) break;
        // A hole (no data, but a length) is silence in its slots.
        if (!agg->timeline->write(rec.feed, static_cast<const float*>(data), bytes / 8)) {
            if (pa_operation* op = pa_stream_update_timing_info(s, nullptr, nullptr)) {
                pa_operation_unref(op);
            }
        }
        // The new default sink's first frames: heard from where they start.
        if (agg->wanted == rec.sink && data != nullptr) {
            hearDefault(*agg, rec, agg->timeline->nextSlot(rec.feed) - std::int64_t(bytes / 8));
        }
        pa_stream_drop(s);
    }
}

void askDefaultSink();

void onStreamState(pa_stream* s, void* u) {
    auto& rec = *static_cast<Recording*>(u);
    Aggregate* agg = aggregateOf(rec);
    if (pa_stream_get_state(s) == PA_STREAM_FAILED && !rec.stopping && agg != nullptr) {
        rec.stopping = true;
        // The sink heard is gone: the capture goes on with the server's
        // new default sink if there is one it records, and is lost if not.
        if (agg->heard == rec.sink) {
            agg->lost = true;
            askDefaultSink();
        }
    }
    signalWaiters();
}

// A float32 stereo recording of a sink's monitor at the aggregate's rate,
// connecting, on the aggregate's timeline. Lock held, connected. Null if the
// server refused it. A recording kept ready beside the one heard does not
// keep its sink from suspending when idle.
Recording* openRecording(Aggregate& agg, const std::string& sink, std::uint32_t sinkIndex,
                         const std::string& monitor, bool standby) {
    auto owned = std::make_unique<Recording>();
    Recording& rec = *owned;
    rec.aggregate = agg.id;
    rec.sink = sink;
    rec.sinkIndex = sinkIndex;
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, agg.rate, 2};
    pa_channel_map map;
    pa_channel_map_init_stereo(&map);
    rec.stream = pa_stream_new(B().context, agg.name.c_str(), &spec, &map);
    if (rec.stream == nullptr) return nullptr;
    pa_stream_set_state_callback(rec.stream, onStreamState, &rec);
    pa_stream_set_read_callback(rec.stream, onRead, &rec);
    pa_stream_set_latency_update_callback(rec.stream, onTiming, &rec);
    // Without an explicit fragment size the server hands over ~2 s chunks;
    // 20 ms ones match the IO cycle.
    pa_buffer_attr attr;
    attr.maxlength = UINT32_MAX;
    attr.tlength = UINT32_MAX;
    attr.prebuf = UINT32_MAX;
    attr.minreq = UINT32_MAX;
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(20 * PA_USEC_PER_MSEC, &spec));
    // Timing updates come by themselves (often at first, then about once a
    // second, and again after a suspension); the stream stays on its sink.
    auto flags = PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE | PA_STREAM_AUTO_TIMING_UPDATE;
    if (standby) flags |= PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND;
    agg.timeline->attach(rec.feed);
    if (pa_stream_connect_record(rec.stream, monitor.c_str(), &attr,
                                 static_cast<pa_stream_flags_t>(flags)) < 0) {
        dropRecording(agg, rec);
        return nullptr;
    }
    if (auto old = agg.recordings.find(sink); old != agg.recordings.end() && old->second->stream) {
        dropRecording(agg, *old->second);
    }
    agg.recordings[sink] = std::move(owned);
    return &rec;
}

// --- following the default sink -------------------------------------------------

void forRunning(const std::function<void(Aggregate&)>& f) {
    for (auto& [id, agg] : B().aggregates) {
        if (agg->timeline) f(*agg);
    }
}

// A sink appeared (or was there at the start): it is recorded, ready to be
// heard once it becomes the default.
void onSinkInfo(pa_context*, const pa_sink_info* s, int, void*) {
    if (s == nullptr || s->monitor_source_name == nullptr) return;
    forRunning([&](Aggregate& agg) {
        if (recordingOf(agg, s->name) != nullptr) return;
        Recording* rec = openRecording(agg, s->name, s->index, s->monitor_source_name,
                                       agg.wanted != s->name);
        if (rec == nullptr && agg.wanted == s->name) agg.wanted.clear();
    });
}

// The server's default sink, perhaps a new one: its recording is heard from
// now on if it has been delivering, else from its first frames.
void onServerInfo(pa_context* c, const pa_server_info* i, void*) {
    const std::string name = i != nullptr && i->default_sink_name ? i->default_sink_name : "";
    forRunning([&](Aggregate& agg) {
        Recording* next = recordingOf(agg, name);
        if (agg.lost && (next == nullptr || name == agg.heard)) {
            reportFailure();
            return;
        }
        agg.lost = false;
        if (name.empty() || name == agg.heard) {
            agg.wanted.clear();
            return;
        }
        if (next != nullptr && next->feed.started) {
            hearDefault(agg, *next, agg.timeline->slotNow());
            return;
        }
        agg.wanted = name;
        if (next == nullptr) {
            if (pa_operation* op = pa_context_get_sink_info_by_name(c, name.c_str(), onSinkInfo, nullptr)) {
                pa_operation_unref(op);
            }
        }
    });
}

void askDefaultSink() {
    if (pa_operation* op = pa_context_get_server_info(B().context, onServerInfo, nullptr)) {
        pa_operation_unref(op);
    }
}

void onServerEvent(pa_context* c, pa_subscription_event_type_t t, std::uint32_t index, void*) {
    const auto facility = t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto type = t & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        askDefaultSink();
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK && type == PA_SUBSCRIPTION_EVENT_NEW) {
        if (pa_operation* op = pa_context_get_sink_info_by_index(c, index, onSinkInfo, nullptr)) {
            pa_operation_unref(op);
        }
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK && type == PA_SUBSCRIPTION_EVENT_REMOVE) {
        forRunning([&](Aggregate& agg) {
            for (auto& [sink, rec] : agg.recordings) {
                if (rec->sinkIndex == index && sink != agg.heard && rec->stream) dropRecording(agg, *rec);
            }
        });
    }
}

// --- running --------------------------------------------------------------------

// How long a stop waits for the server to confirm that the recordings are
// gone. A server that answers does so in milliseconds; one that is stopped
// or stalled would otherwise hold the teardown up until libpulse's request
// time-out (30 s). Giving up is safe: the read callbacks are already off,
// and the recordings end on the server with the connection at the latest.
constexpr pa_usec_t kStopWait = 500 * PA_USEC_PER_MSEC;

// Ends the IO thread, then every recording, waiting (at most kStopWait)
// until the server has dropped them. Lock held.
void stopStream(Aggregate& agg) {
    if (agg.io.joinable()) {
        {
            std::lock_guard<std::mutex> l(agg.ioMutex);
            agg.ioStop = true;
        }
        agg.ioWake.notify_all();
        agg.io.join();
    }
    std::vector<pa_stream*> waiting;
    for (auto& [sink, rec] : agg.recordings) {
        if (!rec->stream) continue;
        rec->stopping = true;
        pa_stream_set_read_callback(rec->stream, nullptr, nullptr);
        pa_stream_set_latency_update_callback(rec->stream, nullptr, nullptr);
        if (pa_stream_get_state(rec->stream) == PA_STREAM_READY && pa_stream_disconnect(rec->stream) == 0) {
            waiting.push_back(rec->stream);
        }
    }
    if (!waiting.empty()) {
        bool late = false;
        pa_time_event* timer = pa_context_rttime_new(
            B().context, pa_rtclock_now() + kStopWait,
            [](pa_mainloop_api*, pa_time_event*, const timeval*, void* u) {
                *static_cast<bool*>(u) = true;
                signalWaiters();
            },
            &late);
        const auto ready = [](pa_stream* s) { return pa_stream_get_state(s) == PA_STREAM_READY; };
        while (std::any_of(waiting.begin(), waiting.end(), ready) && !late && timer != nullptr) {
            pa_threaded_mainloop_wait(B().loop);
        }
        if (timer != nullptr) pa_threaded_mainloop_get_api(B().loop)->time_free(timer);
    }
    for (auto& [sink, rec] : agg.recordings) {
        if (rec->stream) dropRecording(agg, *rec);
    }
    agg.recordings.clear();
    agg.timeline.reset();
    agg.heard.clear();
    agg.wanted.clear();
    agg.lost = false;
}

// The IO thread: one cycle of the timeline every 20 ms of the monotonic
// clock, handed to every started IO proc.
void ioLoop(Aggregate* agg) {
    auto& timeline = *agg->timeline;
    const std::uint32_t frames = timeline.cycleFrames();
    std::vector<float> cycle(std::size_t(frames) * 2);
    std::unique_lock<std::mutex> l(agg->ioMutex);
    for (;;) {
        const auto due = std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(timeline.nextDue())));
        agg->ioWake.wait_until(l, due, [&] { return agg->ioStop; });
        if (agg->ioStop) return;
        if (std::chrono::steady_clock::now() < due) continue;
        timeline.take(cycle.data());
        hal::AudioBufferList list{};
        list.mNumberBuffers = 1;
        list.mBuffers[0].mNumberChannels = 2;
        list.mBuffers[0].mDataByteSize = frames * 8;
        list.mBuffers[0].mData = cycle.data();
        for (auto& r : agg->procs) {
            if (r->started) r->proc(agg->id, nullptr, &list, nullptr, nullptr, nullptr, r->clientData);
        }
    }
}

// Starts the clock, the recording of the master sink's monitor (heard from
// the start), recordings of the other sinks, and the IO thread. Lock held,
// connected.
OSStatus startStream(Aggregate& agg) {
    const auto cycle = static_cast<std::uint32_t>(std::lround(agg.rate * kCycleSeconds));
    agg.timeline = std::make_unique<pulse_clock::Timeline>(agg.rate, std::max<std::uint32_t>(cycle, 1));
    Recording* rec = openRecording(agg, agg.sink, PA_INVALID_INDEX, agg.monitor, false);
    OSStatus status = rec ? hal::kNoError : hal::kBadStreamError;
    if (rec != nullptr) {
        agg.heard = agg.sink;
        rec->stopping = true;  // a failure while connecting is reported by this call
        for (;;) {
            const auto state = pa_stream_get_state(rec->stream);
            if (state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state)) break;
            pa_threaded_mainloop_wait(B().loop);
        }
        rec->stopping = false;
        rec->sinkIndex = pa_stream_get_device_index(rec->stream);
        if (pa_stream_get_state(rec->stream) != PA_STREAM_READY) {
            status = connected() ? hal::kBadStreamError : hal::kNotRunningError;
        }
    }
    if (status == hal::kNoError) {
        // The IO thread leaves the stop signals to the main thread.
        sigset_t stopSignals;
        sigset_t previous;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
        agg.ioStop = false;
        try {
            agg.io = std::thread(ioLoop, &agg);
            pthread_setname_np(agg.io.native_handle(), "mirvo-io");
        } catch (const std::system_error&) {
            status = hal::kUnspecifiedError;
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    if (status != hal::kNoError) {
        stopStream(agg);
        return status;
    }
    // Server events say when sinks come and go and the default changes.
    if (!B().subscribed) {
        pa_context_set_subscribe_callback(B().context, onServerEvent, nullptr);
        const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER |
                                                               PA_SUBSCRIPTION_MASK_SINK);
        if (pa_operation* op = pa_context_subscribe(B().context, mask, nullptr, nullptr)) {
            pa_operation_unref(op);
        }
        B().subscribed = true;
    }
    if (pa_operation* op = pa_context_get_sink_info_list(B().context, onSinkInfo, nullptr)) {
        pa_operation_unref(op);
    }
    // A change while this was starting.
    askDefaultSink();
    return hal::kNoError;
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
