#include "bgrx_nv12.h"

#include <algorithm>
#include <cstring>

#include "bgrx_rows.h"
#if MIRVO_CPU_X86
#include <immintrin.h>
#elif MIRVO_CPU_NEON
#include <arm_neon.h>
#endif

namespace pixel {
namespace {

// BT.709 (Kr 0.2126, Kb 0.0722) in video range, 16-bit fixed point:
//   Y  = 16  + 219/255 * (Kr R + Kg G + Kb B)
//   Cb = 128 + 224/255 * (B - Y') / (2 (1 - Kb))
//   Cr = 128 + 224/255 * (R - Y') / (2 (1 - Kr))
// Each chroma row sums to zero so that every grey lands on exactly 128.
constexpr int kYR = 11966, kYG = 40254, kYB = 4064;
constexpr int kCbR = -6596, kCbG = -22189, kCbB = 28785;
constexpr int kCrR = 28784, kCrG = -26145, kCrB = -2639;

inline std::uint8_t lumaOf(int r, int g, int b) {
    return static_cast<std::uint8_t>(16 + ((kYR * r + kYG * g + kYB * b + 32768) >> 16));
}

// r, g, b are sums of n pixels (n = 1, 2 or 4); shift = log2(n).
inline std::uint8_t chromaOf(int c0, int c1, int c2, int r, int g, int b, int shift) {
    const int bits = 16 + shift;
    // The sum is signed; bias it positive so the shift rounds, not truncates towards -inf.
    const int v = c0 * r + c1 * g + c2 * b + (128 << bits) + (1 << (bits - 1));
    return static_cast<std::uint8_t>(std::clamp(v >> bits, 0, 255));
}

}  // namespace

Yuv bt709VideoRange(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return {lumaOf(r, g, b), chromaOf(kCbR, kCbG, kCbB, r, g, b, 0),
            chromaOf(kCrR, kCrG, kCrB, r, g, b, 0)};
}

namespace {

// The 2x2 blocks of one row pair (or of a lone last row when s1 == s0 and
// y1 is null) from column x0 on, one pixel at a time.
void blocksScalar(const std::uint8_t* s0, const std::uint8_t* s1, int x0, int width,
                  std::uint8_t* y0, std::uint8_t* y1, std::uint8_t* uv) {
    for (int x = x0; x < width; x += 2) {
        const bool pairCol = x + 1 < width;
        const std::uint8_t* a = s0 + x * 4;
        const std::uint8_t* b = s1 + x * 4;
        int rs = a[2], gs = a[1], bs = a[0];
        y0[x] = lumaOf(a[2], a[1], a[0]);
        int n = 1;
        if (pairCol) {
            y0[x + 1] = lumaOf(a[6], a[5], a[4]);
            rs += a[6];
            gs += a[5];
            bs += a[4];
            ++n;
        }
        if (y1) {
            y1[x] = lumaOf(b[2], b[1], b[0]);
            rs += b[2];
            gs += b[1];
            bs += b[0];
            ++n;
            if (pairCol) {
                y1[x + 1] = lumaOf(b[6], b[5], b[4]);
                rs += b[6];
                gs += b[5];
                bs += b[4];
                ++n;
            }
        }
        const int shift = n == 4 ? 2 : n == 2 ? 1 : 0;  // n is 1, 2 or 4
        uv[x] = chromaOf(kCbR, kCbG, kCbB, rs, gs, bs, shift);
        uv[x + 1] = chromaOf(kCrR, kCrG, kCrB, rs, gs, bs, shift);
    }
}

int rowPairNone(const std::uint8_t*, const std::uint8_t*, int, std::uint8_t*, std::uint8_t*,
                std::uint8_t*) {
    return 0;
}

// Bias that makes the chroma sum positive and rounds its shift by 18
// (sums of four pixels: shift 16 + 2).
constexpr int kChromaBias4 = (128 << 18) + (1 << 17);

#if MIRVO_CPU_X86

// Luma of four BGRX pixels without the +16, as 32-bit lanes. The green
// weight is odd-free (40254 = 2 x 20127), so with X replaced by G each pixel
// is two 16-bit multiply-add pairs: (B kB + G kG/2) + (R kR + G kG/2).
inline __m128i luma4(__m128i p) {
    const __m128i g = _mm_and_si128(p, _mm_set1_epi32(0x0000ff00));
    p = _mm_or_si128(_mm_and_si128(p, _mm_set1_epi32(0x00ffffff)), _mm_slli_epi32(g, 16));
    const __m128i k = _mm_setr_epi16(kYB, kYG / 2, kYR, kYG / 2, kYB, kYG / 2, kYR, kYG / 2);
    const __m128i zero = _mm_setzero_si128();
    const __m128i a = _mm_madd_epi16(_mm_unpacklo_epi8(p, zero), k);
    const __m128i b = _mm_madd_epi16(_mm_unpackhi_epi8(p, zero), k);
    const __m128 ev = _mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 od = _mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), _MM_SHUFFLE(3, 1, 3, 1));
    const __m128i sum = _mm_add_epi32(_mm_castps_si128(ev), _mm_castps_si128(od));
    return _mm_srli_epi32(_mm_add_epi32(sum, _mm_set1_epi32(32768)), 16);
}

