// mirvo-record: a reference host for the two deliverables.
//
// It starts the audio program as a child and reads its PCM, loads the screen
// library with dlopen and reads its NV12 frames, and records both into files
// anyone can open: audio.wav, video.y4m and, when ffmpeg is installed,
// recording.mp4. It links nothing of the deliverables into itself.
//
// Both files share one timeline on the steady clock. Its origin is the
// arrival of the first frame (or the moment the screen library's start
// returned, when that is noticed first); with no video, the moment the audio
// program was started. Every PCM read and every frame is stamped on arrival:
// - audio: the stream's start is placed by the arrival stamps (arrival less
//   the duration of the samples read so far, the earliest such instant
//   before the origin is known, less the audio program's own delay: how long
//   after a sound was played its samples are written, kAudioStreamDelayNs);
//   later positions count samples, since the stream keeps its device's
//   time. The WAV is padded with silence before the stream's first bytes or
//   trimmed to begin at the origin.
// - video: output frame k stands for origin + k / fps and shows the newest
//   frame that arrived at or before that instant, so frames repeat while
//   the screen is still and are dropped when they come faster than fps.
// Both end at the same instant (origin + duration, or the stop), each a
// whole number of its units long: padded with silence or the last frame.
//
// Threads: the main thread starts and stops everything and draws progress;
// one thread reads the audio pipe, one the frame pipe, one the child's
// standard error.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

struct Options {
    int width = 1280;
    int height = 720;
    int fps = 30;
    double duration = 0;  // 0: until Ctrl-C
    std::string out = ".";
    std::string audioProgram;
    std::string library;
    bool audio = true;
    bool video = true;
    bool mp4 = true;
    bool quiet = false;
};

const char* kUsage =
    "usage: mirvo-record [options]\n"
    "Records what the machine plays and shows: audio.wav (48 kHz stereo s16),\n"
    "video.y4m (4:2:0, at a constant rate) and, when ffmpeg is installed,\n"
    "recording.mp4, with sound and picture in step.\n"
    "\n"
    "  -s, --size WxH         frame size (default 1280x720; odd sizes round down)\n"
    "  -r, --fps N            frame rate of the video, 1 to 240 (default 30)\n"
    "  -d, --duration SECS    stop SECS seconds after the frames start, more than 0\n"
    "                         and at most 1e9 (default: until Ctrl-C)\n"
    "  -o, --out DIR          output folder, created if missing (default .)\n"
    "      --audio-program P  the audio capture program to run (default %s)\n"
    "      --library P        the screen capture library to load (default %s)\n"
    "      --no-audio         record the screen only\n"
    "      --no-video         record the sound only\n"
    "      --no-mp4           do not run ffmpeg\n"
    "  -q, --quiet            no progress line\n"
    "  -h, --help             this text\n"
    "\n"
    "Exit status: 0 when every stream that was asked for was recorded until the\n"
    "end, 1 when one was not (a deliverable failed, the screen capture was lost or\n"
    "never started, no frame arrived; the message says which), 2 for bad options.\n";

void printUsage(FILE* to, const Options& defaults) {
    std::fprintf(to, kUsage, defaults.audioProgram.c_str(), defaults.library.c_str());
}

[[noreturn]] void usageError(const std::string& what, const Options& defaults) {
    std::fprintf(stderr, "mirvo-record: %s\n", what.c_str());
    printUsage(stderr, defaults);
    std::exit(2);
}

// The installed layout beside this program (bin/mirvo-sck-audio and
// lib/libmirvo_sck.so) when it is there, so that an installed copy never
// picks up a stale build tree; else the build tree's deliverables.
std::string locate(const char* built, const char* besideExe) {
    char exe[4096];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return built;
    std::string dir(exe, std::size_t(n));
    dir.resize(dir.rfind('/'));
    const std::string beside = dir + "/" + besideExe;
    struct stat st {};
    return ::stat(beside.c_str(), &st) == 0 ? beside : built;
}

