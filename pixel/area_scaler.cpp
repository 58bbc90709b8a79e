#include "area_scaler.h"

#include <algorithm>
#include <cstring>

#include "bgrx_rows.h"
#if MIRVO_CPU_X86
#include <immintrin.h>
#elif MIRVO_CPU_NEON
#include <arm_neon.h>
#endif

namespace pixel {

AreaScaler::Taps AreaScaler::makeTaps(int n, int m) {
    // Output i covers source [i n / m, (i + 1) n / m); measured in 1/m of a
    // source pixel that is [i n, (i + 1) n), and source j is [j m, (j + 1) m).
    Taps t;
    t.first.resize(m);
    t.count.resize(m);
    t.offset.resize(m);
    for (int i = 0; i < m; ++i) {
        const long long lo = static_cast<long long>(i) * n, hi = lo + n;
        const int j0 = static_cast<int>(lo / m);
        const int j1 = static_cast<int>(std::min<long long>((hi - 1) / m, n - 1));
        t.first[i] = j0;
        t.count[i] = j1 - j0 + 1;
        t.offset[i] = static_cast<int>(t.weight.size());
        int sum = 0, largest = 0;
        for (int j = j0; j <= j1; ++j) {
            const long long overlap =
                std::min(hi, static_cast<long long>(j + 1) * m) -
                std::max(lo, static_cast<long long>(j) * m);
            const int w = static_cast<int>((overlap * 256 + n / 2) / n);
            t.weight.push_back(static_cast<std::uint16_t>(w));
            sum += w;
            if (w > t.weight[t.offset[i] + largest]) largest = j - j0;
        }
        // Rounding may miss 256 by a little: the largest tap absorbs it.
        t.weight[t.offset[i] + largest] =
            static_cast<std::uint16_t>(t.weight[t.offset[i] + largest] + 256 - sum);
    }
    return t;
}

// ---- area scaler: vector passes -------------------------------------------

namespace {

// Vertical pass: out[i] = sum over k of rows[k][i] * w[k] for n bytes, where
// rows[k] = src + k * stride. With weights summing to 256 every partial sum
// is at most 255 * 256, so 16 bits hold it exactly.
void vpassScalar(const std::uint8_t* src, std::ptrdiff_t stride, int n, const std::uint16_t* w,
                 int count, std::uint16_t* out) {
    for (int i = 0; i < n; ++i) out[i] = static_cast<std::uint16_t>(src[i] * w[0]);
    for (int k = 1; k < count; ++k) {
        const std::uint8_t* s = src + k * stride;
        for (int i = 0; i < n; ++i) out[i] = static_cast<std::uint16_t>(out[i] + s[i] * w[k]);
    }
}

// Horizontal pass over output pixel pairs: weights holds, per pair and tap,
// 8 values (the first pixel's weight 4 times, then the second's), first the
// first source pixel per output pixel. Writes BGRX with X = 255.
void hpixelScalar(const std::uint16_t* cols, const int* first, const std::uint16_t* weights,
                  int taps, int x, std::uint8_t* out) {
    const std::uint16_t* w = weights + static_cast<std::size_t>(x / 2) * taps * 8 + (x & 1) * 4;
    unsigned acc[4] = {0, 0, 0, 0};
    for (int k = 0; k < taps; ++k) {
        const std::uint16_t* c = cols + (first[x] + k) * 4;
        for (int ch = 0; ch < 4; ++ch) acc[ch] += static_cast<unsigned>(c[ch]) * w[k * 8];
    }
    for (int ch = 0; ch < 3; ++ch) out[x * 4 + ch] = static_cast<std::uint8_t>((acc[ch] + 32768) >> 16);
    out[x * 4 + 3] = 255;
}

int hpassScalar(const std::uint16_t*, const int*, const std::uint16_t*, int, int, std::uint8_t*) {
    return 0;
}

#if MIRVO_CPU_X86

void vpassSse2(const std::uint8_t* src, std::ptrdiff_t stride, int n, const std::uint16_t* w,
               int count, std::uint16_t* out) {
    const __m128i zero = _mm_setzero_si128();
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128i lo = _mm_setzero_si128(), hi = _mm_setzero_si128();
        for (int k = 0; k < count; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k * stride + i));
            const __m128i wk = _mm_set1_epi16(static_cast<short>(w[k]));
            lo = _mm_add_epi16(lo, _mm_mullo_epi16(_mm_unpacklo_epi8(v, zero), wk));
            hi = _mm_add_epi16(hi, _mm_mullo_epi16(_mm_unpackhi_epi8(v, zero), wk));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), hi);
    }
    if (i < n) vpassScalar(src + i, stride, n - i, w, count, out + i);
}

