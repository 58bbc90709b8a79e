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
#include "record.h"

#include "error_watch.h"

namespace record {
namespace {

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
}  // namespace record

using namespace record;

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