Options parse(int argc, char** argv) {
    Options o;
    o.audioProgram = locate(MIRVO_DEFAULT_AUDIO_PROGRAM, "mirvo-sck-audio");
    o.library = locate(MIRVO_DEFAULT_LIBRARY, "../lib/libmirvo_sck.so");
    const Options defaults = o;
    auto usageError = [&](const std::string& what) { ::usageError(what, defaults); };
    auto value = [&](int& i) -> std::string {
        if (i + 1 >= argc) usageError(std::string(argv[i]) + " needs a value");
        return argv[++i];
    };
    auto number = [&](const std::string& s, const char* what) {
        char* end = nullptr;
        errno = 0;
        const double v = std::strtod(s.c_str(), &end);
        if (errno || end == s.c_str() || *end) usageError(std::string("bad ") + what + ": " + s);
        return v;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            printUsage(stdout, defaults);
            std::exit(0);
        } else if (a == "-s" || a == "--size") {
            const std::string v = value(i);
            int w = 0, h = 0;
            char x = 0, extra = 0;
            if (std::sscanf(v.c_str(), "%d%c%d%c", &w, &x, &h, &extra) != 3 || x != 'x' || w < 2 ||
                h < 2 || w > 16384 || h > 16384) {
                usageError("bad size: " + v + " (WxH, each 2 to 16384)");
            }
            o.width = w;
            o.height = h;
        } else if (a == "-r" || a == "--fps") {
            const double f = number(value(i), "frame rate");
            if (f < 1 || f > 240 || f != int(f)) usageError("frame rate must be a whole number 1 to 240");
            o.fps = int(f);
        } else if (a == "-d" || a == "--duration") {
            // Up to about 31 years: sample and frame counts stay exact.
            const std::string v = value(i);
            char* end = nullptr;
            const double d = std::strtod(v.c_str(), &end);
            if (end == v.c_str() || *end || !std::isfinite(d) || d <= 0 || d > 1e9) {
                usageError("bad duration: " + v + " (seconds, more than 0, at most 1e9)");
            }
            o.duration = d;
        } else if (a == "-o" || a == "--out") {
            o.out = value(i);
        } else if (a == "--audio-program") {
            o.audioProgram = value(i);
        } else if (a == "--library") {
            o.library = value(i);
        } else if (a == "--no-audio") {
            o.audio = false;
        } else if (a == "--no-video") {
            o.video = false;
        } else if (a == "--no-mp4") {
            o.mp4 = false;
        } else if (a == "-q" || a == "--quiet") {
            o.quiet = true;
        } else {
            usageError("unknown option " + a);
        }
    }
    if (!o.audio && !o.video) usageError("nothing to record");
    return o;
}

// Wakes the main thread: a byte arrives on Ctrl-C or SIGTERM (gStop set),
// when the screen library's start returns and when the screen capture is
// lost. Never closed.
int gWake[2] = {-1, -1};
volatile std::sig_atomic_t gStop = 0;
void notifyMain() {
    const char b = 1;
    (void)!::write(gWake[1], &b, 1);
}
void onStopSignal(int) {
    const int saved = errno;
    gStop = 1;
    notifyMain();
    errno = saved;
}

bool writeAll(int fd, const void* data, std::size_t n) {
    auto p = static_cast<const std::uint8_t*>(data);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= std::size_t(w);
    }
    return true;
}

// Reads exactly n bytes unless the stream ends or cancelFd becomes readable
// first; returns the count.
std::size_t readFull(int fd, int cancelFd, std::uint8_t* p, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) break;
        const ssize_t r = ::read(fd, p + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += std::size_t(r);
    }
    return got;
}

bool pwriteAll(int fd, const std::uint8_t* p, std::size_t n, std::uint64_t at) {
    while (n > 0) {
        const ssize_t w = ::pwrite(fd, p, n, off_t(at));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        at += std::uint64_t(w);
        n -= std::size_t(w);
    }
    return true;
}

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The timeline's origin in steady-clock nanoseconds: 0 until it is known,
// kNoOrigin when the recording ended before there was one (each stream is
// then kept as it came). Set once, by whoever comes first.
constexpr std::int64_t kNoOrigin = -1;
std::atomic<std::int64_t> gOrigin{0};
std::int64_t setOrigin(std::int64_t t) {
    std::int64_t unset = 0;
    gOrigin.compare_exchange_strong(unset, t);
    return gOrigin.load();
}
// The length of each file once the end is known (-1 until then): frames in
// video.y4m, sample frames in audio.wav.
std::atomic<std::int64_t> gEndFrames{-1};
std::atomic<std::int64_t> gEndSamples{-1};

constexpr int kRate = 48000;
constexpr std::uint64_t kBytesPerSample = 4;

// How long after a sound was played the audio program writes its last
// sample of it. On Linux the binding plays its timeline out 50 ms behind
// the clock (room for the sound server's delivery), a fixed delay that the
// arrival stamps cannot show. On macOS an IO cycle's input is handed over
// as soon as the cycle ends, which the arrival less the block's duration
// already accounts for.
#if defined(__APPLE__)
constexpr std::int64_t kAudioStreamDelayNs = 0;
#else
constexpr std::int64_t kAudioStreamDelayNs = 50000000;
#endif

