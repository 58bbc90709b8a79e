#include "uuid.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <random>

std::string randomUUIDString() {
    static std::mutex m;
    static std::mt19937_64 rng{[] {
        std::random_device rd;
        std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
        return std::mt19937_64(seq);
    }()};
    std::array<std::uint8_t, 16> b{};
    {
        std::lock_guard<std::mutex> g(m);
        for (int i = 0; i < 16; i += 8) {
            const std::uint64_t r = rng();
            for (int j = 0; j < 8; ++j) b[i + j] = std::uint8_t(r >> (8 * j));
        }
    }
    b[6] = std::uint8_t((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = std::uint8_t((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s.push_back('-');
        s.push_back(hex[b[i] >> 4]);
        s.push_back(hex[b[i] & 0xF]);
    }
    return s;
}
