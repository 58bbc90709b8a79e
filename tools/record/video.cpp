// mirvo-record's video side: the screen library loaded with dlopen, its
// start on a thread of its own, its frames into video.y4m at a constant fps.
#include "record.h"

namespace record {

namespace {

// Writes video.y4m at a constant fps (see the top of main.cpp). Y4M wants
// planar 4:2:0: the interleaved CbCr plane of the newest frame is split into
// Cb and Cr once, on arrival, and that frame is written for every output
// instant until a newer one arrives.
void videoReader(VideoSide& v, int y4mFd, int w, int h, int fps) {
    const std::size_t luma = std::size_t(w) * std::size_t(h), chroma = luma / 2;
    std::vector<std::uint8_t> frame(luma + chroma), planar(6 + luma + chroma);
    std::memcpy(planar.data(), "FRAME\n", 6);
    bool have = false;  // planar holds a frame
    std::int64_t next = 0;  // the next output frame
    auto instant = [&](std::int64_t k) { return gOrigin.load() + k * 1000000000 / fps; };
    // Writes the output frames that stand for instants before `until`.
    auto emitUntil = [&](std::int64_t until) {
        if (!have || gOrigin.load() <= 0) return;
        for (std::int64_t end = gEndFrames.load(); (end < 0 || next < end) && instant(next) < until;
             ++next) {
            if (!v.writeFailed && !writeAll(y4mFd, planar.data(), planar.size())) v.writeFailed = true;
            v.frames = std::uint64_t(next + 1);
        }
    };
    for (;;) {
        // Until the next output instant, once frames flow and until the end.
        int timeout = -1;
        const std::int64_t end = gEndFrames.load();
        if (have && gOrigin.load() > 0 && (end < 0 || next < end)) {
            const std::int64_t wait = instant(next) - nowNs();
            timeout = int(std::clamp<std::int64_t>(wait / 1000000 + 1, 0, 1000));
        }
        pollfd fds[2] = {{v.readFd, POLLIN, 0}, {v.cancel[0], POLLIN, 0}};
        const int r = ::poll(fds, 2, timeout);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || fds[1].revents != 0) break;
        if (fds[0].revents == 0) {  // nothing arrived: the newest frame stands
            emitUntil(nowNs());
            continue;
        }
        const std::size_t got = readFull(v.readFd, v.cancel[0], frame.data(), frame.size());
        if (got < frame.size()) break;  // end of stream; a partial tail is not a frame
        const std::int64_t arrival = nowNs();
        setOrigin(arrival);
        emitUntil(arrival);
        std::uint8_t* cb = planar.data() + 6 + luma;
        std::uint8_t* cr = cb + chroma / 2;
        std::memcpy(planar.data() + 6, frame.data(), luma);
        for (std::size_t i = 0; i < chroma / 2; ++i) {
            cb[i] = frame[luma + 2 * i];
            cr[i] = frame[luma + 2 * i + 1];
        }
        have = true;
        v.arrived += 1;
    }
    // The last frame stands until the end.
    if (gEndFrames.load() >= 0) emitUntil(INT64_MAX);
    v.ended = true;
}

}  // namespace

// Loads the library and sets its start going; the result comes later
// through v.call (see settleStart).
bool beginVideo(const Options& o, VideoSide& v, int y4mFd, int w, int h) {
    v.lib = ::dlopen(o.library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!v.lib) {
        std::fprintf(stderr, "mirvo-record: cannot load %s: %s\n", o.library.c_str(), ::dlerror());
        return false;
    }
    v.start = reinterpret_cast<decltype(v.start)>(::dlsym(v.lib, "mirvo_sck_start"));
    v.stop = reinterpret_cast<decltype(v.stop)>(::dlsym(v.lib, "mirvo_sck_stop"));
    if (!v.start || !v.stop) {
        std::fprintf(stderr, "mirvo-record: %s lacks mirvo_sck_start/mirvo_sck_stop\n",
                     o.library.c_str());
        return false;
    }
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return false;
    if (::pipe2(v.cancel, O_CLOEXEC) != 0) {
        ::close(p[0]);
        ::close(p[1]);
        return false;
    }
    // The library takes a descriptor of its own (a duplicate), so that after
    // a failed start we can tell whether it still needs closing.
    v.libFd = ::fcntl(p[1], F_DUPFD_CLOEXEC, 3);
    ::close(p[1]);
    v.readFd = p[0];
    v.reader = std::thread(videoReader, std::ref(v), y4mFd, w, h, o.fps);
    v.call = std::make_shared<StartCall>();
    v.starter = std::thread([call = v.call, start = v.start, o, fd = v.libFd] {
        call->result = start(o.width, o.height, o.fps, fd);
        call->done = true;
        notifyMain();
    });
    return true;
}

// What became of the start: 1 running, 0 still blocked, -1 failed (reported,
// the reader ended).
int settleStart(VideoSide& v) {
    if (!v.call->done) return 0;
    if (v.starter.joinable()) {
        v.starter.join();
        const std::int32_t rc = v.call->result;
        if (rc != 0) {
            // A failure before the library took the descriptor leaves it ours.
            if (::fcntl(v.libFd, F_GETFD) != -1) ::close(v.libFd);
            std::fprintf(stderr, "mirvo-record: the screen library failed to start (result %d)\n",
                         rc);
            v.endReader(false);
        }
    }
    return v.call->result == 0 ? 1 : -1;
}

}  // namespace record