void putLE(std::uint8_t* p, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = std::uint8_t(v >> (8 * i));
}

// The WAV header: RIFF, a 28-byte JUNK chunk, fmt (PCM, 48 kHz, stereo,
// 16-bit), data. A data chunk larger than the 32-bit sizes can say (about
// 6.2 hours) makes the file RF64: the JUNK chunk becomes the ds64 chunk
// holding the 64-bit sizes, and the 32-bit ones read 0xFFFFFFFF.
constexpr std::size_t kWavHeader = 80;
constexpr std::uint64_t kWavMaxData = 0xFFFFFFFFu - (kWavHeader - 8);

// The data size above which the file is written as RF64; the environment
// variable MIRVO_RECORD_WAV_LIMIT lowers it (tests do, to avoid 4 GiB).
std::uint64_t wavLimit() {
    const char* env = std::getenv("MIRVO_RECORD_WAV_LIMIT");
    if (!env || !*env) return kWavMaxData;
    return std::min<std::uint64_t>(std::strtoull(env, nullptr, 10), kWavMaxData);
}

std::vector<std::uint8_t> wavHeader(std::uint64_t data, std::uint64_t limit) {
    const bool rf64 = data > limit;
    const std::uint64_t riff = kWavHeader - 8 + data;
    std::vector<std::uint8_t> h(kWavHeader, 0);
    std::memcpy(&h[0], rf64 ? "RF64" : "RIFF", 4);
    putLE(&h[4], rf64 ? 0xFFFFFFFFu : riff, 4);
    std::memcpy(&h[8], "WAVE", 4);
    std::memcpy(&h[12], rf64 ? "ds64" : "JUNK", 4);
    putLE(&h[16], 28, 4);
    if (rf64) {
        putLE(&h[20], riff, 8);
        putLE(&h[28], data, 8);
        putLE(&h[36], data / kBytesPerSample, 8);  // sample frames
        // h[44..47]: no table of other chunk sizes
    }
    std::memcpy(&h[48], "fmt ", 4);
    putLE(&h[52], 16, 4);
    putLE(&h[56], 1, 2);  // PCM
    putLE(&h[58], 2, 2);
    putLE(&h[60], kRate, 4);
    putLE(&h[64], kRate * kBytesPerSample, 4);
    putLE(&h[68], kBytesPerSample, 2);
    putLE(&h[70], 16, 2);
    std::memcpy(&h[72], "data", 4);
    putLE(&h[76], rf64 ? 0xFFFFFFFFu : data, 4);
    return h;
}

struct AudioSide {
    pid_t pid = -1;
    int pcmFd = -1;
    int errFd = -1;
    std::thread reader, errReader;
    std::atomic<std::uint64_t> covered{0};  // bytes of the WAV's data written up to
    std::string err;
    bool writeFailed = false;
};

// Puts the PCM stream into the WAV at its place on the timeline (see the
// top of the file). Until the origin is known, the latest 10 s of the stream
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
    sigset_t none, def;
    sigemptyset(&none);
    sigemptyset(&def);
    sigaddset(&def, SIGINT);
    sigaddset(&def, SIGTERM);
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

// The screen library's start, which blocks with no time-out, runs on a
// thread of its own so that the main thread stays free for signals. The
// thread uses only this (shared) record, the wake-up pipe and the library,
// none of which goes away before the process ends.
struct StartCall {
    std::atomic<bool> done{false};
    std::atomic<std::int32_t> result{1};
};

struct VideoSide {
    void* lib = nullptr;
    std::int32_t (*start)(std::int32_t, std::int32_t, std::int32_t, std::int32_t) = nullptr;
    void (*stop)() = nullptr;
    int readFd = -1;
    int libFd = -1;
    int cancel[2] = {-1, -1};  // a byte on cancel[1] ends the reader
    std::thread reader, starter;
    std::shared_ptr<StartCall> call;
    std::atomic<std::uint64_t> frames{0};   // written to video.y4m
    std::atomic<std::uint64_t> arrived{0};  // read from the library
    std::atomic<bool> ended{false};
    bool writeFailed = false;

