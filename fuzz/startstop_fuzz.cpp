// Start and stop against the platform fake, in arbitrary interleavings with
// delivered frames, platform errors (at each of the four failure points and
// while stopping), exceptions from the platform, stop reports and any start
// arguments. Each start gets a pipe of its own; after every step the model
// says what each reader must see: the exact frame bytes, end of file, or a
// descriptor still open and the host's. At the end of an input everything
// is stopped, and no descriptor, stream or thread may be left over.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <sanitizer/common_interface_defs.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "capture_fake.h"
#include "fuzz_input.h"
#include "mirvo_sck.h"

namespace {

[[noreturn]] void fail(const std::string& what) {
    fuzzin::fail(("startstop_fuzz: " + what).c_str());
}

int countOpen(const char* dir) {
    int n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

// The host's end of one start's pipe.
struct Reader {
    int fd = -1;
    std::int64_t W = 0, H = 0;  // the frame size of that start
    std::string pending;        // bytes read but not yet accounted for
};

// Non-blocking read of everything there is; true at end of file.
bool drain(Reader& r) {
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(r.fd, buf, sizeof buf);
        if (n > 0) { r.pending.append(buf, static_cast<std::size_t>(n)); continue; }
        if (n == 0) return true;
        if (errno == EINTR) continue;
        return false;  // EAGAIN: writer still open, nothing more now
    }
}

// Waits (bounded: a guard against hangs) for end of file.
void expectEof(Reader& r, const char* when) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!drain(r)) {
        if (std::chrono::steady_clock::now() > deadline) fail(std::string("descriptor never closed ") + when);
        pollfd p{r.fd, POLLIN, 0};
        ::poll(&p, 1, 100);
    }
}

