#include "rgb_nv12.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MIRVO_RGB_X86 1
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#define MIRVO_RGB_NEON 1
#endif

namespace rgbnv12 {
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

Rect fitKeepingAspect(int sw, int sh, int w, int h) {
    Rect r;
    if (sw <= 0 || sh <= 0 || w <= 0 || h <= 0) return r;
    const long long wide = static_cast<long long>(sw) * h;
    const long long tall = static_cast<long long>(sh) * w;
    if (wide >= tall) {  // source at least as wide as the frame: full width, bars top and bottom
        r.width = w;
        r.height = static_cast<int>((tall * 2 + sw) / (2LL * sw));  // rounded
    } else {
        r.height = h;
        r.width = static_cast<int>((wide * 2 + sh) / (2LL * sh));
    }
    r.width &= ~1;
    r.height &= ~1;
    r.x = ((w - r.width) / 2) & ~1;
    r.y = ((h - r.height) / 2) & ~1;
    return r;
}

Yuv bt709VideoRange(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return {lumaOf(r, g, b), chromaOf(kCbR, kCbG, kCbB, r, g, b, 0),
            chromaOf(kCrR, kCrG, kCrB, r, g, b, 0)};
}

// ---- colour conversion ---------------------------------------------------

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

// A vector row-pair kernel converts whole blocks of both rows from column 0
// and returns how many columns it did (even); the rest go one by one.
using RowPair = int (*)(const std::uint8_t* s0, const std::uint8_t* s1, int width,
                        std::uint8_t* y0, std::uint8_t* y1, std::uint8_t* uv);

int rowPairNone(const std::uint8_t*, const std::uint8_t*, int, std::uint8_t*, std::uint8_t*,
                std::uint8_t*) {
    return 0;
}

// Bias that makes the chroma sum positive and rounds its shift by 18
// (sums of four pixels: shift 16 + 2).
constexpr int kChromaBias4 = (128 << 18) + (1 << 17);

#if MIRVO_RGB_X86

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

#elif MIRVO_RGB_NEON

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

}  // namespace

void fillBlack(int width, int height, std::uint8_t* dstY, int strideY, std::uint8_t* dstUV,
               int strideUV) {
    if (width <= 0 || height <= 0) return;
    for (int y = 0; y < height; ++y)
        std::memset(dstY + static_cast<std::ptrdiff_t>(y) * strideY, 16, width);
    const int cw = (width + 1) / 2, ch = (height + 1) / 2;
    for (int y = 0; y < ch; ++y)
        std::memset(dstUV + static_cast<std::ptrdiff_t>(y) * strideUV, 128, cw * 2);
}

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

#if MIRVO_RGB_X86

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

#elif MIRVO_RGB_NEON

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
    const char* name;
    RowPair rowPair;
    void (*vpass)(const std::uint8_t*, std::ptrdiff_t, int, const std::uint16_t*, int,
                  std::uint16_t*);
    int (*hpass)(const std::uint16_t*, const int*, const std::uint16_t*, int, int,
                 std::uint8_t*);
};

namespace {

using Kernels = AreaScaler::Kernels;

constexpr Kernels kScalar{"scalar", rowPairNone, vpassScalar, hpassScalar};
#if MIRVO_RGB_X86
constexpr Kernels kSse2{"sse2", rowPairSse2, vpassSse2, hpassSse2};
constexpr Kernels kAvx2{"avx2", rowPairAvx2, vpassAvx2, hpassSse2};
bool hasAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
#elif MIRVO_RGB_NEON
constexpr Kernels kNeon{"neon", rowPairNeon, vpassNeon, hpassNeon};
#endif

const Kernels* widest() {
#if MIRVO_RGB_X86
    static const Kernels* const k = hasAvx2() ? &kAvx2 : &kSse2;
    return k;
#elif MIRVO_RGB_NEON
    return &kNeon;
#else
    return &kScalar;
#endif
}

const Kernels* named(const char* path) {
    if (!path) return widest();
    if (std::strcmp(path, "scalar") == 0) return &kScalar;
#if MIRVO_RGB_X86
    if (std::strcmp(path, "sse2") == 0) return &kSse2;
    if (std::strcmp(path, "avx2") == 0 && hasAvx2()) return &kAvx2;
#elif MIRVO_RGB_NEON
    if (std::strcmp(path, "neon") == 0) return &kNeon;
#endif
    return nullptr;
}

}  // namespace

void bgrxToNv12Bt709(const std::uint8_t* src, int srcStride, int width, int height,
                     std::uint8_t* dstY, int strideY, std::uint8_t* dstUV, int strideUV) {
    convertRows(widest()->rowPair, src, srcStride, width, height, dstY, strideY, dstUV, strideUV);
}

void bgrxToNv12Bt709Reference(const std::uint8_t* src, int srcStride, int width, int height,
                              std::uint8_t* dstY, int strideY, std::uint8_t* dstUV,
                              int strideUV) {
    convertRows(rowPairNone, src, srcStride, width, height, dstY, strideY, dstUV, strideUV);
}

std::vector<const char*> availablePaths() {
    std::vector<const char*> p{"scalar"};
#if MIRVO_RGB_X86
    p.push_back("sse2");
    if (hasAvx2()) p.push_back("avx2");
#elif MIRVO_RGB_NEON
    p.push_back("neon");
#endif
    return p;
}

bool bgrxToNv12Bt709With(const char* path, const std::uint8_t* src, int srcStride, int width,
                         int height, std::uint8_t* dstY, int strideY, std::uint8_t* dstUV,
                         int strideUV) {
    const Kernels* k = path ? named(path) : nullptr;
    if (!k) return false;
    convertRows(k->rowPair, src, srcStride, width, height, dstY, strideY, dstUV, strideUV);
    return true;
}

AreaScaler::AreaScaler(int sw, int sh, int dw, int dh, const char* path)
    : sw_(sw), dw_(dw), dh_(dh), k_(named(path)), v_(makeTaps(sh, dh)) {
    if (!k_) k_ = widest();
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

void blendPremultiplied(const std::uint32_t* argb, int width, int height, int x, int y,
                        std::uint8_t* dst, int dstStride, int dstWidth, int dstHeight) {
    const int x0 = std::max(x, 0), y0 = std::max(y, 0);
    const int x1 = std::min(x + width, dstWidth), y1 = std::min(y + height, dstHeight);
    for (int dy = y0; dy < y1; ++dy) {
        const std::uint32_t* s = argb + static_cast<std::ptrdiff_t>(dy - y) * width + (x0 - x);
        std::uint8_t* d = dst + static_cast<std::ptrdiff_t>(dy) * dstStride + x0 * 4;
        for (int dx = x0; dx < x1; ++dx, ++s, d += 4) {
            const std::uint32_t p = *s;
            const int a = static_cast<int>(p >> 24);
            if (a == 0) continue;
            const int keep = 255 - a;
            const int sb = static_cast<int>(p & 0xff), sg = static_cast<int>((p >> 8) & 0xff),
                      sr = static_cast<int>((p >> 16) & 0xff);
            d[0] = static_cast<std::uint8_t>(std::min(255, sb + (d[0] * keep + 127) / 255));
            d[1] = static_cast<std::uint8_t>(std::min(255, sg + (d[1] * keep + 127) / 255));
            d[2] = static_cast<std::uint8_t>(std::min(255, sr + (d[2] * keep + 127) / 255));
        }
    }
}

}  // namespace rgbnv12
