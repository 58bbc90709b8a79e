// mirvo-record's audio side: the audio program as a child, its PCM placed
// into audio.wav on the timeline, its standard error collected.
#include "record.h"

#include "signals.h"

namespace record {

namespace {

// Puts the PCM stream into the WAV at its place on the timeline (see the
// top of main.cpp). Until the origin is known, the latest 10 s of the stream
// are held in memory.
class AudioPlacer {
public:
    AudioPlacer(AudioSide& a, int wavFd) : a_(a), fd_(wavFd) {}

    void add(const std::uint8_t* p, std::size_t n, std::int64_t arrival) {
        const std::uint64_t at = read_;
        read_ += n;
        if (placed_) {
            put(at, p, n);
            return;
        }
        const auto samples = std::int64_t(read_ / kBytesPerSample);
        const std::int64_t span = samples / kRate * 1000000000 + samples % kRate * 1000000000 / kRate;
        start_ = std::min(start_, arrival - span - kAudioStreamDelayNs);
        held_.insert(held_.end(), p, p + n);
        if (held_.size() > kHold) {
            const std::size_t drop = (held_.size() - kHold) & ~std::size_t(3);
            held_.erase(held_.begin(), held_.begin() + std::ptrdiff_t(drop));
            heldAt_ += drop;
        }
        if (gOrigin.load() != 0) place();
    }
    // At the end of the stream.
    void finish() {
        if (!placed_) place();
    }

private:
    static constexpr std::size_t kHold = 10 * kRate * kBytesPerSample;

    void place() {
        placed_ = true;
        const std::int64_t origin = gOrigin.load();
        if (origin > 0 && read_ > 0) {
            shift_ = std::llround(double(start_ - origin) * kRate / 1e9) *
                     std::int64_t(kBytesPerSample);
        }
        put(heldAt_, held_.data(), held_.size());
        std::vector<std::uint8_t>().swap(held_);
    }
    // Stream bytes from position at, shifted to the WAV's timeline; what
    // falls before its start is dropped.
    void put(std::uint64_t at, const std::uint8_t* p, std::size_t n) {
        std::int64_t pos = std::int64_t(at) + shift_;
        if (pos < 0) {
            const std::size_t skip = std::size_t(std::min<std::int64_t>(std::int64_t(n), -pos));
            p += skip;
            n -= skip;
            pos += std::int64_t(skip);
        }
        if (n == 0) return;
        if (!a_.writeFailed && !pwriteAll(fd_, p, n, kWavHeader + std::uint64_t(pos))) {
            a_.writeFailed = true;
        }
        a_.covered = std::max<std::uint64_t>(a_.covered, std::uint64_t(pos) + n);
    }

    AudioSide& a_;
    int fd_;
    std::uint64_t read_ = 0;    // stream bytes so far
    std::uint64_t heldAt_ = 0;  // stream position of held_[0]
    std::vector<std::uint8_t> held_;
    std::int64_t start_ = INT64_MAX;  // the stream's first sample, steady clock
    std::int64_t shift_ = 0;          // WAV data position less stream position
    bool placed_ = false;
};

}  // namespace

bool startAudio(const Options& o, AudioSide& a, int wavFd) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    // The child starts with default signal handling and nothing blocked.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    sigset_t def = common::stopSignals();
    sigaddset(&def, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &def);
    // Its own process group: a terminal's Ctrl-C reaches only us, and we end
    // the child in order with SIGTERM.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    char* argv[] = {const_cast<char*>(o.audioProgram.c_str()), nullptr};
    const int rc = ::posix_spawn(&a.pid, o.audioProgram.c_str(), &fa, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        std::fprintf(stderr, "mirvo-record: cannot run %s: %s\n", o.audioProgram.c_str(),
                     std::strerror(rc));
        ::close(out[0]);
        ::close(err[0]);
        return false;
    }
    a.pcmFd = out[0];
    a.errFd = err[0];
    a.reader = std::thread([&a, wavFd] {
        std::vector<std::uint8_t> buf(1 << 16);
        AudioPlacer placer(a, wavFd);
        for (;;) {
            const ssize_t n = ::read(a.pcmFd, buf.data(), buf.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            placer.add(buf.data(), std::size_t(n), nowNs());
        }
        placer.finish();
    });
    a.errReader = std::thread([&a] {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(a.errFd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            a.err.append(buf, std::size_t(n));
        }
    });
    return true;
}

}  // namespace record
