// Frame conversion, each case beside its floor (memcpy of the frame's output
// bytes), its peer (libyuv's NV12Scale with kFilterNone on the same input;
// a speed peer only: it samples pixel centres, so its bytes differ) and the
// straightforward reference (pixel::convertReference). Hot cache: the same
// source and output every iteration, as a capture loop reuses them.
// Run: build/bench/nv12_bench (docs/performance.md has the full command).
#include <benchmark/benchmark.h>

#include <libyuv.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "nv12.h"
#include "nv12_fast.h"

namespace {

struct Case {
    int sw, sh, lumaStride, chromaStride, w, h;  // w, h as requested
};

// Index by the benchmark's argument.
constexpr Case kCases[] = {
    {1920, 1080, 2048, 2048, 1920, 1080},  // identity, padded source rows
    {3840, 2160, 3840, 3840, 1920, 1080},  // 2:1
    {1280, 720, 1280, 1280, 1920, 1080},   // upscale
    {2560, 1440, 2560, 2560, 1279, 719},   // just over 2:1, odd request
};
constexpr const char* kNames[] = {"1920x1080_to_1920x1080_padded", "3840x2160_to_1920x1080",
                                  "1280x720_to_1920x1080", "2560x1440_to_1279x719"};

struct Fixture {
    Case c;
    pixel::Frame frame;
    std::vector<std::uint8_t> luma, chroma, outLuma, outChroma;
    pixel::Source src;

    explicit Fixture(std::int64_t index) : c(kCases[index]) {
        frame = *pixel::frameFor(c.w, c.h);
        std::mt19937 rng(11);
        luma.resize(static_cast<std::size_t>(c.lumaStride) * c.sh);
        chroma.resize(static_cast<std::size_t>(c.chromaStride) * ((c.sh + 1) / 2));
        for (auto& b : luma) b = static_cast<std::uint8_t>(rng());
        for (auto& b : chroma) b = static_cast<std::uint8_t>(rng());
        outLuma.assign(frame.lumaBytes, 0);
        outChroma.assign(frame.chromaBytes, 0);
        src = pixel::Source{luma.data(), c.lumaStride, chroma.data(), c.chromaStride, c.sw, c.sh};
    }
    std::size_t outBytes() const { return frame.lumaBytes + frame.chromaBytes; }
};

void run(benchmark::State& state, const Fixture& f, auto&& body) {
    for (auto _ : state) {
        body();
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(f.outBytes()));
}

void fast(benchmark::State& state, std::int64_t index, const char* path) {
    Fixture f(index);
    pixel::Converter conv = path ? pixel::Converter(path) : pixel::Converter();
    run(state, f, [&] {
        conv.convert(f.src, f.frame.width, f.frame.height, f.outLuma.data(), f.outChroma.data());
        benchmark::DoNotOptimize(f.outLuma.data());
    });
}

// The floor: copying the bytes the frame consists of.
void copy(benchmark::State& state, std::int64_t index) {
    Fixture f(index);
    std::vector<std::uint8_t> from(f.outBytes(), 1), to(f.outBytes());
    run(state, f, [&] {
        std::memcpy(to.data(), from.data(), to.size());
        benchmark::DoNotOptimize(to.data());
    });
}

void libyuvNone(benchmark::State& state, std::int64_t index) {
    Fixture f(index);
    const int W = static_cast<int>(f.frame.width), H = static_cast<int>(f.frame.height);
    run(state, f, [&] {
        libyuv::NV12Scale(f.luma.data(), f.c.lumaStride, f.chroma.data(), f.c.chromaStride, f.c.sw,
                          f.c.sh, f.outLuma.data(), W, f.outChroma.data(), W, W, H,
                          libyuv::kFilterNone);
        benchmark::DoNotOptimize(f.outLuma.data());
    });
}

void reference(benchmark::State& state, std::int64_t index) {
    Fixture f(index);
    run(state, f, [&] {
        pixel::convertReference(f.src, f.frame.width, f.frame.height, f.outLuma.data(),
                               f.outChroma.data());
        benchmark::DoNotOptimize(f.outLuma.data());
    });
}

}  // namespace

// Per case, side by side: frame/<case>/{fast, memcpy, libyuv_none,
// reference}, then each available path of the fast conversion.
int main(int argc, char** argv) {
    for (std::int64_t i = 0; i < 4; ++i) {
        const std::string base = std::string("frame/") + kNames[i] + "/";
        benchmark::RegisterBenchmark((base + "fast").c_str(), fast, i, nullptr)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark((base + "memcpy").c_str(), copy, i)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark((base + "libyuv_none").c_str(), libyuvNone, i)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark((base + "reference").c_str(), reference, i)
            ->Unit(benchmark::kMicrosecond);
        for (const char* p : common::availablePaths())
            benchmark::RegisterBenchmark((base + "path_" + p).c_str(), fast, i, p)
                ->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
