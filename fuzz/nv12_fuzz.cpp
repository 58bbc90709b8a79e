// The frame conversion on arbitrary geometry: source size, strides, pixel
// format and requested size. The reference, every fast path the build has
// (with converters kept across inputs, so plans are rebuilt on geometry
// changes) and the whole frame sink are held to the oracle's bytes, over
// planes that end exactly after the last byte the mapping may read.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <sanitizer/common_interface_defs.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "capture.h"
#include "fuzz_input.h"
#include "nv12.h"
#include "tap.h"
#if __has_include("nv12_fast.h")
#include "nv12_fast.h"
#define MIRVO_FUZZ_NV12_FAST 1
#endif

namespace {

// Plane memory handed out as a locked pixel buffer.
class Buffer final : public capture::PixelBuffer {
public:
    Buffer(std::size_t w, std::size_t h, std::uint32_t format, const std::uint8_t* y,
           std::size_t ys, const std::uint8_t* uv, std::size_t uvs)
        : w_(w), h_(h), format_(format), y_(y), uv_(uv), ys_(ys), uvs_(uvs) {}
    std::int32_t lockBaseAddress(std::uint64_t) override { ++depth; return 0; }
    std::int32_t unlockBaseAddress(std::uint64_t) override { --depth; return 0; }
    std::size_t width() const override { return w_; }
    std::size_t height() const override { return h_; }
    std::uint32_t pixelFormatType() const override { return format_; }
    const std::uint8_t* baseAddressOfPlane(std::size_t p) const override {
        return p == 0 ? y_ : p == 1 ? uv_ : nullptr;
    }
    std::size_t bytesPerRowOfPlane(std::size_t p) const override {
        return p == 0 ? ys_ : p == 1 ? uvs_ : 0;
    }
    int depth = 0;

private:
    std::size_t w_, h_;
    std::uint32_t format_;
    const std::uint8_t *y_, *uv_;
    std::size_t ys_, uvs_;
};

[[noreturn]] void fail(const char* what, std::int64_t sw, std::int64_t sh, std::int64_t W,
                       std::int64_t H) {
    char why[200];
    std::snprintf(why, sizeof why, "nv12_fuzz: %s (source %lldx%lld, frame %lldx%lld)", what,
                  static_cast<long long>(sw), static_cast<long long>(sh),
                  static_cast<long long>(W), static_cast<long long>(H));
    fuzzin::fail(why);
}

std::string readBack(int fd) {
    std::string s;
    char buf[65536];
    off_t off = 0;
    for (ssize_t n; (n = ::pread(fd, buf, sizeof buf, off)) > 0; off += n) s.append(buf, static_cast<std::size_t>(n));
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzin::Reader in(data, size);
    const std::int64_t sw = in.range(1, 256);
    const std::int64_t sh = in.range(1, 256);
    const std::int64_t ys = sw + in.range(0, 40);
    const std::int64_t uvs = 2 * ((sw + 1) / 2) + in.range(0, 40);
    const std::int64_t reqW = in.range(-3, 400);
    const std::int64_t reqH = in.range(-3, 400);
    const std::uint8_t formatPick = in.u8();
    const std::uint32_t format = formatPick % 3 == 0   ? capture::kPixelFormat420v
                                 : formatPick % 3 == 1 ? capture::kPixelFormat420f
                                                       : in.u32();

    // Exactly what the mapping may read: up to the last sample of the last
    // row it can pick.
    const std::int64_t scw = fuzzin::chromaGrid(sw), sch = fuzzin::chromaGrid(sh);
    fuzzin::Guarded y(static_cast<std::size_t>((sh - 1) * ys + sw));
    fuzzin::Guarded uv(static_cast<std::size_t>((sch - 1) * uvs + 2 * scw));
    in.fill(y.data(), y.size());
    in.fill(uv.data(), uv.size());

    const std::int64_t W = fuzzin::frameSide(reqW), H = fuzzin::frameSide(reqH);
    std::vector<std::uint8_t> want;
    fuzzin::oracleNv12(y.data(), ys, uv.data(), uvs, sw, sh, W, H, want);

    const nv12::Source src{y.data(), ys, uv.data(), uvs, sw, sh};
    const auto frame = nv12::frameFor(reqW, reqH);
    if (!frame || frame->width != W || frame->height != H ||
        frame->lumaBytes != static_cast<std::size_t>(W * H) || frame->chromaBytes != frame->lumaBytes / 2)
        fail("frameFor", sw, sh, W, H);
    if (!nv12::indexable(src, W, H)) fail("indexable refused a small source", sw, sh, W, H);

    std::vector<std::uint8_t> got(want.size() + 1, 0xA5);  // one canary byte past the frame
    nv12::convertReference(src, W, H, got.data(), got.data() + W * H);
    if (!want.empty() && std::memcmp(got.data(), want.data(), want.size()) != 0) fail("reference differs", sw, sh, W, H);
    if (got.back() != 0xA5) fail("reference wrote past the frame", sw, sh, W, H);

#ifdef MIRVO_FUZZ_NV12_FAST
    // One converter per path for the whole run: its plan carries over from
    // the previous input's geometry.
    static std::vector<std::pair<std::string, std::unique_ptr<nv12::Converter>>> converters = [] {
        std::vector<std::pair<std::string, std::unique_ptr<nv12::Converter>>> v;
        for (const char* p : nv12::availablePaths()) v.emplace_back(p, std::make_unique<nv12::Converter>(p));
        v.emplace_back("default", std::make_unique<nv12::Converter>());
        return v;
    }();
    for (auto& [name, conv] : converters) {
        std::fill(got.begin(), got.end(), 0xA5);
        conv->convert(src, W, H, got.data(), got.data() + W * H);
        if (!want.empty() && std::memcmp(got.data(), want.data(), want.size()) != 0) fail(("fast path differs: " + name).c_str(), sw, sh, W, H);
        if (got.back() != 0xA5) fail(("fast path wrote past the frame: " + name).c_str(), sw, sh, W, H);
    }
#endif

    // The sink end to end: the frame it writes, or nothing when it drops it.
    const int fd = ::memfd_create("nv12_fuzz", MFD_CLOEXEC);
    if (fd < 0) std::abort();
    Buffer buffer(static_cast<std::size_t>(sw), static_cast<std::size_t>(sh), format, y.data(),
                  static_cast<std::size_t>(ys), uv.data(), static_cast<std::size_t>(uvs));
    {
        Tap tap(reqW, reqH, ::dup(fd));
        tap.writeNV12(buffer);
        tap.writeNV12(buffer);  // twice: state kept between frames must not leak into the next
    }
    if (buffer.depth != 0) fail("pixel buffer left locked", sw, sh, W, H);
    const std::string written = readBack(fd);
    ::close(fd);
    const bool accepted = (format | 0x10u) == capture::kPixelFormat420v && W * H > 0;
    const std::string expected =
        accepted ? std::string(want.begin(), want.end()) + std::string(want.begin(), want.end()) : "";
    if (written != expected) fail("sink wrote other bytes", sw, sh, W, H);
    return 0;
}
