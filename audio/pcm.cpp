#include "pcm.h"

#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <vector>

#include <poll.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MIRVO_PCM_X86 1
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#define MIRVO_PCM_NEON 1
#endif

#include "shutdown.h"

static_assert(std::endian::native == std::endian::little,
              "the PCM stream is little-endian and is written from memory as is");

// This file is compiled with -ffp-contract=off: a fused multiply-add would
// change roundings and so the bytes.

std::int16_t sat(float x) {
    if (!(x < 1.0f)) return 32767;  // 1.0 and above, +inf, NaN
    const float p = (x < -1.0f ? -1.0f : x) * 32767.0f;
    // Round half away from zero. |p| <= 32767, so the truncation is exact
    // and p - t is the exact fraction.
    auto t = static_cast<std::int32_t>(p);
    const float f = p - static_cast<float>(t);
    if (f >= 0.5f) {
        ++t;
    } else if (f <= -0.5f) {
        --t;
    }
    return static_cast<std::int16_t>(t);
}

namespace {

using Kernel = void (*)(std::int64_t, std::int64_t, const float*, std::int16_t*);

void convertScalar(std::int64_t frames, std::int64_t channels, const float* src,
                   std::int16_t* dst) {
    if (channels >= 2) {
        for (std::int64_t i = 0; i < frames; ++i) {
            dst[2 * i] = sat(src[i * channels]);
            dst[2 * i + 1] = sat(src[i * channels + 1]);
        }
    } else {
        for (std::int64_t i = 0; i < frames; ++i) {
            const std::int16_t s = sat(src[i]);
            dst[2 * i] = s;
            dst[2 * i + 1] = s;
        }
    }
}

#if MIRVO_PCM_X86

// sat() on four lanes. min(x, 1) turns NaN into 1 (minps returns its second
// operand when either is NaN), so the clamp alone covers NaN and +-inf.
// Rounding half away from zero is trunc(|p| + 0.49999997) with p's sign:
// exact for every |p| <= 32767 (the largest float below one half never lets
// the sum round up across an integer), which the exhaustive test confirms.
inline __m128i sat4(__m128 x) {
    const __m128 y = _mm_max_ps(_mm_min_ps(x, _mm_set1_ps(1.0f)), _mm_set1_ps(-1.0f));
    const __m128 p = _mm_mul_ps(y, _mm_set1_ps(32767.0f));
    const __m128 magnitude = _mm_andnot_ps(_mm_set1_ps(-0.0f), p);
    const __m128i t = _mm_cvttps_epi32(_mm_add_ps(magnitude, _mm_set1_ps(0.49999997f)));
    const __m128i sign = _mm_srai_epi32(_mm_castps_si128(p), 31);
    return _mm_sub_epi32(_mm_xor_si128(t, sign), sign);
}

void convertSse2(std::int64_t frames, std::int64_t channels, const float* src,
                 std::int16_t* dst) {
    std::int64_t i = 0;
    if (channels == 2) {
        // Interleaved stereo in, interleaved stereo out: a straight map.
        const std::int64_t n = 2 * frames;
        for (; i + 8 <= n; i += 8) {
            const __m128i a = sat4(_mm_loadu_ps(src + i));
            const __m128i b = sat4(_mm_loadu_ps(src + i + 4));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_packs_epi32(a, b));
        }
        for (; i < n; ++i) dst[i] = sat(src[i]);
        return;
    }
    if (channels > 2) {
        // The first two samples of each frame, two frames per vector.
        for (; i + 4 <= frames; i += 4) {
            const float* f = src + i * channels;
            __m128 a = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(f));
            a = _mm_loadh_pi(a, reinterpret_cast<const __m64*>(f + channels));
            __m128 b = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(f + 2 * channels));
            b = _mm_loadh_pi(b, reinterpret_cast<const __m64*>(f + 3 * channels));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i),
                             _mm_packs_epi32(sat4(a), sat4(b)));
        }
        convertScalar(frames - i, channels, src + i * channels, dst + 2 * i);
        return;
    }
    // One channel to both sides.
    for (; i + 4 <= frames; i += 4) {
        const __m128i s = sat4(_mm_loadu_ps(src + i));
        const __m128i packed = _mm_packs_epi32(s, s);  // s0..s3 twice
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i), _mm_unpacklo_epi16(packed, packed));
    }
    convertScalar(frames - i, channels, src + i, dst + 2 * i);
}

