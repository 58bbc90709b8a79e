// The fast NV12 resampler's SSE2 and AVX2 kernels (x86-64).
#include "nv12_fast_kernels.h"

#if MIRVO_CPU_X86
#include <immintrin.h>

namespace pixel {
namespace {

inline __m128i ld(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void st(std::uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// Even bytes of 32 (and, with odd, the odd bytes).
inline __m128i evens8(__m128i a, __m128i b) {
    const __m128i m = _mm_set1_epi16(0x00FF);
    return _mm_packus_epi16(_mm_and_si128(a, m), _mm_and_si128(b, m));
}
inline __m128i odds8(__m128i a, __m128i b) {
    return _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
}
// Even 16-bit units of 32 bytes (sign-extended so the signed pack is exact),
// and the odd ones.
inline __m128i evens16(__m128i a, __m128i b) {
    return _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(a, 16), 16),
                           _mm_srai_epi32(_mm_slli_epi32(b, 16), 16));
}
inline __m128i odds16(__m128i a, __m128i b) {
    return _mm_packs_epi32(_mm_srai_epi32(a, 16), _mm_srai_epi32(b, 16));
}

// Halving from output i on, 16 outputs at a time while the loads stay within
// readLen; then the last 16 again, from loads that end at the last byte read:
// the source offset 2(n - 16) - 1 (luma, kUnit 1) or - 2 (pairs, kUnit 2)
// puts the wanted samples in the odd positions. n is at least 16 + kUnit.
template <int kUnit>
inline void halfRestSse2(const std::uint8_t* s, std::uint8_t* d, std::int64_t n, std::int64_t readLen,
                         std::int64_t i) {
    constexpr auto evens = kUnit == 1 ? evens8 : evens16;
    constexpr auto odds = kUnit == 1 ? odds8 : odds16;
    for (; i + 16 <= n && 2 * i + 32 <= readLen; i += 16) st(d + i, evens(ld(s + 2 * i), ld(s + 2 * i + 16)));
    if (i < n) {
        const std::uint8_t* t = s + 2 * n - 32 - kUnit;
        st(d + n - 16, odds(ld(t), ld(t + 16)));
    }
}

void half1Sse2(const std::uint8_t* s, std::uint8_t* d, std::int64_t n, std::int64_t readLen) {
    if (n < 17) return half1Scalar(s, d, n, readLen);
    halfRestSse2<1>(s, d, n, readLen, 0);
}

void half2Sse2(const std::uint8_t* s, std::uint8_t* d, std::int64_t n, std::int64_t readLen) {
    if (n < 18) return half2Scalar(s, d, n, readLen);
    halfRestSse2<2>(s, d, n, readLen, 0);
}

}  // namespace

constexpr Converter::Kernels kSse2Kernels{"sse2", half1Sse2, half2Sse2, nullptr, nullptr};

namespace {

#define NV12_AVX2 __attribute__((target("avx2")))

NV12_AVX2 inline __m256i ld32(const std::uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
NV12_AVX2 inline void st32(std::uint8_t* p, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}
NV12_AVX2 inline __m256i two(const std::uint8_t* lo, const std::uint8_t* hi) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(ld(lo)), ld(hi), 1);
}

NV12_AVX2 void half1Avx2(const std::uint8_t* s, std::uint8_t* d, std::int64_t n, std::int64_t readLen) {
    if (n < 17) return half1Scalar(s, d, n, readLen);
    const __m256i m = _mm256_set1_epi16(0x00FF);
    std::int64_t i = 0;
    for (; i + 32 <= n && 2 * i + 64 <= readLen; i += 32) {
        const __m256i a = _mm256_and_si256(ld32(s + 2 * i), m);
        const __m256i b = _mm256_and_si256(ld32(s + 2 * i + 32), m);
        st32(d + i, _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8));
    }
    halfRestSse2<1>(s, d, n, readLen, i);
}

NV12_AVX2 void half2Avx2(const std::uint8_t* s, std::uint8_t* d, std::int64_t n, std::int64_t readLen) {
    if (n < 18) return half2Scalar(s, d, n, readLen);
    std::int64_t i = 0;
    for (; i + 32 <= n && 2 * i + 64 <= readLen; i += 32) {
        const __m256i a = ld32(s + 2 * i), b = ld32(s + 2 * i + 32);
        const __m256i p = _mm256_packs_epi32(_mm256_srai_epi32(_mm256_slli_epi32(a, 16), 16),
                                             _mm256_srai_epi32(_mm256_slli_epi32(b, 16), 16));
        st32(d + i, _mm256_permute4x64_epi64(p, 0xD8));
    }
    halfRestSse2<2>(s, d, n, readLen, i);
}

// Blocks in pairs while both are whole and adjacent (all but the last
// block), the rest one at a time.
NV12_AVX2 void gather1Avx2(const std::uint8_t* s, std::uint8_t* d, const RowPlan& p) {
    const std::int64_t nb = static_cast<std::int64_t>(p.off.size());
    const std::int64_t* b0 = p.b0.data();
    const std::uint8_t* c0 = p.c0.data();
    std::int64_t k = 0;
    for (; k + 2 < nb; k += 2) {
        const __m256i v = two(s + b0[k], s + b0[k + 1]);
        st32(d + k * kBlock, _mm256_shuffle_epi8(v, ld32(c0 + k * kBlock)));
    }
    for (; k < nb; ++k) st(d + p.off[k], _mm_shuffle_epi8(ld(s + b0[k]), ld(c0 + k * kBlock)));
}

NV12_AVX2 void gather2Avx2(const std::uint8_t* s, std::uint8_t* d, const RowPlan& p) {
    const std::int64_t nb = static_cast<std::int64_t>(p.off.size());
    const std::int64_t* b0 = p.b0.data();
    const std::int64_t* b1 = p.b1.data();
    const std::uint8_t* c0 = p.c0.data();
    const std::uint8_t* c1 = p.c1.data();
    std::int64_t k = 0;
    for (; k + 2 < nb; k += 2) {
        const __m256i v0 = two(s + b0[k], s + b0[k + 1]);
        const __m256i v1 = two(s + b1[k], s + b1[k + 1]);
        const __m256i r = _mm256_or_si256(_mm256_shuffle_epi8(v0, ld32(c0 + k * kBlock)),
                                          _mm256_shuffle_epi8(v1, ld32(c1 + k * kBlock)));
        st32(d + k * kBlock, r);
    }
    for (; k < nb; ++k) {
        const __m128i r = _mm_or_si128(_mm_shuffle_epi8(ld(s + b0[k]), ld(c0 + k * kBlock)),
                                       _mm_shuffle_epi8(ld(s + b1[k]), ld(c1 + k * kBlock)));
        st(d + p.off[k], r);
    }
}

}  // namespace

constexpr Converter::Kernels kAvx2Kernels{"avx2", half1Avx2, half2Avx2, gather1Avx2, gather2Avx2};

}  // namespace pixel

#endif  // MIRVO_CPU_X86
