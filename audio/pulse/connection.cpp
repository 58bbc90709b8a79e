// The Linux binding's connection to the sound server: one threaded mainloop
// ("mirvo-capture") and its context, opened by the first hal call that needs
// them and closed once no tap and no aggregate device is left, and the server
// queries the object model makes (a sink by name, the default sink); and
// runMainLoop, which waits for the program's wake-up or the connection's
// failure.
//
// Threads: connect(), releaseConnection() and runMainLoop run on the main
// thread without the mainloop lock; everything else here is called with it held. The
// context's state callback runs on the mainloop thread.
#include "binding.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include "signals.h"

namespace hal::pulse {
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


static void onContextState(pa_context* c, void*) {
    const auto state = pa_context_get_state(c);
    if (state == PA_CONTEXT_READY) B().contextReady = true;
    // A connection that never came up is reported by connect() itself.
    if (!PA_CONTEXT_IS_GOOD(state) && B().contextReady) reportFailure();
    signalWaiters();
}

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
    const sigset_t stopSignals = common::stopSignals();
    sigset_t previous;
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

bool await(pa_operation* op) {
    if (op == nullptr) return false;
    pa_operation_set_state_callback(op, [](pa_operation*, void*) { signalWaiters(); }, nullptr);
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(B().loop);
    const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    pa_operation_unref(op);
    return done;
}

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

}  // namespace hal::pulse

namespace hal {

OSStatus runMainLoop(int wakeFd) {
    // The mainloop thread does the work; this thread only waits for the
    // wake-up or for the capture to fail underneath us. A wake-up wins.
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {pulse::B().failPipe[0], POLLIN, 0}};
    for (;;) {
        const int r = ::poll(fds, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || (fds[0].revents & (POLLIN | POLLHUP)) != 0) return kNoError;
        return kNotRunningError;
    }
}

}  // namespace hal