__attribute__((target("avx2"))) inline __m256i sat8(__m256 x) {
    const __m256 y = _mm256_max_ps(_mm256_min_ps(x, _mm256_set1_ps(1.0f)), _mm256_set1_ps(-1.0f));
    const __m256 p = _mm256_mul_ps(y, _mm256_set1_ps(32767.0f));
    const __m256 magnitude = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), p);
    const __m256i t = _mm256_cvttps_epi32(_mm256_add_ps(magnitude, _mm256_set1_ps(0.49999997f)));
    const __m256i sign = _mm256_srai_epi32(_mm256_castps_si256(p), 31);
    return _mm256_sub_epi32(_mm256_xor_si256(t, sign), sign);
}

// The first two samples of four frames; 64-bit loads are cheaper here than
// a gather.
__attribute__((target("avx2"))) inline __m256 pairs4(const float* f, std::int64_t channels) {
    __m128 lo = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(f));
    lo = _mm_loadh_pi(lo, reinterpret_cast<const __m64*>(f + channels));
    __m128 hi = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(f + 2 * channels));
    hi = _mm_loadh_pi(hi, reinterpret_cast<const __m64*>(f + 3 * channels));
    return _mm256_insertf128_ps(_mm256_castps128_ps256(lo), hi, 1);
}

__attribute__((target("avx2"))) void convertAvx2(std::int64_t frames, std::int64_t channels,
                                                 const float* src, std::int16_t* dst) {
    std::int64_t i = 0;
    if (channels == 2) {
        const std::int64_t n = 2 * frames;
        for (; i + 16 <= n; i += 16) {
            const __m256i a = sat8(_mm256_loadu_ps(src + i));
            const __m256i b = sat8(_mm256_loadu_ps(src + i + 8));
            // packs works per 128-bit lane; put the quarters back in order.
            const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), packed);
        }
        convertSse2(frames - i / 2, 2, src + i, dst + i);
        return;
    }
    if (channels == 6) {
        // 5.1: one 8-float load at frame f holds f's (L, R) in its first
        // quarter and f + 1's in its last, so two loads and one in-lane
        // shuffle give four frames, and one cross-lane permute puts eight in
        // order: far fewer shuffles than 64-bit loads.
        const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
        for (; i + 8 <= frames; i += 8) {
            const float* f = src + i * 6;
            const __m256d a = _mm256_shuffle_pd(_mm256_castps_pd(_mm256_loadu_ps(f)),
                                                _mm256_castps_pd(_mm256_loadu_ps(f + 12)), 12);
            const __m256d b = _mm256_shuffle_pd(_mm256_castps_pd(_mm256_loadu_ps(f + 24)),
                                                _mm256_castps_pd(_mm256_loadu_ps(f + 36)), 12);
            const __m256i packed = _mm256_packs_epi32(sat8(_mm256_castpd_ps(a)), sat8(_mm256_castpd_ps(b)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * i),
                                _mm256_permutevar8x32_epi32(packed, order));
        }
        convertSse2(frames - i, channels, src + i * channels, dst + 2 * i);
        return;
    }
    if (channels > 2) {
        // The first two samples of each frame, four frames per vector.
        for (; i + 8 <= frames; i += 8) {
            const float* f = src + i * channels;
            const __m256i a = sat8(pairs4(f, channels));
            const __m256i b = sat8(pairs4(f + 4 * channels, channels));
            const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * i), packed);
        }
        convertSse2(frames - i, channels, src + i * channels, dst + 2 * i);
        return;
    }
    for (; i + 8 <= frames; i += 8) {
        const __m256i s = sat8(_mm256_loadu_ps(src + i));
        // s0..s7 in the low half, then each doubled: s0 s0 s1 s1 ... s7 s7.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(s, s), 0xD8);
        const __m128i lo = _mm256_castsi256_si128(packed);
        const __m128i a = _mm_unpacklo_epi16(lo, lo);
        const __m128i b = _mm_unpackhi_epi16(lo, lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i), a);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i + 8), b);
    }
    convertSse2(frames - i, channels, src + i, dst + 2 * i);
}

