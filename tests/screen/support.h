// Helpers shared by the screen library's tests: pipes, scratch files,
// standard-error capture and source images with recognisable bytes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "capture.h"
#include "capture_fake.h"

namespace support {

using Bytes = std::vector<std::uint8_t>;
constexpr int kGuardMs = 10000;  // against hangs only

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        if (::pipe(fds) != 0) std::abort();
        r = fds[0], w = fds[1];
    }
    ~Pipe() { ::close(r), ::close(w); }
    int giveWriteEnd() { return std::exchange(w, -1); }  // the library owns it from then on
};

// Reads `count` bytes, or to end of file if that comes first; in reads of
// at most `piece` bytes. Fails the test if the writer stalls past the guard.
inline Bytes readUpTo(int fd, std::size_t count = SIZE_MAX, std::size_t piece = 65536) {
    Bytes all;
    Bytes buf(piece);
    while (all.size() < count) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kGuardMs) == 0) {
            ADD_FAILURE() << "the writer stalled after " << all.size() << " bytes";
            break;
        }
        const ssize_t n = ::read(fd, buf.data(), std::min(piece, count - all.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        all.insert(all.end(), buf.begin(), buf.begin() + n);
    }
    return all;
}

// Whether every writer of the pipe has gone, without waiting.
inline bool writerGoneNow(int readFd) {
    pollfd p{readFd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
}

// An unlinked scratch file: the writer gets a duplicate of its descriptor.
struct ScratchFile {
    std::FILE* file = std::tmpfile();
    int fd = ::fileno(file);
    ~ScratchFile() { std::fclose(file); }
    int dupForWriter() const { return ::dup(fd); }
    Bytes contents() const {
        Bytes all(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)));
        if (::pread(fd, all.data(), all.size(), 0) != static_cast<ssize_t>(all.size())) std::abort();
        return all;
    }
};

// Descriptor 2 goes to a scratch file until text() or destruction.
class StderrCapture {
public:
    StderrCapture() : saved_(::dup(2)) { ::dup2(file_.fd, 2); }
    ~StderrCapture() { restore(); }
    std::string text() {
        restore();
        const auto bytes = file_.contents();
        return std::string(bytes.begin(), bytes.end());
    }

private:
    void restore() {
        if (saved_ < 0) return;
        ::dup2(saved_, 2);
        ::close(std::exchange(saved_, -1));
    }
    ScratchFile file_;
    int saved_;
};

// Luma (x, y) and chroma pair (c, r) get values that differ between
// neighbours; row padding is 0xEE.
inline std::uint8_t lumaAt(std::size_t x, std::size_t y) { return static_cast<std::uint8_t>((x * 7 + y * 31) % 251); }
inline std::uint8_t cbAt(std::size_t c, std::size_t r) { return static_cast<std::uint8_t>((c * 11 + r * 3 + 5) % 253); }
inline std::uint8_t crAt(std::size_t c, std::size_t r) { return static_cast<std::uint8_t>((c * 5 + r * 17 + 9) % 241); }

inline std::shared_ptr<fake::PixelBuffer> patterned(std::size_t w, std::size_t h,
                                                    std::uint32_t format = capture::kPixelFormat420v,
                                                    std::size_t lumaStride = 0,
                                                    std::size_t chromaStride = 0) {
    auto b = std::make_shared<fake::PixelBuffer>(w, h, format, lumaStride, chromaStride);
    std::fill_n(b->plane(0), b->planeBytes(0), 0xEE);
    std::fill_n(b->plane(1), b->planeBytes(1), 0xEE);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) b->plane(0)[y * b->stride(0) + x] = lumaAt(x, y);
    for (std::size_t r = 0; r < (h + 1) / 2; ++r)
        for (std::size_t c = 0; c < (w + 1) / 2; ++c) {
            b->plane(1)[r * b->stride(1) + 2 * c] = cbAt(c, r);
            b->plane(1)[r * b->stride(1) + 2 * c + 1] = crAt(c, r);
        }
    return b;
}

// The frame of W x H (both even) that a source of at least that size gives
// when nothing is resampled: its top-left visible pixels, Y then CbCr.
inline Bytes topLeftOfPatterned(std::size_t W, std::size_t H) {
    Bytes f;
    for (std::size_t y = 0; y < H; ++y)
        for (std::size_t x = 0; x < W; ++x) f.push_back(lumaAt(x, y));
    for (std::size_t r = 0; r < H / 2; ++r)
        for (std::size_t c = 0; c < W / 2; ++c) {
            f.push_back(cbAt(c, r));
            f.push_back(crAt(c, r));
        }
    return f;
}

// Every luma byte m, every chroma byte m ^ 0xFF: shows whether it arrived
// whole.
inline std::shared_ptr<fake::PixelBuffer> marked(std::size_t w, std::size_t h, std::uint8_t m) {
    auto b = std::make_shared<fake::PixelBuffer>(w, h, capture::kPixelFormat420v);
    std::fill_n(b->plane(0), b->planeBytes(0), m);
    std::fill_n(b->plane(1), b->planeBytes(1), m ^ 0xFF);
    return b;
}

// The markers of a stream of marked frames, in order; fails the test at a
// torn or partial frame.
inline Bytes markersOf(const Bytes& stream, std::size_t lumaBytes) {
    const std::size_t frame = lumaBytes * 3 / 2;
    EXPECT_EQ(stream.size() % frame, 0u) << "a partial frame at the end";
    Bytes markers;
    for (auto f = stream.begin(); stream.end() - f >= static_cast<std::ptrdiff_t>(frame); f += frame) {
        const auto chroma = f + static_cast<std::ptrdiff_t>(lumaBytes), end = f + static_cast<std::ptrdiff_t>(frame);
        if (std::count(f, chroma, *f) + std::count(chroma, end, *f ^ 0xFF) != static_cast<std::ptrdiff_t>(frame))
            ADD_FAILURE() << "a torn frame at " << f - stream.begin();
        markers.push_back(*f);
    }
    return markers;
}

}  // namespace support
