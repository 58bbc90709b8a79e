// The fast NV12 resampler's NEON kernels (arm64).
#include "nv12_fast_kernels.h"

#if MIRVO_CPU_NEON
#include <arm_neon.h>

namespace pixel {
namespace {

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

}  // namespace

constexpr Converter::Kernels kNeonKernels{"neon", half1Neon, half2Neon, gather1Neon, gather2Neon};

}  // namespace pixel

#endif  // MIRVO_CPU_NEON