#elif MIRVO_PCM_NEON

// sat() on four lanes. FCVTAS rounds to nearest with ties away from zero,
// which is exactly the scalar rounding.
inline int32x4_t sat4(float32x4_t x) {
    const uint32x4_t below1 = vcltq_f32(x, vdupq_n_f32(1.0f));  // false for NaN
    const float32x4_t p = vmulq_f32(vmaxnmq_f32(x, vdupq_n_f32(-1.0f)), vdupq_n_f32(32767.0f));
    return vbslq_s32(below1, vcvtaq_s32_f32(p), vdupq_n_s32(32767));
}

void convertNeon(std::int64_t frames, std::int64_t channels, const float* src,
                 std::int16_t* dst) {
    std::int64_t i = 0;
    if (channels == 2) {
        const std::int64_t n = 2 * frames;
        for (; i + 8 <= n; i += 8) {
            const int16x8_t v = vcombine_s16(vqmovn_s32(sat4(vld1q_f32(src + i))),
                                             vqmovn_s32(sat4(vld1q_f32(src + i + 4))));
            vst1q_s16(dst + i, v);
        }
        for (; i < n; ++i) dst[i] = sat(src[i]);
        return;
    }
    if (channels > 2) {
        for (; i + 2 <= frames; i += 2) {
            const float* f = src + i * channels;
            const float32x4_t v = vcombine_f32(vld1_f32(f), vld1_f32(f + channels));
            vst1_s16(dst + 2 * i, vqmovn_s32(sat4(v)));
        }
        convertScalar(frames - i, channels, src + i * channels, dst + 2 * i);
        return;
    }
    for (; i + 4 <= frames; i += 4) {
        const int16x4_t s = vqmovn_s32(sat4(vld1q_f32(src + i)));
        const int16x4x2_t z = vzip_s16(s, s);
        vst1q_s16(dst + 2 * i, vcombine_s16(z.val[0], z.val[1]));
    }
    convertScalar(frames - i, channels, src + i, dst + 2 * i);
}

#endif

Kernel pickKernel() {
#if MIRVO_PCM_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return convertAvx2;
    return convertSse2;
#elif MIRVO_PCM_NEON
    return convertNeon;
#else
    return convertScalar;
#endif
}

const Kernel gKernel = pickKernel();

std::atomic<int> gOutputFd{1};
std::atomic<bool> gOutputClosed{false};
std::atomic<int> gOutputError{0};

// writeAll's result when a stop request made it give the block up.
constexpr int kStopped = -1;

// Writes the whole block, waiting on the descriptor and on the stop request
// together (the descriptor is never switched to non-blocking: its file
// description is the host's too). Each piece is at most PIPE_BUF bytes and
// follows a poll that reported room, so on a pipe it cannot block however
// the host set the descriptor up; EAGAIN (a non-blocking descriptor) and
// EINTR only mean waiting again. PIPE_BUF is a multiple of 4: a block given
// up leaves whole frames behind. Returns 0, kStopped, or the errno of the
// write that failed (EPIPE when the reader has gone; SIGPIPE is ignored by
// the program).
int writeAll(int fd, const std::uint8_t* p, std::size_t n) {
    pollfd fds[2] = {{fd, POLLOUT, 0}, {shutdownWakeFd(), POLLIN, 0}};
    while (n > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (fds[1].revents != 0) return kStopped;
        // Any event on the descriptor means trying the write: an error or a
        // hang-up then reports itself, and a descriptor poll cannot watch
        // (POLLNVAL, some devices on macOS) degrades to plain blocking writes.
        if (fds[0].revents == 0) continue;
        const ssize_t w = ::write(fd, p, n < PIPE_BUF ? n : PIPE_BUF);
        if (w > 0) {
            p += w;
            n -= static_cast<std::size_t>(w);
        } else if (w < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        } else {
            return w < 0 ? errno : EIO;
        }
    }
    return 0;
}

}  // namespace

