// The Linux binding's shared state, between its parts: objects.cpp (the Core
// Audio object model over libpulse: objects and properties), connection.cpp
// (the server connection and its queries) and stream.cpp (the recordings, the
// clock and the IO thread of a running aggregate device, following the
// default sink).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <pulse/pulseaudio.h>

#include "hal.h"
#include "timeline.h"

namespace hal {

struct IOProcRegistration {
    IOProc proc;
    void* clientData;
    bool started = false;
};

}  // namespace hal

namespace hal::pulse {

struct ProcessTap {
    std::string uuid;
};

// One recording stream of a sink's monitor, on the aggregate's timeline.
// Touched by the hal calls (main thread) and the stream callbacks (mainloop
// thread), always under the mainloop lock.
struct Recording {
    ObjectID aggregate = 0;
    std::string sink;
    std::uint32_t sinkIndex = PA_INVALID_INDEX;
    pa_stream* stream = nullptr;  // null once dropped
    Feed feed;
    bool stopping = false;  // a FAILED state now is ours, not the server's
};

// Threads: the main thread (hal calls) and the mainloop thread (callbacks)
// touch everything under the mainloop lock, except what the IO thread uses:
// procs and each registration's started flag (changed by the main thread
// under ioMutex, read by the IO thread under it), ioStop and ioWake (under
// ioMutex), and the timeline (its own mutex guards the slots).
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
    std::unique_ptr<Timeline> timeline;
    std::map<std::string, std::unique_ptr<Recording>> recordings;
    std::string heard;
    std::string wanted;
    bool lost = false;
    std::thread io;
    std::mutex ioMutex;  // held by the IO thread while it calls the procs
    std::condition_variable ioWake;
    bool ioStop = false;
    bool stopping = false;  // the server's callbacks leave it alone
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
    std::map<ObjectID, ProcessTap> taps;
    std::map<ObjectID, std::unique_ptr<Aggregate>> aggregates;  // stable addresses for callbacks
    std::map<std::string, ObjectID> devices;                    // sink name -> ID, stable per run
};

// The binding's state; the mainloop lock guards it.
Binding& B();
// Wakes the hal calls waiting on the mainloop (pa_threaded_mainloop_wait).
void signalWaiters();
// Makes runMainLoop return: the capture cannot go on.
void reportFailure();
bool connected();

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

struct SinkInfo {
    bool found = false;
    std::string monitor;
    std::uint32_t rate = 0;
};


// Opens the server connection if there is none (main thread, no lock held);
// closes it, or closes it once no tap and no aggregate is left (no lock held).
OSStatus connect();
void releaseConnection();
void releaseIfUnused();
// Waits for a server request to finish. Lock held; false if it did not.
bool await(pa_operation* op);
// Looks a sink up by name; the default sink's name, empty if the server has
// none. Lock held, connected.
OSStatus querySink(const std::string& name, SinkInfo* out);
OSStatus queryDefaultSink(std::string* out);

// Starts the clock, the recordings and the IO thread of an aggregate device;
// stops them all. Lock held, connected.
OSStatus startStream(Aggregate& agg);
void stopStream(Aggregate& agg);

}  // namespace hal::pulse
