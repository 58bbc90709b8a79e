#include "pcm.h"

#include <bit>
#include <cstddef>
#include <vector>

#include "cpu_paths.h"
#if MIRVO_CPU_X86
#include <immintrin.h>
#elif MIRVO_CPU_NEON
#include <arm_neon.h>
#endif


static_assert(std::endian::native == std::endian::little,
              "the PCM stream is little-endian and is written from memory as is");

// This file is compiled with -ffp-contract=off: a fused multiply-add would
// change roundings and so the bytes.

std::int16_t sat(float x) {
    if (!(x < 1.0f)) return 32767;  // 1.0 and above, +inf, NaN
    const float p = (x < -1.0f ? -1.0f : x) * 32767.0f;
    // Round half away from zero. |p| <= 32767, so the truncation is exact
    // and p - t is the exact fraction.
    auto t = static_cast<std::int32_t>(p);
    const float f = p - static_cast<float>(t);
    if (f >= 0.5f) {
        ++t;
    } else if (f <= -0.5f) {
        --t;
    }
    return static_cast<std::int16_t>(t);
}

namespace {

using Kernel = void (*)(std::int64_t, std::int64_t, const float*, std::int16_t*);

void convertScalar(std::int64_t frames, std::int64_t channels, const float* src,
                   std::int16_t* dst) {
    if (channels >= 2) {
        for (std::int64_t i = 0; i < frames; ++i) {
            dst[2 * i] = sat(src[i * channels]);
            dst[2 * i + 1] = sat(src[i * channels + 1]);
        }
    } else {
        for (std::int64_t i = 0; i < frames; ++i) {
            const std::int16_t s = sat(src[i]);
            dst[2 * i] = s;
            dst[2 * i + 1] = s;
        }
    }
}

// The loops of the 128-bit paths (SSE2, NEON), written once. V gives four
// floats from memory (load4), the first two samples of two frames (pairs2),
// sat() on four lanes (sat4), and stores of two such results narrowed to
// eight samples (store8) or of one with each sample doubled (storeTwice4).
template <class V>
void convert128(std::int64_t frames, std::int64_t channels, const float* src, std::int16_t* dst) {
    std::int64_t i = 0;
    if (channels == 2) {
        // Interleaved stereo in, interleaved stereo out: a straight map.
        const std::int64_t n = 2 * frames;
        for (; i + 8 <= n; i += 8)
            V::store8(dst + i, V::sat4(V::load4(src + i)), V::sat4(V::load4(src + i + 4)));
        for (; i < n; ++i) dst[i] = sat(src[i]);
        return;
    }
    if (channels > 2) {
        // The first two samples of each frame, two frames per vector.
        for (; i + 4 <= frames; i += 4) {
            const float* f = src + i * channels;
            V::store8(dst + 2 * i, V::sat4(V::pairs2(f, channels)),
                      V::sat4(V::pairs2(f + 2 * channels, channels)));
        }
        convertScalar(frames - i, channels, src + i * channels, dst + 2 * i);
        return;
    }
    // One channel to both sides.
    for (; i + 4 <= frames; i += 4) V::storeTwice4(dst + 2 * i, V::sat4(V::load4(src + i)));
    convertScalar(frames - i, channels, src + i, dst + 2 * i);
}

#if MIRVO_CPU_X86

struct Sse2 {
    static __m128 load4(const float* p) { return _mm_loadu_ps(p); }

    // Two 64-bit loads.
    static __m128 pairs2(const float* f, std::int64_t channels) {
        const __m128 lo = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(f));
        return _mm_loadh_pi(lo, reinterpret_cast<const __m64*>(f + channels));
    }

