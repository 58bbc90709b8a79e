// Helpers shared by the screen library's tests: pipes, scratch files,
// standard-error capture and source images with recognisable bytes.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "capture.h"
#include "capture_fake.h"

namespace support {

constexpr int kGuardMs = 10000;  // against hangs only

inline bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        if (::pipe(fds) != 0) std::abort();
        r = fds[0];
        w = fds[1];
    }
    ~Pipe() {
        if (r >= 0) ::close(r);
        if (w >= 0) ::close(w);
    }
    // The write end passes to the library, which owns it from then on.
    int giveWriteEnd() {
        const int fd = w;
        w = -1;
        return fd;
    }
};

// Reads until end of file. Fails the test if the writer neither writes nor
// closes within the guard.
inline std::vector<std::uint8_t> readToEof(int fd) {
    std::vector<std::uint8_t> all;
    std::uint8_t buf[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, kGuardMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            ADD_FAILURE() << "no end of file within the guard";
            return all;
        }
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return all;
        all.insert(all.end(), buf, buf + n);
    }
}

inline std::vector<std::uint8_t> readExactly(int fd, std::size_t count) {
    std::vector<std::uint8_t> all(count);
    std::size_t got = 0;
    while (got < count) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kGuardMs) <= 0) {
            ADD_FAILURE() << "only " << got << " of " << count << " bytes within the guard";
            all.resize(got);
            return all;
        }
        const ssize_t n = ::read(fd, all.data() + got, count - got);
        if (n <= 0) {
            all.resize(got);
            return all;
        }
        got += static_cast<std::size_t>(n);
    }
    return all;
}

// Whether every writer of the pipe has gone (hang-up), without waiting.
inline bool writerGoneNow(int readFd) {
    pollfd p{readFd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
}

// An unlinked scratch file: the library writes to one descriptor, the test
// reads through its own.
struct ScratchFile {
    int fd = -1;
    ScratchFile() {
        char name[] = "/tmp/mirvo-screen-test-XXXXXX";
        fd = ::mkstemp(name);
        if (fd < 0) std::abort();
        ::unlink(name);
    }
    ~ScratchFile() { ::close(fd); }
    int dupForWriter() const { return ::dup(fd); }
    std::vector<std::uint8_t> contents() const {
        std::vector<std::uint8_t> all;
        std::uint8_t buf[65536];
        off_t at = 0;
        for (;;) {
            const ssize_t n = ::pread(fd, buf, sizeof buf, at);
            if (n <= 0) return all;
            all.insert(all.end(), buf, buf + n);
            at += n;
        }
    }
};

// Redirects descriptor 2 into a scratch file until text() or destruction.
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
        ::close(saved_);
        saved_ = -1;
    }
    ScratchFile file_;
    int saved_;
};

// Recognisable bytes: luma (x, y) and chroma pair (c, r) get values that
// differ between neighbouring positions, and row padding is 0xEE.
inline std::uint8_t lumaAt(std::size_t x, std::size_t y) {
    return static_cast<std::uint8_t>((x * 7 + y * 31) % 251);
}
inline std::uint8_t cbAt(std::size_t c, std::size_t r) {
    return static_cast<std::uint8_t>((c * 11 + r * 3 + 5) % 253);
}
inline std::uint8_t crAt(std::size_t c, std::size_t r) {
    return static_cast<std::uint8_t>((c * 5 + r * 17 + 9) % 241);
}

inline std::shared_ptr<fake::PixelBuffer> patterned(std::size_t w, std::size_t h,
                                                    std::uint32_t format = capture::kPixelFormat420v,
                                                    std::size_t lumaStride = 0,
                                                    std::size_t chromaStride = 0) {
    auto b = std::make_shared<fake::PixelBuffer>(w, h, format, lumaStride, chromaStride);
    const std::size_t cw = (w + 1) / 2, ch = (h + 1) / 2;
    for (std::size_t i = 0; i < b->planeBytes(0); ++i) b->plane(0)[i] = 0xEE;
    for (std::size_t i = 0; i < b->planeBytes(1); ++i) b->plane(1)[i] = 0xEE;
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) b->plane(0)[y * b->stride(0) + x] = lumaAt(x, y);
    for (std::size_t r = 0; r < ch; ++r)
        for (std::size_t c = 0; c < cw; ++c) {
            b->plane(1)[r * b->stride(1) + 2 * c] = cbAt(c, r);
            b->plane(1)[r * b->stride(1) + 2 * c + 1] = crAt(c, r);
        }
    return b;
}

// Every luma byte m, every chroma byte m ^ 0xFF: a frame that shows whether
// it arrived whole.
inline std::shared_ptr<fake::PixelBuffer> marked(std::size_t w, std::size_t h, std::uint8_t m) {
    auto b = std::make_shared<fake::PixelBuffer>(w, h, capture::kPixelFormat420v);
    for (std::size_t i = 0; i < b->planeBytes(0); ++i) b->plane(0)[i] = m;
    for (std::size_t i = 0; i < b->planeBytes(1); ++i) b->plane(1)[i] = static_cast<std::uint8_t>(m ^ 0xFF);
    return b;
}

// A stream the sink's callbacks can name; the sink never calls it.
class NullStream final : public capture::Stream {
public:
    bool addStreamOutput(std::shared_ptr<capture::StreamOutput>, capture::OutputType,
                         std::shared_ptr<capture::Queue>, capture::Error*) override {
        ADD_FAILURE() << "the sink called its stream";
        return false;
    }
    void startCapture(capture::Completion) override { ADD_FAILURE() << "the sink called its stream"; }
    void stopCapture(capture::Completion) override { ADD_FAILURE() << "the sink called its stream"; }
};

}  // namespace support
