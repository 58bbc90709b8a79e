// The running side of the Linux binding: one recording per sink on the
// aggregate device's timeline, the IO thread that plays the timeline out to
// the IO procs, and the switch to a new default sink.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <ctime>
#include <functional>
#include <system_error>

#include <pthread.h>

#include "binding.h"
#include "signals.h"

namespace hal::pulse {

namespace {

// --- the recordings -------------------------------------------------------------

constexpr double kCycleSeconds = 0.020;

// pa_timing_info's timestamp is on the real-time clock; the timeline runs on
// the monotonic one.
double monotonicFrom(const timeval& tv) {
    timespec real{};
    ::clock_gettime(CLOCK_REALTIME, &real);
    const double now = monotonicNow();
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
        if (agg->timeline && !agg->stopping) f(*agg);
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

}  // namespace

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
    agg.stopping = true;
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
            waiting.push_back(pa_stream_ref(rec->stream));
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
    for (pa_stream* s : waiting) pa_stream_unref(s);
    for (auto& [sink, rec] : agg.recordings) {
        if (rec->stream) dropRecording(agg, *rec);
    }
    agg.recordings.clear();
    agg.timeline.reset();
    agg.heard.clear();
    agg.wanted.clear();
    agg.lost = false;
    agg.stopping = false;
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
    agg.timeline = std::make_unique<Timeline>(agg.rate, std::max<std::uint32_t>(cycle, 1));
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
        const sigset_t stopSignals = common::stopSignals();
        sigset_t previous;
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

}  // namespace hal::pulse