// Four pixels of each row: the sums of their two 2x2 blocks, 16-bit B G R X.
inline __m128i blockSums2(__m128i r0, __m128i r1) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(r0, zero), _mm_unpacklo_epi8(r1, zero));
    const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(r0, zero), _mm_unpackhi_epi8(r1, zero));
    return _mm_add_epi16(_mm_unpacklo_epi64(lo, hi), _mm_unpackhi_epi64(lo, hi));
}

// Cb Cr of two blocks from their sums, as 32-bit lanes Cb0 Cr0 Cb1 Cr1
// (not yet clamped: the packs that follow saturate exactly as the clamp).
inline __m128i chroma2(__m128i sums) {
    const __m128i kcb = _mm_setr_epi16(kCbB, kCbG, kCbR, 0, kCbB, kCbG, kCbR, 0);
    const __m128i kcr = _mm_setr_epi16(kCrB, kCrG, kCrR, 0, kCrB, kCrG, kCrR, 0);
    const __m128 cb = _mm_castsi128_ps(_mm_madd_epi16(sums, kcb));
    const __m128 cr = _mm_castsi128_ps(_mm_madd_epi16(sums, kcr));
    const __m128i sum = _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(cb, cr, _MM_SHUFFLE(2, 0, 2, 0))),
                                      _mm_castps_si128(_mm_shuffle_ps(cb, cr, _MM_SHUFFLE(3, 1, 3, 1))));
    const __m128i v = _mm_srai_epi32(_mm_add_epi32(sum, _mm_set1_epi32(kChromaBias4)), 18);
    return _mm_shuffle_epi32(v, _MM_SHUFFLE(3, 1, 2, 0));
}

int rowPairSse2(const std::uint8_t* s0, const std::uint8_t* s1, int width, std::uint8_t* y0,
                std::uint8_t* y1, std::uint8_t* uv) {
    const __m128i sixteen = _mm_set1_epi16(16);
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        __m128i a[4], b[4];
        for (int i = 0; i < 4; ++i) {
            a[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s0 + (x + 4 * i) * 4));
            b[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s1 + (x + 4 * i) * 4));
        }
        const __m128i ya = _mm_packus_epi16(
            _mm_add_epi16(_mm_packs_epi32(luma4(a[0]), luma4(a[1])), sixteen),
            _mm_add_epi16(_mm_packs_epi32(luma4(a[2]), luma4(a[3])), sixteen));
        const __m128i yb = _mm_packus_epi16(
            _mm_add_epi16(_mm_packs_epi32(luma4(b[0]), luma4(b[1])), sixteen),
            _mm_add_epi16(_mm_packs_epi32(luma4(b[2]), luma4(b[3])), sixteen));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y0 + x), ya);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y1 + x), yb);
        const __m128i c = _mm_packus_epi16(
            _mm_packs_epi32(chroma2(blockSums2(a[0], b[0])), chroma2(blockSums2(a[1], b[1]))),
            _mm_packs_epi32(chroma2(blockSums2(a[2], b[2])), chroma2(blockSums2(a[3], b[3]))));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + x), c);
    }
    return x;
}