    // Ends the reader (if the stream has not) and waits for it.
    void endReader(bool cancelIt) {
        if (cancelIt) notifyFd(cancel[1]);
        reader.join();
        ::close(readFd);
        ::close(cancel[0]);
        ::close(cancel[1]);
    }
    static void notifyFd(int fd) {
        const char b = 1;
        (void)!::write(fd, &b, 1);
    }
};

// The screen library reports a capture the platform ended with an error as
// one "sck-video: " line on our standard error. Standard error goes through
// a pipe while the library runs; this thread passes everything on unchanged
// and, while armed, takes such a line as the loss of the capture.
class ErrorWatch {
public:
    bool begin() {
        int p[2];
        original_ = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
        if (original_ < 0 || ::pipe2(p, O_CLOEXEC) != 0) return false;
        if (::dup2(p[1], 2) < 0) {
            ::close(p[0]);
            ::close(p[1]);
            return false;
        }
        ::close(p[1]);
        readFd_ = p[0];
        thread_ = std::thread([this] { run(); });
        return true;
    }
    // Puts standard error back and waits until everything written so far
    // has been passed on.
    void end() {
        if (!thread_.joinable()) return;
        std::fflush(stderr);
        ::dup2(original_, 2);  // closes the pipe's last write end
        thread_.join();
        ::close(readFd_);
    }
    void arm(bool on) { armed_ = on; }
    bool lost() const { return lost_; }

private:
    void run() {
        char buf[4096];
        static constexpr char kPrefix[] = "sck-video: ";
        std::size_t matched = 0;  // characters of kPrefix matched at a line start
        bool lineStart = true;
        for (;;) {
            const ssize_t n = ::read(readFd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            (void)writeAll(original_, buf, std::size_t(n));
            for (ssize_t i = 0; i < n; ++i) {
                const char c = buf[i];
                if (lineStart || matched > 0) {
                    if (c == kPrefix[matched]) {
                        if (++matched == sizeof kPrefix - 1) {
                            matched = 0;
                            if (armed_ && !lost_.exchange(true)) notifyMain();
                        }
                    } else {
                        matched = 0;
                    }
                }
                lineStart = c == '\n';
            }
        }
    }
    int original_ = -1;
    int readFd_ = -1;
    std::thread thread_;
    std::atomic<bool> armed_{false};
    std::atomic<bool> lost_{false};
};

// Writes video.y4m at a constant fps (see the top of the file). Y4M wants
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

// recording.mp4 from the two files, through ffmpeg when it is on PATH. Its
// own failure costs only the MP4: the WAV and Y4M are complete already.
void makeMp4(const Options& o, const std::string& wavPath, const std::string& y4mPath) {
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-y", "-loglevel", "error"};
    if (o.video) args.insert(args.end(), {"-i", y4mPath});
    if (o.audio) args.insert(args.end(), {"-i", wavPath});
    if (o.video) {
        // Tagged as what the frames are: BT.709, video range.
        args.insert(args.end(), {"-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p",
                                 "-color_range", "tv", "-colorspace", "bt709",
                                 "-color_primaries", "bt709", "-color_trc", "bt709"});
    }
    if (o.audio) args.insert(args.end(), {"-c:a", "aac", "-b:a", "192k"});
    args.push_back(o.out + "/recording.mp4");
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ);
    if (rc == ENOENT) {
        std::fprintf(stderr, "mirvo-record: ffmpeg is not installed; no recording.mp4\n");
        return;
    }
    int status = 0;
    if (rc == 0) {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (rc != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "mirvo-record: ffmpeg could not make recording.mp4\n");
    }
}

