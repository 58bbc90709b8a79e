// The IO proc on arbitrary buffer lists: buffer counts, channel numbers, byte
// sizes, null data and any float bit patterns. The data pointer always
// covers exactly the bytes the list claims (as the platform guarantees),
// ending at an inaccessible page; the block written must be the reference
// conversion of the whole frames of the first buffer, and nothing else.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <sanitizer/common_interface_defs.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "hal.h"
#include "pcm.h"
#include "pcm_out.h"

namespace {

int gOut = -1;

[[noreturn]] void fail(const char* what) {
    fuzzin::fail((std::string("ioproc_fuzz: ") + what).c_str());
}

std::string takeOutput() {
    std::string s;
    char buf[65536];
    off_t off = 0;
    for (ssize_t n; (n = ::pread(gOut, buf, sizeof buf, off)) > 0; off += n) s.append(buf, static_cast<std::size_t>(n));
    if (::ftruncate(gOut, 0) != 0 || ::lseek(gOut, 0, SEEK_SET) != 0) fail("rewind");
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A memory file instead of standard output: written like a pipe, read
    // back after each cycle.
    gOut = ::memfd_create("ioproc_fuzz", MFD_CLOEXEC);
    if (gOut < 0) fail("memfd_create");
    pcm::setOutputFd(gOut);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzin::Reader in(data, size);
    const int cycles = static_cast<int>(in.range(1, 4));
    for (int cycle = 0; cycle < cycles; ++cycle) {
        const std::uint32_t count = static_cast<std::uint32_t>(in.range(0, 4));
        // The list with room for `count` buffers (at least the one declared).
        const std::size_t listBytes = sizeof(hal::AudioBufferList) +
                                      (count > 1 ? count - 1 : 0) * sizeof(hal::AudioBuffer);
        std::vector<std::unique_ptr<fuzzin::Guarded>> samples;
        std::vector<std::uint8_t> aligned(listBytes + alignof(hal::AudioBufferList));
        auto* list = reinterpret_cast<hal::AudioBufferList*>(
            (reinterpret_cast<std::uintptr_t>(aligned.data()) + alignof(hal::AudioBufferList) - 1) &
            ~(std::uintptr_t{alignof(hal::AudioBufferList)} - 1));
        list->mNumberBuffers = count;
        for (std::uint32_t b = 0; b < std::max<std::uint32_t>(count, 1); ++b) {
            hal::AudioBuffer& buf = list->mBuffers[b];
            const std::uint8_t shape = in.u8();
            // Channel counts: small ones mostly, now and then anything.
            buf.mNumberChannels = (shape & 0x80) ? in.u32() : static_cast<std::uint32_t>(in.range(0, 9));
            buf.mDataByteSize = static_cast<std::uint32_t>(in.range(0, 8192));
            if ((shape & 0x40) != 0 && (shape & 0x20) != 0) buf.mDataByteSize = in.u32();  // a lie: data stays null
            const bool null = (shape & 0x3) == 0 || buf.mDataByteSize > 8192;
            if (null) {
                buf.mData = nullptr;
            } else {
                // Whole floats only: a valid cycle never reads a partial
                // one, and the platform's data is float-aligned.
                const std::size_t floats = buf.mDataByteSize / 4 * 4;
                samples.push_back(std::make_unique<fuzzin::Guarded>(floats));
                in.fill(samples.back()->data(), floats);
                buf.mData = samples.back()->data();
            }
        }

        // What the first buffer should give.
        std::string want;
        if (count > 0) {
            const hal::AudioBuffer& b = list->mBuffers[0];
            const std::uint64_t ch = b.mNumberChannels == 0 ? 1 : b.mNumberChannels;
            if (b.mData != nullptr && b.mDataByteSize != 0 && 4 * ch <= b.mDataByteSize) {
                const std::uint64_t frames = b.mDataByteSize / (4 * ch);
                std::vector<float> f(static_cast<std::size_t>(frames * ch));
                std::memcpy(f.data(), b.mData, f.size() * 4);
                std::vector<std::int16_t> out(static_cast<std::size_t>(2 * frames));
                pcm::convertReference(static_cast<std::int64_t>(frames), static_cast<std::int64_t>(ch), f.data(), out.data());
                want.assign(reinterpret_cast<const char*>(out.data()), out.size() * 2);
            }
        }
        if (ioProc(1, nullptr, list, nullptr, nullptr, nullptr, nullptr) != 0) fail("ioProc returned non-zero");
        if (const std::string got = takeOutput(); got != want) {
            char why[200];
            std::snprintf(why, sizeof why,
                          "cycle %d: %zu bytes written, %zu expected (%u buffers, first: %u "
                          "channels, %u bytes, data %s)",
                          cycle, got.size(), want.size(), count, list->mBuffers[0].mNumberChannels,
                          list->mBuffers[0].mDataByteSize, list->mBuffers[0].mData ? "set" : "null");
            fail(why);
        }
    }
    if (ioProc(1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) != 0) fail("null list");
    if (!takeOutput().empty()) fail("null list wrote");
    return 0;
}