// The same steps on two 128-bit lanes of four pixels each; a byte shuffle
// widens the pixels and puts G in X's place in one step.
__attribute__((target("avx2"))) inline __m256i luma8(__m256i p) {
    const __m256i lo = _mm256_setr_epi8(0, -1, 1, -1, 2, -1, 1, -1, 4, -1, 5, -1, 6, -1, 5, -1,
                                        0, -1, 1, -1, 2, -1, 1, -1, 4, -1, 5, -1, 6, -1, 5, -1);
    const __m256i hi = _mm256_setr_epi8(8, -1, 9, -1, 10, -1, 9, -1, 12, -1, 13, -1, 14, -1, 13, -1,
                                        8, -1, 9, -1, 10, -1, 9, -1, 12, -1, 13, -1, 14, -1, 13, -1);
    const __m256i k = _mm256_setr_epi16(kYB, kYG / 2, kYR, kYG / 2, kYB, kYG / 2, kYR, kYG / 2,
                                        kYB, kYG / 2, kYR, kYG / 2, kYB, kYG / 2, kYR, kYG / 2);
    const __m256 a = _mm256_castsi256_ps(_mm256_madd_epi16(_mm256_shuffle_epi8(p, lo), k));
    const __m256 b = _mm256_castsi256_ps(_mm256_madd_epi16(_mm256_shuffle_epi8(p, hi), k));
    const __m256i sum = _mm256_add_epi32(_mm256_castps_si256(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0))),
                                         _mm256_castps_si256(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1))));
    return _mm256_srli_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(32768)), 16);
}

__attribute__((target("avx2"))) inline __m256i blockSums4(__m256i r0, __m256i r1) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lo = _mm256_add_epi16(_mm256_unpacklo_epi8(r0, zero), _mm256_unpacklo_epi8(r1, zero));
    const __m256i hi = _mm256_add_epi16(_mm256_unpackhi_epi8(r0, zero), _mm256_unpackhi_epi8(r1, zero));
    return _mm256_add_epi16(_mm256_unpacklo_epi64(lo, hi), _mm256_unpackhi_epi64(lo, hi));
}

__attribute__((target("avx2"))) inline __m256i chroma4(__m256i sums) {
    const __m256i kcb = _mm256_setr_epi16(kCbB, kCbG, kCbR, 0, kCbB, kCbG, kCbR, 0,
                                          kCbB, kCbG, kCbR, 0, kCbB, kCbG, kCbR, 0);
    const __m256i kcr = _mm256_setr_epi16(kCrB, kCrG, kCrR, 0, kCrB, kCrG, kCrR, 0,
                                          kCrB, kCrG, kCrR, 0, kCrB, kCrG, kCrR, 0);
    const __m256 cb = _mm256_castsi256_ps(_mm256_madd_epi16(sums, kcb));
    const __m256 cr = _mm256_castsi256_ps(_mm256_madd_epi16(sums, kcr));
    const __m256i sum = _mm256_add_epi32(_mm256_castps_si256(_mm256_shuffle_ps(cb, cr, _MM_SHUFFLE(2, 0, 2, 0))),
                                         _mm256_castps_si256(_mm256_shuffle_ps(cb, cr, _MM_SHUFFLE(3, 1, 3, 1))));
    const __m256i v = _mm256_srai_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(kChromaBias4)), 18);
    return _mm256_shuffle_epi32(v, _MM_SHUFFLE(3, 1, 2, 0));
}

