// Sample conversion per IO cycle, each case beside its floor (memcpy of the
// input bytes) and the straightforward form (a fresh zeroed block per cycle
// and lround per sample). Run: build/bench/pcm_bench
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "pcm.h"

namespace {

std::vector<float> input(std::int64_t frames, std::int64_t channels) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> d(-1.1f, 1.1f);
    std::vector<float> v(std::size_t(frames * channels));
    for (auto& x : v) x = d(rng);
    return v;
}

void BM_Fast(benchmark::State& state) {
    const auto frames = state.range(0), channels = state.range(1);
    const auto src = input(frames, channels);
    std::vector<std::int16_t> dst(std::size_t(2 * frames));
    for (auto _ : state) {
        audio::convert(frames, channels, src.data(), dst.data());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t(src.size() * 4));
}

void BM_Memcpy(benchmark::State& state) {
    const auto frames = state.range(0), channels = state.range(1);
    const auto src = input(frames, channels);
    std::vector<float> dst(src.size());
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), src.size() * 4);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t(src.size() * 4));
}

std::int16_t satLround(float x) {
    if (!(x < 1.0f)) return 32767;
    return static_cast<std::int16_t>(std::lround((x < -1.0f ? -1.0f : x) * 32767.0f));
}

void BM_Straightforward(benchmark::State& state) {
    const auto frames = state.range(0), channels = state.range(1);
    const auto src = input(frames, channels);
    for (auto _ : state) {
        std::vector<std::int16_t> block(std::size_t(2 * frames), 0);
        for (std::int64_t i = 0; i < frames; ++i) {
            block[std::size_t(2 * i)] = satLround(src[std::size_t(i * channels)]);
            block[std::size_t(2 * i + 1)] = satLround(src[std::size_t(i * channels + 1)]);
        }
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t(src.size() * 4));
}

void shapes(benchmark::internal::Benchmark* b) {
    for (std::int64_t frames : {512, 4096}) {
        for (std::int64_t channels : {2, 6}) b->Args({frames, channels});
    }
    b->ArgNames({"frames", "channels"});
}

BENCHMARK(BM_Fast)->Apply(shapes);
BENCHMARK(BM_Memcpy)->Apply(shapes);
BENCHMARK(BM_Straightforward)->Apply(shapes);

}  // namespace

BENCHMARK_MAIN();
