// mirvo-record's parts and what they share: the options, the wake-up of the
// main thread, the one timeline both files are placed on (see main.cpp), and
// the audio and video sides.
#pragma once

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

namespace record {

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

// The options from the command line; exits with status 2 after a usage
// message on a mistake, 0 after --help.
Options parse(int argc, char** argv);

// Wakes the main thread: a byte arrives on Ctrl-C or SIGTERM (gStop set),
// when the screen library's start returns and when the screen capture is
// lost. Never closed.
extern int gWake[2];
extern volatile std::sig_atomic_t gStop;
void notifyMain();
void onStopSignal(int);

// Reads exactly n bytes unless the stream ends or cancelFd becomes readable
// first; returns the count.
std::size_t readFull(int fd, int cancelFd, std::uint8_t* p, std::size_t n);
// Writes n bytes at offset at, in full; false on an error.
bool pwriteAll(int fd, const std::uint8_t* p, std::size_t n, std::uint64_t at);
// Writes n bytes in full to a file or standard error; false on an error.
bool writeAll(int fd, const void* data, std::size_t n);

std::int64_t nowNs();

// The timeline's origin in steady-clock nanoseconds: 0 until it is known,
// kNoOrigin when the recording ended before there was one (each stream is
// then kept as it came). Set once, by whoever comes first.
constexpr std::int64_t kNoOrigin = -1;
extern std::atomic<std::int64_t> gOrigin;
std::int64_t setOrigin(std::int64_t t);
// The length of each file once the end is known (-1 until then): frames in
// video.y4m, sample frames in audio.wav.
extern std::atomic<std::int64_t> gEndFrames;
extern std::atomic<std::int64_t> gEndSamples;

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

// The WAV header (wav.cpp): 80 bytes, RIFF or, above the limit, RF64.
constexpr std::size_t kWavHeader = 80;
constexpr std::uint64_t kWavMaxData = 0xFFFFFFFFu - (kWavHeader - 8);
std::uint64_t wavLimit();
std::vector<std::uint8_t> wavHeader(std::uint64_t data, std::uint64_t limit);

struct AudioSide {
    pid_t pid = -1;
    int pcmFd = -1;
    int errFd = -1;
    std::thread reader, errReader;
    std::atomic<std::uint64_t> covered{0};  // bytes of the WAV's data written up to
    std::string err;
    bool writeFailed = false;
};

// Starts the audio program and its readers, which place its PCM into the
// WAV (audio.cpp); false after a message when it could not be started.
bool startAudio(const Options& o, AudioSide& a, int wavFd);

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

// The video side (video.cpp): the library's start, then frames into the Y4M.
bool beginVideo(const Options& o, VideoSide& v, int y4mFd, int w, int h);
// What became of the start: 1 running, 0 still blocked, -1 failed (reported,
// the reader ended).
int settleStart(VideoSide& v);

}  // namespace record