std::string describeExit(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("killed by signal ") + strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

bool gTerminal = false;  // standard error was a terminal at the start

void progress(const Options& o, double elapsed, const AudioSide& a, const VideoSide& v) {
    if (o.quiet || !gTerminal) return;
    const std::size_t frame = std::size_t(o.width & ~1) * std::size_t(o.height & ~1) * 3 / 2;
    const double mb = double(a.covered.load() + v.frames.load() * frame) / 1e6;
    std::fprintf(stderr, "\r\033[K%02d:%02d  frames %llu  audio %.2f s  %.1f MB",
                 int(elapsed) / 60, int(elapsed) % 60,
                 static_cast<unsigned long long>(v.frames.load()),
                 double(a.covered.load()) / double(kRate * kBytesPerSample), mb);
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    const int w = o.width & ~1, h = o.height & ~1;
    std::error_code ec;
    std::filesystem::create_directories(o.out, ec);
    if (ec) {
        std::fprintf(stderr, "mirvo-record: cannot create %s: %s\n", o.out.c_str(),
                     ec.message().c_str());
        return 1;
    }
    if (::pipe2(gWake, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    gTerminal = ::isatty(2) != 0;

    const std::string wavPath = o.out + "/audio.wav", y4mPath = o.out + "/video.y4m";
    int wavFd = -1, y4mFd = -1;
    if (o.audio) {
        wavFd = ::open(wavPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (wavFd < 0 || !writeAll(wavFd, wavHeader(0, kWavMaxData).data(), kWavHeader)) {
            std::fprintf(stderr, "mirvo-record: cannot write %s\n", wavPath.c_str());
            return 1;
        }
    }
    const std::string y4mHeader = "YUV4MPEG2 W" + std::to_string(w) + " H" + std::to_string(h) +
                                  " F" + std::to_string(o.fps) +
                                  ":1 Ip A1:1 C420mpeg2 XCOLORRANGE=LIMITED\n";
    if (o.video) {
        y4mFd = ::open(y4mPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const std::string& header = y4mHeader;
        if (y4mFd < 0 || !writeAll(y4mFd, header.data(), header.size())) {
            std::fprintf(stderr, "mirvo-record: cannot write %s\n", y4mPath.c_str());
            return 1;
        }
    }

    AudioSide a;
    VideoSide v;
    ErrorWatch watch;
    bool failed = false;
    // Without the pipe (no standard error to start with) a lost capture
    // goes unnoticed, which is all it costs.
    if (o.video) (void)watch.begin();
    if (!o.video) setOrigin(nowNs());  // the audio program's start
    if (o.audio && !startAudio(o, a, wavFd)) failed = true;
    if (!failed && o.video && !beginVideo(o, v, y4mFd, w, h)) failed = true;
    // 1 frames flow, 0 the start still blocks (or none), -1 the start failed.
    int video = 0;

    // The duration counts from the timeline's origin.
    const std::int64_t started = nowNs();
    const auto durationNs = std::int64_t(std::llround(o.duration * 1e9));
    auto elapsed = [&] {
        const std::int64_t origin = gOrigin.load();
        return double(nowNs() - (origin > 0 ? origin : started)) / 1e9;
    };
    bool audioEnded = false;
    int audioStatus = 0;
    std::int64_t endAt = 0;  // the recording's last instant; 0: the stop
    while (!failed) {
        int timeout = 200;
        if (o.duration > 0 && gOrigin.load() > 0) {
            const std::int64_t left = gOrigin.load() + durationNs - nowNs();
            timeout = int(std::clamp<std::int64_t>(left / 1000000 + 1, 0, timeout));
        }
        pollfd p{gWake[0], POLLIN, 0};
        ::poll(&p, 1, timeout);
        char drain[64];
        while (::read(gWake[0], drain, sizeof drain) > 0) {
        }
        if (gStop) break;
        if (v.call && video == 0) {
            video = settleStart(v);
            if (video < 0) {
                failed = true;
                break;
            }
            if (video > 0) {
                watch.arm(true);
                setOrigin(nowNs());  // unless the first frame has arrived
            }
        }
        if (watch.lost()) {
            failed = true;
            break;
        }
        const std::int64_t origin = gOrigin.load();
        if (o.duration > 0 && origin > 0 && nowNs() - origin >= durationNs) {
            endAt = origin + durationNs;
            break;
        }
        if (o.audio && ::waitpid(a.pid, &audioStatus, WNOHANG) == a.pid) {
            audioEnded = true;  // the program ended on its own: a failure
            break;
        }
        progress(o, elapsed(), a, v);
    }
    // Both files end at the same instant; with no origin yet, there is no
    // timeline and each stream is kept as it came.
    if (endAt == 0) endAt = nowNs();
    if (const std::int64_t origin = setOrigin(kNoOrigin); origin > 0) {
        const double secs = double(std::max<std::int64_t>(endAt - origin, 0)) / 1e9;
        gEndFrames = std::llround(secs * o.fps);
        gEndSamples = std::llround(secs * kRate);
    }
    progress(o, elapsed(), a, v);
    if (!o.quiet && gTerminal) std::fputc('\n', stderr);

    // A clean end: stop the screen first (it returns at once), then the
    // audio program, then wait for both streams to reach end of file.
    if (v.call && video == 0) video = settleStart(v);  // it may have just returned
    bool startPending = false;
    if (video > 0) {
        watch.arm(false);  // what the library says while stopping is no loss
        v.stop();
        for (int i = 0; i < 100 && !v.ended; ++i) ::usleep(100000);
        const bool timedOut = !v.ended;
        if (timedOut) {
            std::fprintf(stderr, "mirvo-record: the frame stream did not end within 10 s\n");
            failed = true;
        }
        // The reader never outlives the Y4M file and v: it is ended here.
        v.endReader(timedOut);
        // It may have written a frame past the end before the end was known.
        if (const auto end = gEndFrames.load(); end >= 0 && v.frames > std::uint64_t(end)) {
            v.frames = std::uint64_t(end);
            const std::uint64_t frame = 6 + std::uint64_t(w) * std::uint64_t(h) * 3 / 2;
            if (::ftruncate(y4mFd, off_t(y4mHeader.size() + std::uint64_t(end) * frame)) != 0) {
                v.writeFailed = true;
            }
        }
        if (watch.lost()) {
            std::fprintf(stderr, "mirvo-record: the screen capture was lost after %llu frames\n",
                         static_cast<unsigned long long>(v.frames.load()));
        } else if (!timedOut && v.frames == 0) {
            std::fprintf(stderr, "mirvo-record: no frames were recorded\n");
            failed = true;
        }
    } else if (v.call && video == 0) {
        // The library's start still blocks and only its return would allow
        // a stop (its calls are one at a time). The recording ends without
        // video; the start's thread is left to the end of the process.
        startPending = true;
        failed = true;
        v.endReader(true);
        std::fprintf(stderr, "mirvo-record: the screen library had not started: no video recorded\n");
    }
    watch.end();

    if (o.audio && a.pid > 0) {
        bool terminated = false;
        if (!audioEnded) {
            // The stream reaches the end of the recording a little after the
            // instant itself (the device's latency): up to 1 s is waited for,
            // the rest becomes silence.
            const auto want = std::uint64_t(std::max<std::int64_t>(gEndSamples.load(), 0)) *
                              kBytesPerSample;
            for (int i = 0; i < 100 && a.covered.load() < want; ++i) ::usleep(10000);
            ::kill(a.pid, SIGTERM);
            terminated = true;
            while (::waitpid(a.pid, &audioStatus, 0) < 0 && errno == EINTR) {
            }
        }
        a.reader.join();
        a.errReader.join();
        // SIGTERM in the first moments after exec, before the program's
        // handlers exist, ends it by the signal: our own SIGTERM doing so is
        // an orderly end.
        const bool ok = !audioEnded && ((WIFEXITED(audioStatus) && WEXITSTATUS(audioStatus) == 0) ||
                                        (terminated && WIFSIGNALED(audioStatus) &&
                                         WTERMSIG(audioStatus) == SIGTERM));
        if (!ok) {
            failed = true;
            std::string line = a.err;
            while (!line.empty() && line.back() == '\n') line.pop_back();
            std::fprintf(stderr, "mirvo-record: %s ended with %s%s%s\n", o.audioProgram.c_str(),
                         describeExit(audioStatus).c_str(), line.empty() ? "" : ": ",
                         line.c_str());
        }
    }
    // The WAV is exactly the recording's length: cut, or padded with
    // silence (the zeros that extending the file gives). Without a timeline,
    // whole sample frames of what came.
    std::uint64_t wavData = 0;
    if (wavFd >= 0) {
        wavData = gEndSamples.load() >= 0 ? std::uint64_t(gEndSamples.load()) * kBytesPerSample
                                          : a.covered.load() & ~(kBytesPerSample - 1);
        const auto header = wavHeader(wavData, wavLimit());
        if (!pwriteAll(wavFd, header.data(), header.size(), 0) ||
            ::ftruncate(wavFd, off_t(kWavHeader + wavData)) != 0) {
            a.writeFailed = true;
        }
        ::close(wavFd);
    }
    if (y4mFd >= 0) ::close(y4mFd);
    if (a.writeFailed || v.writeFailed) {
        std::fprintf(stderr, "mirvo-record: writing the recording failed (disk full?)\n");
        failed = true;
    }
    if (startPending) {
        // Returning would run the library's destructors under its blocked
        // start; the files are complete, so end here.
        v.starter.detach();
        std::fflush(nullptr);
        std::_Exit(1);
    }
    if (failed) return 1;

    if (o.mp4) makeMp4(o, wavPath, y4mPath);
    std::fprintf(stderr, "mirvo-record: %llu frames, %.2f s of audio in %s\n",
                 static_cast<unsigned long long>(v.frames.load()),
                 double(wavData) / double(kRate * kBytesPerSample), o.out.c_str());
    return 0;
}