__attribute__((target("avx2"))) void vpassAvx2(const std::uint8_t* src, std::ptrdiff_t stride,
                                               int n, const std::uint16_t* w, int count,
                                               std::uint16_t* out) {
    int i = 0;
    for (; i + 32 <= n; i += 32) {
        __m256i lo = _mm256_setzero_si256(), hi = _mm256_setzero_si256();
        for (int k = 0; k < count; ++k) {
            const std::uint8_t* s = src + k * stride + i;
            const __m256i wk = _mm256_set1_epi16(static_cast<short>(w[k]));
            const __m256i a = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
            const __m256i b = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16)));
            lo = _mm256_add_epi16(lo, _mm256_mullo_epi16(a, wk));
            hi = _mm256_add_epi16(hi, _mm256_mullo_epi16(b, wk));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), lo);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i + 16), hi);
    }
    if (i < n) vpassSse2(src + i, stride, n - i, w, count, out + i);
}

// Two output pixels per vector: 16 x 16-bit products widened to 32 bits.
int hpassSse2(const std::uint16_t* cols, const int* first, const std::uint16_t* weights, int taps,
              int width, std::uint8_t* out) {
    const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xff000000u));
    const __m128i half = _mm_set1_epi32(32768);
    int x = 0;
    for (; x + 2 <= width; x += 2) {
        const std::uint16_t* w = weights + static_cast<std::size_t>(x / 2) * taps * 8;
        const std::uint16_t* c0 = cols + first[x] * 4;
        const std::uint16_t* c1 = cols + first[x + 1] * 4;
        __m128i a0 = half, a1 = half;
        for (int k = 0; k < taps; ++k) {
            const __m128i c = _mm_unpacklo_epi64(
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(c0 + k * 4)),
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(c1 + k * 4)));
            const __m128i wk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + k * 8));
            const __m128i lo = _mm_mullo_epi16(c, wk), hi = _mm_mulhi_epu16(c, wk);
            a0 = _mm_add_epi32(a0, _mm_unpacklo_epi16(lo, hi));
            a1 = _mm_add_epi32(a1, _mm_unpackhi_epi16(lo, hi));
        }
        const __m128i v = _mm_packs_epi32(_mm_srli_epi32(a0, 16), _mm_srli_epi32(a1, 16));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + x * 4),
                         _mm_or_si128(_mm_packus_epi16(v, v), opaque));
    }
    return x;
}

#elif MIRVO_CPU_NEON

void vpassNeon(const std::uint8_t* src, std::ptrdiff_t stride, int n, const std::uint16_t* w,
               int count, std::uint16_t* out) {
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        uint16x8_t lo = vdupq_n_u16(0), hi = vdupq_n_u16(0);
        for (int k = 0; k < count; ++k) {
            const uint8x16_t v = vld1q_u8(src + k * stride + i);
            lo = vmlaq_n_u16(lo, vmovl_u8(vget_low_u8(v)), w[k]);
            hi = vmlaq_n_u16(hi, vmovl_u8(vget_high_u8(v)), w[k]);
        }
        vst1q_u16(out + i, lo);
        vst1q_u16(out + i + 8, hi);
    }
    if (i < n) vpassScalar(src + i, stride, n - i, w, count, out + i);
}

