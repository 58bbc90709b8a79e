#include "nv12_fast.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "cpu_paths.h"
#include "nv12_fast_kernels.h"

namespace pixel {

namespace {

// Source rows prefetched this many output rows ahead.
constexpr std::int64_t kPrefetchRows = 2;

}  // namespace


namespace {

// ---- scalar ---------------------------------------------------------------

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


constexpr common::PathTable<const Converter::Kernels*> kKernels{{
    &kScalar,
#if defined(MIRVO_CPU_X86)
    &kSse2Kernels, &kAvx2Kernels, nullptr,
#elif defined(MIRVO_CPU_NEON)
    nullptr, nullptr, &kNeonKernels,
#endif
}};

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

Converter::Converter() noexcept : kernels_(kKernels.widest()) {}
Converter::Converter(const char* path) noexcept : kernels_(kKernels.named(path)) {}
Converter::~Converter() = default;
Converter::Converter(Converter&&) noexcept = default;
Converter& Converter::operator=(Converter&&) noexcept = default;

void Converter::convert(const Source& src, std::int64_t W, std::int64_t H, std::uint8_t* luma,
                        std::uint8_t* chroma) noexcept {
    if (kernels_ == nullptr || W <= 0 || H <= 0) return;
    if (!mapping_ || mapping_->sw != src.width || mapping_->sh != src.height || mapping_->W != W ||
        mapping_->H != H) {
        try {
            if (!mapping_) mapping_.reset(new Mapping);
            Mapping& p = *mapping_;
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
            mapping_.reset();  // frees what was built; the next call tries again
            convertReference(src, W, H, luma, chroma);
            return;
        }
    }
    if (mapping_->reference) {
        convertReference(src, W, H, luma, chroma);
        return;
    }
    convertPlane(*kernels_, mapping_->luma, mapping_->lumaRows, src.luma, src.lumaStride, luma);
    convertPlane(*kernels_, mapping_->chroma, mapping_->chromaRows, src.chroma, src.chromaStride, chroma);
}

bool convertWith(const char* path, const Source& src, std::int64_t W, std::int64_t H,
                 std::uint8_t* luma, std::uint8_t* chroma) {
    Converter c(path);
    if (!c.ok()) return false;
    c.convert(src, W, H, luma, chroma);
    return true;
}

}  // namespace pixel