void writeS16(std::int64_t frames, std::int64_t channels, const float* src) {
    if (frames <= 0 || gOutputClosed.load(std::memory_order_relaxed)) return;
    // Only the IO thread writes, one cycle at a time: one block that grows
    // to the largest cycle seen and is then reused.
    static std::vector<std::int16_t> block;
    const auto n = static_cast<std::size_t>(frames) * 2;
    if (block.size() < n) block.resize(n);
    gKernel(frames, channels, src, block.data());
    const int result = writeAll(gOutputFd.load(std::memory_order_relaxed),
                                reinterpret_cast<const std::uint8_t*>(block.data()),
                                n * sizeof(std::int16_t));
    if (result == 0) return;
    // A stop is under way, the reader has gone or the output failed: write
    // nothing more. The main thread tears down in order and reports a
    // failure other than a vanished reader.
    gOutputClosed.store(true, std::memory_order_relaxed);
    if (result == kStopped) return;
    if (result != EPIPE) gOutputError.store(result);
    requestShutdown();
}

hal::OSStatus ioProc(hal::ObjectID, const hal::AudioTimeStamp*, const hal::AudioBufferList* input,
                     const hal::AudioTimeStamp*, hal::AudioBufferList*, const hal::AudioTimeStamp*,
                     void*) {
    if (input == nullptr || input->mNumberBuffers == 0) return 0;
    const hal::AudioBuffer& b = input->mBuffers[0];
    if (b.mData == nullptr || b.mDataByteSize == 0) return 0;
    const std::uint32_t channels = b.mNumberChannels == 0 ? 1 : b.mNumberChannels;
    const std::uint64_t bytesPerFrame = 4ull * channels;
    if (bytesPerFrame > b.mDataByteSize) return 0;
    const std::uint64_t frames = b.mDataByteSize / bytesPerFrame;
    writeS16(static_cast<std::int64_t>(frames), static_cast<std::int64_t>(channels),
             static_cast<const float*>(b.mData));
    return 0;
}

namespace pcm {

void convert(std::int64_t frames, std::int64_t channels, const float* src, std::int16_t* dst) {
    if (frames > 0) gKernel(frames, channels, src, dst);
}

void convertReference(std::int64_t frames, std::int64_t channels, const float* src,
                      std::int16_t* dst) {
    if (frames > 0) convertScalar(frames, channels, src, dst);
}

std::vector<const char*> availablePaths() {
    std::vector<const char*> p{"scalar"};
#if MIRVO_PCM_X86
    p.push_back("sse2");
    if (__builtin_cpu_supports("avx2")) p.push_back("avx2");
#elif MIRVO_PCM_NEON
    p.push_back("neon");
#endif
    return p;
}

bool convertWith(const char* path, std::int64_t frames, std::int64_t channels, const float* src,
                 std::int16_t* dst) {
    Kernel k = nullptr;
    if (std::strcmp(path, "scalar") == 0) k = convertScalar;
#if MIRVO_PCM_X86
    if (std::strcmp(path, "sse2") == 0) k = convertSse2;
    if (std::strcmp(path, "avx2") == 0 && __builtin_cpu_supports("avx2")) k = convertAvx2;
#elif MIRVO_PCM_NEON
    if (std::strcmp(path, "neon") == 0) k = convertNeon;
#endif
    if (k == nullptr) return false;
    if (frames > 0) k(frames, channels, src, dst);
    return true;
}

void setOutputFd(int fd) { gOutputFd.store(fd); }
bool outputClosed() { return gOutputClosed.load(); }
int outputError() { return gOutputError.load(); }
void resetOutput() {
    gOutputClosed.store(false);
    gOutputError.store(0);
}

}  // namespace pcm