const char* kPoints[] = {"getShareableContent", "addStreamOutput", "startCapture", "stopCapture"};
// Calls at which the fake can throw; before the sink exists or after.
const char* kThrowPoints[] = {"getShareableContent", "makeStreamConfiguration", "makeSerialQueue", "addStreamOutput",
                              "startCapture"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Counted per input: between inputs the fuzzer itself may start a
    // symbolizer with pipes of its own.
    const int baseFds = countOpen("/proc/self/fd");
    const int baseThreads = countOpen("/proc/self/task");
    fuzzin::Reader in(data, size);
    fake::reset();

    bool errorAt[4] = {};
    int throwAt = -1;
    int displays = 1;
    std::vector<std::unique_ptr<Reader>> readers;
    Reader* running = nullptr;  // the capture gStream holds, if any
    Reader* newest = nullptr;   // the sink of the newest live fake stream

    static std::string lastTrace;
    std::string trace;  // the steps taken, for the failure report
    for (int step = 0; step < 24 && !in.empty(); ++step) {
        const int op = in.u8() % 8;
        trace += std::to_string(op);
        switch (op) {
        case 0:
        case 1: {  // start
            auto r = std::make_unique<Reader>();
            int p[2];
            if (::pipe2(p, O_CLOEXEC) != 0) fail("pipe");
            ::fcntl(p[0], F_SETFL, O_NONBLOCK);
            r->fd = p[0];
            const auto w = static_cast<std::int32_t>(in.range(-5, 48));
            const auto h = static_cast<std::int32_t>(in.range(-5, 48));
            const auto fps = static_cast<std::int32_t>(in.u8() % 4 == 0 ? static_cast<std::int32_t>(in.u32()) : 30);
            r->W = fuzzin::frameSide(w);
            r->H = fuzzin::frameSide(h);
            trace += "(" + std::to_string(p[0]) + "," + std::to_string(p[1]) + ")";
            const std::int32_t result = mirvo_sck_start(w, h, fps, p[1]);
            // Where the model says this start ends.
            const bool early = errorAt[0] || displays == 0 || throwAt == 0 || throwAt == 1;
            const bool ok = !early && !errorAt[1] && !errorAt[2] && throwAt < 0;
            if (result != (ok ? 0 : 1)) fail("start returned " + std::to_string(result));
            if (early) {
                // The descriptor is still the host's.
                if (::fcntl(p[1], F_GETFD) < 0) fail("a start that failed early closed the descriptor");
                ::close(p[1]);
                expectEof(*r, "after the host closed it");
                if (!r->pending.empty()) fail("bytes from a start that failed early");
            } else if (!ok) {
                // The sink made for it has gone, and with it the descriptor.
                expectEof(*r, "after a failed start");
                if (!r->pending.empty()) fail("bytes from a failed start");
                newest = nullptr;
            } else {
                if (running) {
                    // Replaced without a stop: released, so its reader ends.
                    expectEof(*running, "of a replaced capture");
                    if (!running->pending.empty()) fail("unaccounted bytes");
                }
                running = newest = r.get();
            }
            readers.push_back(std::move(r));
            break;
        }
        case 2: {  // stop
            mirvo_sck_stop();
            running = nullptr;
            break;
        }
        case 3:
        case 4: {  // a frame from the platform
            const auto sw = static_cast<std::size_t>(in.range(0, 40));
            const auto sh = static_cast<std::size_t>(in.range(0, 40));
            const std::uint8_t f = in.u8();
            const std::uint32_t format = f % 4 == 0 ? capture::kPixelFormat420f
                                         : f % 4 == 3 ? 0x42475241u  // 'BGRA'
                                                      : capture::kPixelFormat420v;
            std::shared_ptr<fake::PixelBuffer> pb;
            if (sw > 0 && sh > 0) {
                pb = std::make_shared<fake::PixelBuffer>(sw, sh, format, sw + in.range(0, 8), 0);
                in.fill(pb->plane(0), pb->planeBytes(0));
                in.fill(pb->plane(1), pb->planeBytes(1));
            }
            fake::SampleBuffer sample(pb);
            const capture::OutputType type = in.u8() % 8 == 0 ? capture::kOutputTypeAudio : capture::kOutputTypeScreen;
            const bool delivered = fake::deliverSample(sample, type);
            if (delivered && newest == nullptr) fail("a sample reached a stream the model does not know");
            if (!delivered || newest == nullptr) break;
            std::string want;
            if (pb && type == capture::kOutputTypeScreen && format != 0x42475241u && newest->W * newest->H > 0) {
                std::vector<std::uint8_t> v;
                fuzzin::oracleNv12(pb->plane(0), static_cast<std::int64_t>(pb->stride(0)), pb->plane(1),
                                   static_cast<std::int64_t>(pb->stride(1)), static_cast<std::int64_t>(sw),
                                   static_cast<std::int64_t>(sh), newest->W, newest->H, v);
                want.assign(v.begin(), v.end());
            }
            // The write is done when the delivery returns.
            drain(*newest);
            if (newest->pending != want) fail("frame bytes differ from the oracle");
            newest->pending.clear();
            break;
        }
        case 5: {  // a platform error from now on
            const int i = static_cast<int>(in.u8() % 4);
            errorAt[i] = true;
            fake::setError(kPoints[i], std::string(1 + in.u8() % 3, 'e'));
            break;
        }
        case 6: {  // no display, or some again
            displays = in.u8() % 2;
            fake::setDisplayCount(displays);
            break;
        }
        case 7: {
            if (in.u8() % 2 == 0) {
                fake::deliverStop(std::string(in.u8() % 4, 'x'));  // a line; nothing else changes
            } else if (throwAt < 0) {
                throwAt = static_cast<int>(in.u8() % 5);
                fake::throwBadAlloc(kThrowPoints[throwAt]);
            }
            break;
        }
        }
    }

    // Everything ends: the running capture stops, every descriptor closes.
    mirvo_sck_stop();
    if (!fake::waitForNoStreams()) fail("streams left alive after stop");
    for (auto& r : readers) {
        expectEof(*r, "at the end");
        if (!r->pending.empty()) fail("bytes nobody delivered");
        ::close(r->fd);
    }
    // Stop tasks end on their own threads just after releasing the stream.
    for (int i = 0; i < 1000 && countOpen("/proc/self/task") > baseThreads; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (countOpen("/proc/self/task") > baseThreads) fail("threads left over");
    if (const int now = countOpen("/proc/self/fd"); now != baseFds) {
        std::string open;
        if (DIR* d = ::opendir("/proc/self/fd")) {
            while (const dirent* e = ::readdir(d)) {
                char target[256] = {};
                const std::string link = std::string("/proc/self/fd/") + e->d_name;
                if (e->d_name[0] != '.' && ::readlink(link.c_str(), target, sizeof target - 1) > 0)
                    open += std::string(" ") + e->d_name + "=" + target;
            }
            ::closedir(d);
        }
        fail("descriptors: " + std::to_string(baseFds) + " before, " + std::to_string(now) +
             " after:" + open + "; steps " + trace + "; the input before: " + lastTrace);
    }
    lastTrace = trace;
    return 0;
}
