#include "nv12_fast.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define NV12_X86 1
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#define NV12_NEON 1
#endif

namespace nv12 {

namespace {

constexpr std::int64_t kBlock = 16;  // output bytes per shuffle block
// Source rows prefetched this many output rows ahead.
constexpr std::int64_t kPrefetchRows = 2;

}  // namespace

// How the rows of one plane are built from source rows: every output row of
// the plane uses the same column mapping.
struct RowPlan {
    enum Kind : std::uint8_t { kCopy, kHalf, kHalfRuns, kGather };
    Kind kind = kGather;
    std::int64_t elem = 1;     // bytes per sample: 1 luma, 2 chroma pair
    std::int64_t out = 0;      // output bytes per row (the frame width)
    std::int64_t readLen = 0;  // bytes of a source row the reference reads
    int loads = 0;             // kGather: 1 or 2 loads per block, 0 = map only
    std::vector<std::uint32_t> map;  // kGather: source byte of each output byte
    // kHalfRuns: stretches of 2:1 decimation, each from its own source
    // offset (a ratio just over 2:1 skips a sample every few hundred).
    struct Run {
        std::int64_t out, src, bytes;  // output offset, source offset, output bytes
    };
    std::vector<Run> runs;
    // kGather with loads > 0, one entry per 16-byte output block (the last
    // block overlaps its neighbour so that it ends at the row's end).
    std::vector<std::int64_t> off, b0, b1;
    // 16 per block. x86: c0 and c1 for the loads at b0 and b1 (0x80 = zero).
    // NEON: t, a table index into the 32 bytes of both loads.
    std::vector<std::uint8_t> c0, c1, t;
};

struct Converter::Plan {
    std::int64_t sw = -1, sh = -1, W = -1, H = -1;
    bool reference = false;  // indexes beyond 32 bits: the reference is used
    std::vector<std::int64_t> lumaRows, chromaRows;
    RowPlan luma, chroma;
};

struct Converter::Kernels {
    const char* name;
    // d[i] = s[2i] for i < n; reads s[0, readLen) only, readLen = 2n - 1.
    void (*half1)(const std::uint8_t* s, std::uint8_t* d, std::int64_t n, std::int64_t readLen);
    // Pairs: d[2j + k] = s[4j + k] for 2j + k < n (n even); readLen = 2n - 2.
    void (*half2)(const std::uint8_t* s, std::uint8_t* d, std::int64_t n, std::int64_t readLen);
    // Shuffle-block gathers with one or two loads per block; null: map.
    void (*gather1)(const std::uint8_t* s, std::uint8_t* d, const RowPlan& p);
    void (*gather2)(const std::uint8_t* s, std::uint8_t* d, const RowPlan& p);
};

namespace {

// ---- scalar ---------------------------------------------------------------

void half1Scalar(const std::uint8_t* s, std::uint8_t* d, std::int64_t n, std::int64_t) {
    for (std::int64_t i = 0; i < n; ++i) d[i] = s[2 * i];
}

void half2Scalar(const std::uint8_t* s, std::uint8_t* d, std::int64_t n, std::int64_t) {
    for (std::int64_t i = 0; i < n; i += 2) {
        d[i] = s[2 * i];
        d[i + 1] = s[2 * i + 1];
    }
}

void gatherMap(const std::uint8_t* s, std::uint8_t* d, const RowPlan& p) {
    const std::uint32_t* m = p.map.data();
    const std::int64_t n = p.out;
    std::int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        d[i] = s[m[i]];
        d[i + 1] = s[m[i + 1]];
        d[i + 2] = s[m[i + 2]];
        d[i + 3] = s[m[i + 3]];
    }
    for (; i < n; ++i) d[i] = s[m[i]];
}

constexpr Converter::Kernels kScalar{"scalar", half1Scalar, half2Scalar, nullptr, nullptr};

// ---- x86: SSE2 and AVX2 ---------------------------------------------------

#if defined(NV12_X86)

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

// The last 16 outputs again, from loads that end at the last byte read:
// the source offset 2(n - 16) - 1 (luma) or - 2 (pairs) puts the wanted
// samples in the odd positions.
void half1Sse2(const std::uint8_t* s, std::uint8_t* d, std::int64_t n, std::int64_t readLen) {
    if (n < 17) return half1Scalar(s, d, n, readLen);
    std::int64_t i = 0;
    for (; i + 16 <= n && 2 * i + 32 <= readLen; i += 16) st(d + i, evens8(ld(s + 2 * i), ld(s + 2 * i + 16)));
    if (i < n) {
        const std::uint8_t* t = s + 2 * n - 33;
        st(d + n - 16, odds8(ld(t), ld(t + 16)));
    }
}

void half2Sse2(const std::uint8_t* s, std::uint8_t* d, std::int64_t n, std::int64_t readLen) {
    if (n < 18) return half2Scalar(s, d, n, readLen);
    std::int64_t i = 0;
    for (; i + 16 <= n && 2 * i + 32 <= readLen; i += 16) st(d + i, evens16(ld(s + 2 * i), ld(s + 2 * i + 16)));
    if (i < n) {
        const std::uint8_t* t = s + 2 * n - 34;
        st(d + n - 16, odds16(ld(t), ld(t + 16)));
    }
}

constexpr Converter::Kernels kSse2{"sse2", half1Sse2, half2Sse2, nullptr, nullptr};

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
    for (; i + 16 <= n && 2 * i + 32 <= readLen; i += 16) st(d + i, evens8(ld(s + 2 * i), ld(s + 2 * i + 16)));
    if (i < n) {
        const std::uint8_t* t = s + 2 * n - 33;
        st(d + n - 16, odds8(ld(t), ld(t + 16)));
    }
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
    for (; i + 16 <= n && 2 * i + 32 <= readLen; i += 16) st(d + i, evens16(ld(s + 2 * i), ld(s + 2 * i + 16)));
    if (i < n) {
        const std::uint8_t* t = s + 2 * n - 34;
        st(d + n - 16, odds16(ld(t), ld(t + 16)));
    }
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

constexpr Converter::Kernels kAvx2{"avx2", half1Avx2, half2Avx2, gather1Avx2, gather2Avx2};

bool hasAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

#endif  // NV12_X86

// ---- arm64: NEON ----------------------------------------------------------

#if defined(NV12_NEON)

void half1Neon(const std::uint8_t* s, std::uint8_t* d, std::int64_t n, std::int64_t readLen) {
    if (n < 17) return half1Scalar(s, d, n, readLen);
    std::int64_t i = 0;
    for (; i + 32 <= n && 2 * i + 64 <= readLen; i += 32) {
        const uint8x16x2_t a = vld2q_u8(s + 2 * i);
        const uint8x16x2_t b = vld2q_u8(s + 2 * i + 32);
        vst1q_u8(d + i, a.val[0]);
        vst1q_u8(d + i + 16, b.val[0]);
    }
    for (; i + 16 <= n && 2 * i + 32 <= readLen; i += 16) vst1q_u8(d + i, vld2q_u8(s + 2 * i).val[0]);
    if (i < n) vst1q_u8(d + n - 16, vld2q_u8(s + 2 * n - 33).val[1]);
}

void half2Neon(const std::uint8_t* s, std::uint8_t* d, std::int64_t n, std::int64_t readLen) {
    if (n < 34) return half2Scalar(s, d, n, readLen);
    std::int64_t i = 0;
    for (; i + 32 <= n && 2 * i + 64 <= readLen; i += 32) {
        const uint8x16x4_t v = vld4q_u8(s + 2 * i);
        uint8x16x2_t w;
        w.val[0] = v.val[0];
        w.val[1] = v.val[1];
        vst2q_u8(d + i, w);
    }
    if (i < n) {
        const uint8x16x4_t v = vld4q_u8(s + 2 * n - 66);
        uint8x16x2_t w;
        w.val[0] = v.val[2];
        w.val[1] = v.val[3];
        vst2q_u8(d + n - 32, w);
    }
}

void gather1Neon(const std::uint8_t* s, std::uint8_t* d, const RowPlan& p) {
    const std::size_t nb = p.off.size();
    for (std::size_t k = 0; k < nb; ++k)
        vst1q_u8(d + p.off[k], vqtbl1q_u8(vld1q_u8(s + p.b0[k]), vld1q_u8(p.t.data() + k * kBlock)));
}

void gather2Neon(const std::uint8_t* s, std::uint8_t* d, const RowPlan& p) {
    const std::size_t nb = p.off.size();
    for (std::size_t k = 0; k < nb; ++k) {
        uint8x16x2_t v;
        v.val[0] = vld1q_u8(s + p.b0[k]);
        v.val[1] = vld1q_u8(s + p.b1[k]);
        vst1q_u8(d + p.off[k], vqtbl2q_u8(v, vld1q_u8(p.t.data() + k * kBlock)));
    }
}

constexpr Converter::Kernels kNeon{"neon", half1Neon, half2Neon, gather1Neon, gather2Neon};

#endif  // NV12_NEON

const Converter::Kernels* best() noexcept {
#if defined(NV12_X86)
    static const Converter::Kernels* const k = hasAvx2() ? &kAvx2 : &kSse2;
    return k;
#elif defined(NV12_NEON)
    return &kNeon;
#else
    return &kScalar;
#endif
}

const Converter::Kernels* byName(const char* name) noexcept {
    if (name == nullptr) return nullptr;
    if (std::strcmp(name, "scalar") == 0) return &kScalar;
#if defined(NV12_X86)
    if (std::strcmp(name, "sse2") == 0) return &kSse2;
    if (std::strcmp(name, "avx2") == 0 && hasAvx2()) return &kAvx2;
#elif defined(NV12_NEON)
    if (std::strcmp(name, "neon") == 0) return &kNeon;
#endif
    return nullptr;
}

// ---- planning -------------------------------------------------------------

// Rows: min(i * s / n, s - 1) for i < n.
void rowMap(std::vector<std::int64_t>& rows, std::int64_t n, std::int64_t s) {
    rows.resize(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) rows[i] = std::min(i * s / n, s - 1);
}

// The column plan for rows of n samples of `elem` bytes each taken from a
// source row of `s` samples. False if a byte index needs more than 32 bits.
bool columnPlan(RowPlan& p, std::int64_t n, std::int64_t s, std::int64_t elem) {
    p.elem = elem;
    p.out = n * elem;
    p.loads = 0;
    p.off.clear();
    const std::int64_t last = std::min((n - 1) * s / n, s - 1);
    p.readLen = (last + 1) * elem;
    if (p.readLen > std::int64_t{std::numeric_limits<std::uint32_t>::max()}) return false;

    bool copy = true, half = true;
    p.map.resize(static_cast<std::size_t>(p.out));
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t si = std::min(i * s / n, s - 1);
        copy = copy && si == i;
        half = half && si == 2 * i;
        for (std::int64_t k = 0; k < elem; ++k)
            p.map[i * elem + k] = static_cast<std::uint32_t>(si * elem + k);
    }
    p.kind = copy ? RowPlan::kCopy : half ? RowPlan::kHalf : RowPlan::kGather;
    if (p.kind != RowPlan::kGather) return true;

