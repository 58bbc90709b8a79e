// mirvo-record's command line: the options, their defaults and the usage.
#include "record.h"

namespace record {

namespace {

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

}  // namespace

Options parse(int argc, char** argv) {
    Options o;
    o.audioProgram = locate(MIRVO_DEFAULT_AUDIO_PROGRAM, "mirvo-sck-audio");
    o.library = locate(MIRVO_DEFAULT_LIBRARY, "../lib/libmirvo_sck.so");
    const Options defaults = o;
    auto usageError = [&](const std::string& what) { record::usageError(what, defaults); };
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

}  // namespace record