    // min(x, 1) turns NaN into 1 (minps returns its second operand when
    // either is NaN), so the clamp alone covers NaN and +-inf. Rounding half
    // away from zero is trunc(|p| + 0.49999997) with p's sign: exact for
    // every |p| <= 32767 (the largest float below one half never lets the sum
    // round up across an integer), which the exhaustive test confirms.
    static __m128i sat4(__m128 x) {
        const __m128 y = _mm_max_ps(_mm_min_ps(x, _mm_set1_ps(1.0f)), _mm_set1_ps(-1.0f));
        const __m128 p = _mm_mul_ps(y, _mm_set1_ps(32767.0f));
        const __m128 magnitude = _mm_andnot_ps(_mm_set1_ps(-0.0f), p);
        const __m128i t = _mm_cvttps_epi32(_mm_add_ps(magnitude, _mm_set1_ps(0.49999997f)));
        const __m128i sign = _mm_srai_epi32(_mm_castps_si128(p), 31);
        return _mm_sub_epi32(_mm_xor_si128(t, sign), sign);
    }

    static void store8(std::int16_t* d, __m128i a, __m128i b) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_packs_epi32(a, b));
    }

    static void storeTwice4(std::int16_t* d, __m128i s) {
        const __m128i packed = _mm_packs_epi32(s, s);  // s0..s3 twice
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_unpacklo_epi16(packed, packed));
    }
};

void convertSse2(std::int64_t frames, std::int64_t channels, const float* src,
                 std::int16_t* dst) {
    convert128<Sse2>(frames, channels, src, dst);
}

__attribute__((target("avx2"))) inline __m256i sat8(__m256 x) {
    const __m256 y = _mm256_max_ps(_mm256_min_ps(x, _mm256_set1_ps(1.0f)), _mm256_set1_ps(-1.0f));
    const __m256 p = _mm256_mul_ps(y, _mm256_set1_ps(32767.0f));
    const __m256 magnitude = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), p);
    const __m256i t = _mm256_cvttps_epi32(_mm256_add_ps(magnitude, _mm256_set1_ps(0.49999997f)));
    const __m256i sign = _mm256_srai_epi32(_mm256_castps_si256(p), 31);
    return _mm256_sub_epi32(_mm256_xor_si256(t, sign), sign);
}

// The first two samples of four frames; 64-bit loads are cheaper here than
// a gather.
__attribute__((target("avx2"))) inline __m256 pairs4(const float* f, std::int64_t channels) {
    const __m128 hi = Sse2::pairs2(f + 2 * channels, channels);
    return _mm256_insertf128_ps(_mm256_castps128_ps256(Sse2::pairs2(f, channels)), hi, 1);
}

__attribute__((target("avx2"))) void convertAvx2(std::int64_t frames, std::int64_t channels,
                                                 const float* src, std::int16_t* dst) {
    std::int64_t i = 0;
    if (channels == 2) {
        const std::int64_t n = 2 * frames;
        for (; i + 16 <= n; i += 16) {
            const __m256i a = sat8(_mm256_loadu_ps(src + i));
            const __m256i b = sat8(_mm256_loadu_ps(src + i + 8));
            // packs works per 128-bit lane; put the quarters back in order.
            const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), packed);
        }
        convertSse2(frames - i / 2, 2, src + i, dst + i);
        return;
    }
    if (channels == 6) {
        // 5.1: one 8-float load at frame f holds f's (L, R) in its first
        // quarter and f + 1's in its last, so two loads and one in-lane
        // shuffle give four frames, and one cross-lane permute puts eight in
        // order: far fewer shuffles than 64-bit loads.
        const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
        for (; i + 8 <= frames; i += 8) {
            const float* f = src + i * 6;
            const __m256d a = _mm256_shuffle_pd(_mm256_castps_pd(_mm256_loadu_ps(f)),
                                                _mm256_castps_pd(_mm256_loadu_ps(f + 12)), 12);
            const __m256d b = _mm256_shuffle_pd(_mm256_castps_pd(_mm256_loadu_ps(f + 24)),
                                                _mm256_castps_pd(_mm256_loadu_ps(f + 36)), 12);
            const __m256i packed = _mm256_packs_epi32(sat8(_mm256_castpd_ps(a)), sat8(_mm256_castpd_ps(b)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * i),
                                _mm256_permutevar8x32_epi32(packed, order));
        }
        convertSse2(frames - i, channels, src + i * channels, dst + 2 * i);
        return;
    }
    if (channels > 2) {
        // The first two samples of each frame, four frames per vector.
        for (; i + 8 <= frames; i += 8) {
            const float* f = src + i * channels;
            const __m256i a = sat8(pairs4(f, channels));
            const __m256i b = sat8(pairs4(f + 4 * channels, channels));
            const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * i), packed);
        }
        convertSse2(frames - i, channels, src + i * channels, dst + 2 * i);
        return;
    }
    for (; i + 8 <= frames; i += 8) {
        const __m256i s = sat8(_mm256_loadu_ps(src + i));
        // s0..s7 in the low half, then each doubled: s0 s0 s1 s1 ... s7 s7.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(s, s), 0xD8);
        const __m128i lo = _mm256_castsi256_si128(packed);
        const __m128i a = _mm_unpacklo_epi16(lo, lo);
        const __m128i b = _mm_unpackhi_epi16(lo, lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i), a);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i + 8), b);
    }
    convertSse2(frames - i, channels, src + i, dst + 2 * i);
}