    // Long stretches of 2:1, few of them: decimation run by run.
    p.runs.clear();
    std::int64_t shortest = n;
    for (std::int64_t i = 0, start = 0; i < n; ++i) {
        const bool ends = i + 1 == n || p.map[(i + 1) * elem] != p.map[i * elem] + 2 * elem;
        if (!ends) continue;
        p.runs.push_back({start * elem, std::int64_t{p.map[start * elem]}, (i + 1 - start) * elem});
        shortest = std::min(shortest, i + 1 - start);
        start = i + 1;
    }
    if (shortest >= 64) {
        p.kind = RowPlan::kHalfRuns;
        return true;
    }
    if (p.out < kBlock || p.readLen < kBlock) return true;

    // Shuffle blocks: one load if every block's span fits 16 bytes, two if
    // every one fits 32, otherwise the map alone.
    const std::int64_t nb = (p.out + kBlock - 1) / kBlock;
    std::int64_t widest = 0;
    for (std::int64_t b = 0; b < nb; ++b) {
        const std::int64_t o = std::min(b * kBlock, p.out - kBlock);
        const auto [lo, hi] = std::minmax_element(p.map.begin() + o, p.map.begin() + o + kBlock);
        widest = std::max<std::int64_t>(widest, std::int64_t{*hi} - *lo + 1);
    }
    if (widest > 2 * kBlock) return true;
    p.loads = widest <= kBlock ? 1 : 2;
    const auto nbs = static_cast<std::size_t>(nb);
    p.off.resize(nbs);
    p.b0.resize(nbs);
    p.b1.resize(nbs);
    p.c0.resize(nbs * kBlock);
    p.c1.resize(nbs * kBlock);
    p.t.resize(nbs * kBlock);
    for (std::int64_t b = 0; b < nb; ++b) {
        const std::int64_t o = std::min(b * kBlock, p.out - kBlock);
        const auto [lo, hi] = std::minmax_element(p.map.begin() + o, p.map.begin() + o + kBlock);
        // Both loads lie inside [0, readLen): b0 at or before the first
        // index, b1 ending at the last; together they cover a 32-byte span.
        const std::int64_t first = *lo, lastIdx = *hi;
        const std::int64_t b0 = std::min(first, p.readLen - kBlock);
        const std::int64_t b1 = std::max<std::int64_t>(lastIdx - (kBlock - 1), 0);
        p.off[b] = o;
        p.b0[b] = b0;
        p.b1[b] = p.loads == 2 ? b1 : b0;
        for (std::int64_t j = 0; j < kBlock; ++j) {
            const std::int64_t idx = p.map[o + j];
            const std::size_t at = static_cast<std::size_t>(b * kBlock + j);
            if (idx - b0 < kBlock) {
                p.c0[at] = static_cast<std::uint8_t>(idx - b0);
                p.c1[at] = 0x80;
                p.t[at] = static_cast<std::uint8_t>(idx - b0);
            } else {
                p.c0[at] = 0x80;
                p.c1[at] = static_cast<std::uint8_t>(idx - b1);
                p.t[at] = static_cast<std::uint8_t>(kBlock + idx - b1);
            }
        }
    }
    return true;
}