// packs/packus work per 128-bit lane: four 32-bit groups of 8 values come
// out as 0 2 4 6 | 1 3 5 7 (in dwords); this puts them back in order.
__attribute__((target("avx2"))) inline __m256i pack32(__m256i a, __m256i b, __m256i c, __m256i d) {
    const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d));
    return _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

__attribute__((target("avx2"))) int rowPairAvx2(const std::uint8_t* s0, const std::uint8_t* s1,
                                                int width, std::uint8_t* y0, std::uint8_t* y1,
                                                std::uint8_t* uv) {
    const __m256i sixteen = _mm256_set1_epi8(16);
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        __m256i a[4], b[4];
        for (int i = 0; i < 4; ++i) {
            a[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s0 + (x + 8 * i) * 4));
            b[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s1 + (x + 8 * i) * 4));
        }
        // Luma is at most 219 before the +16, so the byte add cannot wrap.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(y0 + x),
                            _mm256_add_epi8(pack32(luma8(a[0]), luma8(a[1]), luma8(a[2]), luma8(a[3])), sixteen));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(y1 + x),
                            _mm256_add_epi8(pack32(luma8(b[0]), luma8(b[1]), luma8(b[2]), luma8(b[3])), sixteen));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(uv + x),
                            pack32(chroma4(blockSums4(a[0], b[0])), chroma4(blockSums4(a[1], b[1])),
                                   chroma4(blockSums4(a[2], b[2])), chroma4(blockSums4(a[3], b[3]))));
    }
    return x + rowPairSse2(s0 + x * 4, s1 + x * 4, width - x, y0 + x, y1 + x, uv + x);
}

#elif MIRVO_CPU_NEON

// Luma of 8 pixels (planar B, G, R widened to 16 bits), +16 included.
inline uint8x8_t luma8(uint16x8_t b, uint16x8_t g, uint16x8_t r) {
    uint32x4_t lo = vmull_n_u16(vget_low_u16(r), kYR);
    lo = vmlal_n_u16(lo, vget_low_u16(g), kYG);
    lo = vmlal_n_u16(lo, vget_low_u16(b), kYB);
    uint32x4_t hi = vmull_n_u16(vget_high_u16(r), kYR);
    hi = vmlal_n_u16(hi, vget_high_u16(g), kYG);
    hi = vmlal_n_u16(hi, vget_high_u16(b), kYB);
    // Rounding narrow by 16: (v + 32768) >> 16, computed without overflow.
    const uint16x8_t y = vcombine_u16(vrshrn_n_u32(lo, 16), vrshrn_n_u32(hi, 16));
    return vmovn_u16(vaddq_u16(y, vdupq_n_u16(16)));
}

inline uint8x16_t luma16(const uint8x16x4_t& p) {
    return vcombine_u8(luma8(vmovl_u8(vget_low_u8(p.val[0])), vmovl_u8(vget_low_u8(p.val[1])),
                             vmovl_u8(vget_low_u8(p.val[2]))),
                       luma8(vmovl_u8(vget_high_u8(p.val[0])), vmovl_u8(vget_high_u8(p.val[1])),
                             vmovl_u8(vget_high_u8(p.val[2]))));
}

// One chroma component of 8 blocks from their sums (each at most 1020).
inline uint8x8_t chroma8(int16x8_t b, int16x8_t g, int16x8_t r, int16_t kb, int16_t kg,
                         int16_t kr) {
    const int32x4_t bias = vdupq_n_s32(kChromaBias4);
    int32x4_t lo = vmlal_n_s16(bias, vget_low_s16(b), kb);
    lo = vmlal_n_s16(lo, vget_low_s16(g), kg);
    lo = vmlal_n_s16(lo, vget_low_s16(r), kr);
    int32x4_t hi = vmlal_n_s16(bias, vget_high_s16(b), kb);
    hi = vmlal_n_s16(hi, vget_high_s16(g), kg);
    hi = vmlal_n_s16(hi, vget_high_s16(r), kr);
    // Saturating narrows: the clamp to 0..255.
    const uint16x8_t v = vcombine_u16(vqmovun_s32(vshrq_n_s32(lo, 18)), vqmovun_s32(vshrq_n_s32(hi, 18)));
    return vqmovn_u16(v);
}