#elif MIRVO_CPU_NEON

struct Neon {
    static float32x4_t load4(const float* p) { return vld1q_f32(p); }

    static float32x4_t pairs2(const float* f, std::int64_t channels) {
        return vcombine_f32(vld1_f32(f), vld1_f32(f + channels));
    }

    // FCVTAS rounds to nearest with ties away from zero, which is exactly
    // the scalar rounding.
    static int32x4_t sat4(float32x4_t x) {
        const uint32x4_t below1 = vcltq_f32(x, vdupq_n_f32(1.0f));  // false for NaN
        const float32x4_t p = vmulq_f32(vmaxnmq_f32(x, vdupq_n_f32(-1.0f)), vdupq_n_f32(32767.0f));
        return vbslq_s32(below1, vcvtaq_s32_f32(p), vdupq_n_s32(32767));
    }

    static void store8(std::int16_t* d, int32x4_t a, int32x4_t b) {
        vst1q_s16(d, vcombine_s16(vqmovn_s32(a), vqmovn_s32(b)));
    }

    static void storeTwice4(std::int16_t* d, int32x4_t s) {
        const int16x4_t n = vqmovn_s32(s);
        const int16x4x2_t z = vzip_s16(n, n);
        vst1q_s16(d, vcombine_s16(z.val[0], z.val[1]));
    }
};

void convertNeon(std::int64_t frames, std::int64_t channels, const float* src,
                 std::int16_t* dst) {
    convert128<Neon>(frames, channels, src, dst);
}

#endif

constexpr common::PathTable<Kernel> kKernels{{
    convertScalar,
#if MIRVO_CPU_X86
    convertSse2, convertAvx2, nullptr,
#elif MIRVO_CPU_NEON
    nullptr, nullptr, convertNeon,
#endif
}};

const Kernel gKernel = kKernels.widest();

}  // namespace

namespace audio {

void convert(std::int64_t frames, std::int64_t channels, const float* src, std::int16_t* dst) {
    if (frames > 0) gKernel(frames, channels, src, dst);
}

void convertReference(std::int64_t frames, std::int64_t channels, const float* src,
                      std::int16_t* dst) {
    if (frames > 0) convertScalar(frames, channels, src, dst);
}

bool convertWith(const char* path, std::int64_t frames, std::int64_t channels, const float* src,
                 std::int16_t* dst) {
    const Kernel k = kKernels.named(path);
    if (k == nullptr) return false;
    if (frames > 0) k(frames, channels, src, dst);
    return true;
}

}  // namespace audio