inline void prefetchRow(const std::uint8_t* row, std::int64_t len) {
    for (std::int64_t o = 0; o < len; o += 64) __builtin_prefetch(row + o);
}

void convertRow(const Converter::Kernels& k, const RowPlan& p, const std::uint8_t* s,
                std::uint8_t* d) {
    switch (p.kind) {
        case RowPlan::kCopy:
            std::memcpy(d, s, static_cast<std::size_t>(p.out));
            return;
        case RowPlan::kHalf:
            (p.elem == 1 ? k.half1 : k.half2)(s, d, p.out, p.readLen);
            return;
        case RowPlan::kHalfRuns: {
            const auto half = p.elem == 1 ? k.half1 : k.half2;
            for (const RowPlan::Run& r : p.runs)
                half(s + r.src, d + r.out, r.bytes, 2 * r.bytes - p.elem);
            return;
        }
        case RowPlan::kGather:
            if (p.loads == 1 && k.gather1 != nullptr) return k.gather1(s, d, p);
            if (p.loads == 2 && k.gather2 != nullptr) return k.gather2(s, d, p);
            return gatherMap(s, d, p);
    }
}

void convertPlane(const Converter::Kernels& k, const RowPlan& p, const std::vector<std::int64_t>& rows,
                  const std::uint8_t* base, std::int64_t stride, std::uint8_t* out) {
    const std::int64_t n = static_cast<std::int64_t>(rows.size());
    const std::int64_t w = p.out;
    for (std::int64_t y = 0; y < n; ++y) {
        std::uint8_t* d = out + y * w;
        if (y > 0 && rows[y] == rows[y - 1]) {
            // The row above is still in the cache.
            std::memcpy(d, d - w, static_cast<std::size_t>(w));
            continue;
        }
        const std::int64_t ahead = y + kPrefetchRows;
        if (ahead < n && rows[ahead] != rows[ahead - 1])
            prefetchRow(base + rows[ahead] * stride, p.readLen);
        convertRow(k, p, base + rows[y] * stride, d);
    }
}

}  // namespace