int rowPairNeon(const std::uint8_t* s0, const std::uint8_t* s1, int width, std::uint8_t* y0,
                std::uint8_t* y1, std::uint8_t* uv) {
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const uint8x16x4_t a = vld4q_u8(s0 + x * 4);  // B, G, R, X planes
        const uint8x16x4_t b = vld4q_u8(s1 + x * 4);
        vst1q_u8(y0 + x, luma16(a));
        vst1q_u8(y1 + x, luma16(b));
        const int16x8_t sb = vreinterpretq_s16_u16(vpadalq_u8(vpaddlq_u8(a.val[0]), b.val[0]));
        const int16x8_t sg = vreinterpretq_s16_u16(vpadalq_u8(vpaddlq_u8(a.val[1]), b.val[1]));
        const int16x8_t sr = vreinterpretq_s16_u16(vpadalq_u8(vpaddlq_u8(a.val[2]), b.val[2]));
        uint8x8x2_t c;
        c.val[0] = chroma8(sb, sg, sr, kCbB, kCbG, kCbR);
        c.val[1] = chroma8(sb, sg, sr, kCrB, kCrG, kCrR);
        vst2_u8(uv + x, c);
    }
    return x;
}

#endif

}  // namespace

void convertRows(RowPair rowPair, const std::uint8_t* src, int srcStride, int width, int height,
                 std::uint8_t* dstY, int strideY, std::uint8_t* dstUV, int strideUV) {
    for (int y = 0; y < height; y += 2) {
        const std::uint8_t* s0 = src + static_cast<std::ptrdiff_t>(y) * srcStride;
        std::uint8_t* y0 = dstY + static_cast<std::ptrdiff_t>(y) * strideY;
        std::uint8_t* uv = dstUV + static_cast<std::ptrdiff_t>(y / 2) * strideUV;
        if (y + 1 < height) {
            const std::uint8_t* s1 = s0 + srcStride;
            std::uint8_t* y1 = y0 + strideY;
            const int done = rowPair(s0, s1, width, y0, y1, uv);
            blocksScalar(s0, s1, done, width, y0, y1, uv);
        } else {
            blocksScalar(s0, s0, 0, width, y0, nullptr, uv);
        }
    }
}

constexpr common::PathTable<RowPair> kRowPairs{{
    rowPairNone,
#if MIRVO_CPU_X86
    rowPairSse2, rowPairAvx2, nullptr,
#elif MIRVO_CPU_NEON
    nullptr, nullptr, rowPairNeon,
#endif
}};

void bgrxToNv12Bt709(const std::uint8_t* src, int srcStride, int width, int height,
                     std::uint8_t* dstY, int strideY, std::uint8_t* dstUV, int strideUV) {
    convertRows(kRowPairs.widest(), src, srcStride, width, height, dstY, strideY, dstUV, strideUV);
}

void bgrxToNv12Bt709Reference(const std::uint8_t* src, int srcStride, int width, int height,
                              std::uint8_t* dstY, int strideY, std::uint8_t* dstUV,
                              int strideUV) {
    convertRows(rowPairNone, src, srcStride, width, height, dstY, strideY, dstUV, strideUV);
}

bool bgrxToNv12Bt709With(const char* path, const std::uint8_t* src, int srcStride, int width,
                         int height, std::uint8_t* dstY, int strideY, std::uint8_t* dstUV,
                         int strideUV) {
    const RowPair k = kRowPairs.named(path);
    if (!k) return false;
    convertRows(k, src, srcStride, width, height, dstY, strideY, dstUV, strideUV);
    return true;
}

}  // namespace pixel
