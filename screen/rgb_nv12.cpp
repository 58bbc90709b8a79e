#include "rgb_nv12.h"

#include <algorithm>
#include <cstring>

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

void bgrxToNv12Bt709(const std::uint8_t* src, int srcStride, int width, int height,
                     std::uint8_t* dstY, int strideY, std::uint8_t* dstUV, int strideUV) {
    for (int y = 0; y < height; y += 2) {
        const std::uint8_t* s0 = src + static_cast<std::ptrdiff_t>(y) * srcStride;
        const bool pairRow = y + 1 < height;
        const std::uint8_t* s1 = pairRow ? s0 + srcStride : s0;
        std::uint8_t* y0 = dstY + static_cast<std::ptrdiff_t>(y) * strideY;
        std::uint8_t* y1 = y0 + strideY;
        std::uint8_t* uv = dstUV + static_cast<std::ptrdiff_t>(y / 2) * strideUV;
        for (int x = 0; x < width; x += 2) {
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
            if (pairRow) {
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
}

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

AreaScaler::AreaScaler(int sw, int sh, int dw, int dh)
    : sw_(sw), sh_(sh), dw_(dw), dh_(dh), h_(makeTaps(sw, dw)), v_(makeTaps(sh, dh)),
      rows_(static_cast<std::size_t>(dw) * 3 * sh) {}

void AreaScaler::scale(const std::uint8_t* src, int srcStride, std::uint8_t* dst,
                       int dstStride) {
    // Horizontal pass over every source row: values times 256 fit 16 bits
    // exactly, so nothing is rounded until the end.
    for (int y = 0; y < sh_; ++y) {
        const std::uint8_t* s = src + static_cast<std::ptrdiff_t>(y) * srcStride;
        std::uint16_t* r = rows_.data() + static_cast<std::size_t>(y) * dw_ * 3;
        for (int x = 0; x < dw_; ++x) {
            const std::uint8_t* p = s + h_.first[x] * 4;
            const std::uint16_t* w = h_.weight.data() + h_.offset[x];
            unsigned b = 0, g = 0, red = 0;
            for (int k = 0; k < h_.count[x]; ++k, p += 4) {
                b += p[0] * w[k];
                g += p[1] * w[k];
                red += p[2] * w[k];
            }
            r[x * 3] = static_cast<std::uint16_t>(b);
            r[x * 3 + 1] = static_cast<std::uint16_t>(g);
            r[x * 3 + 2] = static_cast<std::uint16_t>(red);
        }
    }
    std::vector<unsigned> acc(static_cast<std::size_t>(dw_) * 3);
    for (int y = 0; y < dh_; ++y) {
        std::fill(acc.begin(), acc.end(), 0u);
        const std::uint16_t* w = v_.weight.data() + v_.offset[y];
        for (int k = 0; k < v_.count[y]; ++k) {
            const std::uint16_t* r =
                rows_.data() + static_cast<std::size_t>(v_.first[y] + k) * dw_ * 3;
            const unsigned wk = w[k];
            for (int i = 0; i < dw_ * 3; ++i) acc[i] += r[i] * wk;
        }
        std::uint8_t* d = dst + static_cast<std::ptrdiff_t>(y) * dstStride;
        for (int x = 0; x < dw_; ++x) {
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