std::vector<const char*> availablePaths() {
    std::vector<const char*> paths{"scalar"};
#if defined(NV12_X86)
    paths.push_back("sse2");
    if (hasAvx2()) paths.push_back("avx2");
#elif defined(NV12_NEON)
    paths.push_back("neon");
#endif
    return paths;
}

Converter::Converter() noexcept : kernels_(best()) {}
Converter::Converter(const char* path) noexcept : kernels_(byName(path)) {}
Converter::~Converter() = default;
Converter::Converter(Converter&&) noexcept = default;
Converter& Converter::operator=(Converter&&) noexcept = default;

void Converter::convert(const Source& src, std::int64_t W, std::int64_t H, std::uint8_t* luma,
                        std::uint8_t* chroma) noexcept {
    if (kernels_ == nullptr || W <= 0 || H <= 0) return;
    if (!plan_ || plan_->sw != src.width || plan_->sh != src.height || plan_->W != W ||
        plan_->H != H) {
        try {
            if (!plan_) plan_.reset(new Plan);
            Plan& p = *plan_;
            p.sw = p.sh = p.W = p.H = -1;  // incomplete until the end
            rowMap(p.lumaRows, H, src.height);
            rowMap(p.chromaRows, H >> 1, chromaSide(src.height));
            p.reference = !columnPlan(p.luma, W, src.width, 1) ||
                          !columnPlan(p.chroma, W >> 1, chromaSide(src.width), 2);
            p.sw = src.width;
            p.sh = src.height;
            p.W = W;
            p.H = H;
        } catch (...) {
            plan_.reset();  // frees what was built; the next call tries again
            convertReference(src, W, H, luma, chroma);
            return;
        }
    }
    if (plan_->reference) {
        convertReference(src, W, H, luma, chroma);
        return;
    }
    convertPlane(*kernels_, plan_->luma, plan_->lumaRows, src.luma, src.lumaStride, luma);
    convertPlane(*kernels_, plan_->chroma, plan_->chromaRows, src.chroma, src.chromaStride, chroma);
}

bool convertWith(const char* path, const Source& src, std::int64_t W, std::int64_t H,
                 std::uint8_t* luma, std::uint8_t* chroma) {
    Converter c(path);
    if (!c.ok()) return false;
    c.convert(src, W, H, luma, chroma);
    return true;
}

}  // namespace nv12