int hpassNeon(const std::uint16_t* cols, const int* first, const std::uint16_t* weights, int taps,
              int width, std::uint8_t* out) {
    const uint8x8_t opaque = vreinterpret_u8_u32(vdup_n_u32(0xff000000u));
    int x = 0;
    for (; x + 2 <= width; x += 2) {
        const std::uint16_t* w = weights + static_cast<std::size_t>(x / 2) * taps * 8;
        const std::uint16_t* c0 = cols + first[x] * 4;
        const std::uint16_t* c1 = cols + first[x + 1] * 4;
        uint32x4_t a0 = vdupq_n_u32(0), a1 = vdupq_n_u32(0);
        for (int k = 0; k < taps; ++k) {
            const uint16x8_t wk = vld1q_u16(w + k * 8);
            a0 = vmlal_u16(a0, vld1_u16(c0 + k * 4), vget_low_u16(wk));
            a1 = vmlal_u16(a1, vld1_u16(c1 + k * 4), vget_high_u16(wk));
        }
        const uint16x8_t v = vcombine_u16(vrshrn_n_u32(a0, 16), vrshrn_n_u32(a1, 16));
        vst1_u8(out + x * 4, vorr_u8(vmovn_u16(v), opaque));
    }
    return x;
}

#endif

}  // namespace

struct AreaScaler::Kernels {
    RowPair rowPair;
    void (*vpass)(const std::uint8_t*, std::ptrdiff_t, int, const std::uint16_t*, int,
                  std::uint16_t*);
    int (*hpass)(const std::uint16_t*, const int*, const std::uint16_t*, int, int,
                 std::uint8_t*);
};

namespace {

using Kernels = AreaScaler::Kernels;

// The scaler's passes with the colour conversion's row pairs of the same path.
const common::PathTable<const Kernels*>& kernels() {
    using common::Path;
    static const Kernels scalar{kRowPairs.of[0], vpassScalar, hpassScalar};
#if MIRVO_CPU_X86
    static const Kernels sse2{kRowPairs.of[1], vpassSse2, hpassSse2};
    static const Kernels avx2{kRowPairs.of[2], vpassAvx2, hpassSse2};
    static const common::PathTable<const Kernels*> table{{&scalar, &sse2, &avx2, nullptr}};
#elif MIRVO_CPU_NEON
    static const Kernels neon{kRowPairs.of[3], vpassNeon, hpassNeon};
    static const common::PathTable<const Kernels*> table{{&scalar, nullptr, nullptr, &neon}};
#else
    static const common::PathTable<const Kernels*> table{{&scalar}};
#endif
    return table;
}

}  // namespace

AreaScaler::AreaScaler(int sw, int sh, int dw, int dh, const char* path)
    : sw_(sw), dw_(dw), dh_(dh), k_(kernels().named(path)), v_(makeTaps(sh, dh)) {
    if (!k_) k_ = kernels().widest();
    const Taps h = makeTaps(sw, dw);
    for (int c : h.count) hTaps_ = std::max(hTaps_, c);
    // Every output pixel gets hTaps_ taps; the extra ones weigh 0 and read
    // the zeroed padding after the row.
    const int pairs = (dw + 1) / 2;
    hFirst_.assign(static_cast<std::size_t>(pairs) * 2, 0);
    hWeights_.assign(static_cast<std::size_t>(pairs) * hTaps_ * 8, 0);
    for (int x = 0; x < dw; ++x) {
        hFirst_[x] = h.first[x];
        for (int k = 0; k < h.count[x]; ++k)
            for (int ch = 0; ch < 4; ++ch)
                hWeights_[(static_cast<std::size_t>(x / 2) * hTaps_ + k) * 8 + (x & 1) * 4 + ch] =
                    h.weight[h.offset[x] + k];
    }
    cols_.assign((static_cast<std::size_t>(sw) + hTaps_) * 4, 0);
    rows_.assign(static_cast<std::size_t>(dw) * 4 * 2, 0);
}

void AreaScaler::scaleRow(const std::uint8_t* src, int srcStride, int y, std::uint8_t* out) {
    k_->vpass(src + static_cast<std::ptrdiff_t>(v_.first[y]) * srcStride, srcStride, sw_ * 4,
              v_.weight.data() + v_.offset[y], v_.count[y], cols_.data());
    int x = k_->hpass(cols_.data(), hFirst_.data(), hWeights_.data(), hTaps_, dw_, out);
    for (; x < dw_; ++x) hpixelScalar(cols_.data(), hFirst_.data(), hWeights_.data(), hTaps_, x, out);
}

