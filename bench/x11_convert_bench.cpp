// The X11 binding's pixel kernels at the sizes a capture meets: BGRX -> NV12
// colour conversion of a whole 1080p display (the path when the display
// already has the configured size), the area scaler 1080p -> 720p, and the
// fused scale + convert a scaled capture runs per frame. Each on the plain
// form and on every vector path of this processor.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "area_scaler.h"
#include "bgrx_nv12.h"

namespace {

std::vector<std::uint8_t> randomBgrx(int w, int h) {
    std::vector<std::uint8_t> v(static_cast<std::size_t>(w) * h * 4);
    std::mt19937 rng(7);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
}

void colour(benchmark::State& state, const char* path) {
    const int w = 1920, h = 1080;
    const auto src = randomBgrx(w, h);
    std::vector<std::uint8_t> y(w * h), uv(w * h / 2);
    if (!pixel::bgrxToNv12Bt709With(path, src.data(), w * 4, w, h, y.data(), w, uv.data(), w)) {
        state.SkipWithError("path not available here");
        return;
    }
    for (auto _ : state) {
        pixel::bgrxToNv12Bt709With(path, src.data(), w * 4, w, h, y.data(), w, uv.data(), w);
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(src.size()));
}

void scaleReference(benchmark::State& state) {
    const auto src = randomBgrx(1920, 1080);
    std::vector<std::uint8_t> dst(1280 * 720 * 4);
    for (auto _ : state) {
        pixel::AreaScaler::scaleReference(1920, 1080, 1280, 720, src.data(), 1920 * 4,
                                            dst.data(), 1280 * 4);
        benchmark::DoNotOptimize(dst.data());
    }
}

void scale(benchmark::State& state, const char* path) {
    const auto src = randomBgrx(1920, 1080);
    std::vector<std::uint8_t> dst(1280 * 720 * 4);
    pixel::AreaScaler s(1920, 1080, 1280, 720, path);
    for (auto _ : state) {
        s.scale(src.data(), 1920 * 4, dst.data(), 1280 * 4);
        benchmark::DoNotOptimize(dst.data());
    }
}

// What the capture thread did per scaled frame before: the plain scaler
// into a full-frame buffer, then the plain conversion.
void scaleThenConvertReference(benchmark::State& state) {
    const auto src = randomBgrx(1920, 1080);
    std::vector<std::uint8_t> mid(1280 * 720 * 4), y(1280 * 720), uv(1280 * 360);
    for (auto _ : state) {
        pixel::AreaScaler::scaleReference(1920, 1080, 1280, 720, src.data(), 1920 * 4,
                                            mid.data(), 1280 * 4);
        pixel::bgrxToNv12Bt709Reference(mid.data(), 1280 * 4, 1280, 720, y.data(), 1280,
                                          uv.data(), 1280);
        benchmark::DoNotOptimize(y.data());
    }
}

void scaleToNv12(benchmark::State& state, const char* path) {
    const auto src = randomBgrx(1920, 1080);
    std::vector<std::uint8_t> y(1280 * 720), uv(1280 * 360);
    pixel::AreaScaler s(1920, 1080, 1280, 720, path);
    for (auto _ : state) {
        s.scaleToNv12(src.data(), 1920 * 4, y.data(), 1280, uv.data(), 1280);
        benchmark::DoNotOptimize(y.data());
    }
}

void registerAll() {
    for (const char* path : common::availablePaths()) {
        benchmark::RegisterBenchmark((std::string("Colour1080p/") + path).c_str(), colour, path)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark("Scale1080pTo720p/reference", scaleReference)
        ->Unit(benchmark::kMicrosecond);
    for (const char* path : common::availablePaths())
        benchmark::RegisterBenchmark((std::string("Scale1080pTo720p/") + path).c_str(), scale, path)
            ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("ScaleToNv12_1080pTo720p/reference", scaleThenConvertReference)
        ->Unit(benchmark::kMicrosecond);
    for (const char* path : common::availablePaths())
        benchmark::RegisterBenchmark((std::string("ScaleToNv12_1080pTo720p/") + path).c_str(),
                                     scaleToNv12, path)
            ->Unit(benchmark::kMicrosecond);
}

}  // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
