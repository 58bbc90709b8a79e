#include "picture.h"

#include <algorithm>
#include <cstring>

namespace pixel {

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

void fillBlack(int width, int height, std::uint8_t* dstY, int strideY, std::uint8_t* dstUV,
               int strideUV) {
    if (width <= 0 || height <= 0) return;
    for (int y = 0; y < height; ++y)
        std::memset(dstY + static_cast<std::ptrdiff_t>(y) * strideY, 16, width);
    const int cw = (width + 1) / 2, ch = (height + 1) / 2;
    for (int y = 0; y < ch; ++y)
        std::memset(dstUV + static_cast<std::ptrdiff_t>(y) * strideUV, 128, cw * 2);
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

}  // namespace pixel