void AreaScaler::scale(const std::uint8_t* src, int srcStride, std::uint8_t* dst,
                       int dstStride) {
    for (int y = 0; y < dh_; ++y)
        scaleRow(src, srcStride, y, dst + static_cast<std::ptrdiff_t>(y) * dstStride);
}

void AreaScaler::scaleToNv12(const std::uint8_t* src, int srcStride, std::uint8_t* dstY,
                             int strideY, std::uint8_t* dstUV, int strideUV) {
    scaleRowsToNv12(src, srcStride, 0, dh_, dstY, strideY, dstUV, strideUV);
}

void AreaScaler::scaleRowsToNv12(const std::uint8_t* src, int srcStride, int firstRow,
                                 int endRow, std::uint8_t* dstY, int strideY,
                                 std::uint8_t* dstUV, int strideUV) {
    std::uint8_t* r0 = rows_.data();
    std::uint8_t* r1 = r0 + static_cast<std::size_t>(dw_) * 4;
    for (int y = std::max(firstRow, 0) & ~1; y < std::min(endRow, dh_); y += 2) {
        scaleRow(src, srcStride, y, r0);
        const int n = y + 1 < dh_ ? 2 : 1;
        if (n == 2) scaleRow(src, srcStride, y + 1, r1);
        convertRows(k_->rowPair, r0, dw_ * 4, dw_, n, dstY + static_cast<std::ptrdiff_t>(y) * strideY,
                    strideY, dstUV + static_cast<std::ptrdiff_t>(y / 2) * strideUV, strideUV);
    }
}

void AreaScaler::scaleReference(int sw, int sh, int dw, int dh, const std::uint8_t* src,
                                int srcStride, std::uint8_t* dst, int dstStride) {
    const Taps h = makeTaps(sw, dw), v = makeTaps(sh, dh);
    std::vector<std::uint16_t> rows(static_cast<std::size_t>(dw) * 3 * sh);
    // Horizontal pass over every source row: values times 256 fit 16 bits
    // exactly, so nothing is rounded until the end.
    for (int y = 0; y < sh; ++y) {
        const std::uint8_t* s = src + static_cast<std::ptrdiff_t>(y) * srcStride;
        std::uint16_t* r = rows.data() + static_cast<std::size_t>(y) * dw * 3;
        for (int x = 0; x < dw; ++x) {
            const std::uint8_t* p = s + h.first[x] * 4;
            const std::uint16_t* w = h.weight.data() + h.offset[x];
            unsigned b = 0, g = 0, red = 0;
            for (int k = 0; k < h.count[x]; ++k, p += 4) {
                b += p[0] * w[k];
                g += p[1] * w[k];
                red += p[2] * w[k];
            }
            r[x * 3] = static_cast<std::uint16_t>(b);
            r[x * 3 + 1] = static_cast<std::uint16_t>(g);
            r[x * 3 + 2] = static_cast<std::uint16_t>(red);
        }
    }
    std::vector<unsigned> acc(static_cast<std::size_t>(dw) * 3);
    for (int y = 0; y < dh; ++y) {
        std::fill(acc.begin(), acc.end(), 0u);
        const std::uint16_t* w = v.weight.data() + v.offset[y];
        for (int k = 0; k < v.count[y]; ++k) {
            const std::uint16_t* r =
                rows.data() + static_cast<std::size_t>(v.first[y] + k) * dw * 3;
            const unsigned wk = w[k];
            for (int i = 0; i < dw * 3; ++i) acc[i] += r[i] * wk;
        }
        std::uint8_t* d = dst + static_cast<std::ptrdiff_t>(y) * dstStride;
        for (int x = 0; x < dw; ++x) {
            d[x * 4] = static_cast<std::uint8_t>((acc[x * 3] + 32768) >> 16);
            d[x * 4 + 1] = static_cast<std::uint8_t>((acc[x * 3 + 1] + 32768) >> 16);
            d[x * 4 + 2] = static_cast<std::uint8_t>((acc[x * 3 + 2] + 32768) >> 16);
            d[x * 4 + 3] = 255;
        }
    }
}

}  // namespace pixel
