// Picture operations around the conversion: where a picture lands in a
// frame with its aspect kept, black bars, and the cursor blended in.
//
// Pure functions over caller-owned memory; nothing is allocated or kept;
// any thread.
#pragma once

#include <cstdint>

namespace pixel {

// Where a source of sw x sh pixels lands inside a frame of w x h when scaled
// with its aspect kept and centred. Width, height and offsets are even so
// that every 2x2 chroma block lies wholly inside the picture or the bars.
struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};
Rect fitKeepingAspect(int sw, int sh, int w, int h);

// Paints a whole NV12 picture black (Y 16, Cb Cr 128). Chroma is
// ceil(w/2) pairs by ceil(h/2) rows.
void fillBlack(int width, int height, std::uint8_t* dstY, int strideY, std::uint8_t* dstUV,
               int strideUV);

// Blends a premultiplied ARGB image (as 32-bit values 0xAARRGGBB) onto BGRX
// pixels at (x, y), which may lie partly or wholly outside the destination.
void blendPremultiplied(const std::uint32_t* argb, int width, int height, int x, int y,
                        std::uint8_t* dst, int dstStride, int dstWidth, int dstHeight);

}  // namespace pixel
