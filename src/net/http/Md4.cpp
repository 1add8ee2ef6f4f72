#include "net/http/Md4.h"

#include <cstring>

namespace cw {
namespace {

inline std::uint32_t Rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return (x & y) | (~x & z); }
inline std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return (x & y) | (x & z) | (y & z); }
inline std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return x ^ y ^ z; }

void Transform(std::uint32_t state[4], const std::uint8_t block[64])
{
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = static_cast<std::uint32_t>(block[i * 4]) | (static_cast<std::uint32_t>(block[i * 4 + 1]) << 8) |
               (static_cast<std::uint32_t>(block[i * 4 + 2]) << 16) |
               (static_cast<std::uint32_t>(block[i * 4 + 3]) << 24);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

    static const int r1[4] = {3, 7, 11, 19};
    for (int i = 0; i < 16; ++i) {
        std::uint32_t t = a + F(b, c, d) + x[i];
        a = d;
        d = c;
        c = b;
        b = Rotl(t, r1[i % 4]);
    }
    static const int r2[4] = {3, 5, 9, 13};
    static const int k2[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
    for (int i = 0; i < 16; ++i) {
        std::uint32_t t = a + G(b, c, d) + x[k2[i]] + 0x5A827999u;
        a = d;
        d = c;
        c = b;
        b = Rotl(t, r2[i % 4]);
    }
    static const int r3[4] = {3, 9, 11, 15};
    static const int k3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    for (int i = 0; i < 16; ++i) {
        std::uint32_t t = a + H(b, c, d) + x[k3[i]] + 0x6ED9EBA1u;
        a = d;
        d = c;
        c = b;
        b = Rotl(t, r3[i % 4]);
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

} // namespace

TMd4Digest Md4(const void* data, std::size_t len)
{
    std::uint32_t state[4] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u};
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t left = len;
    while (left >= 64) {
        Transform(state, p);
        p += 64;
        left -= 64;
    }
    // Padding: a one bit, zeros, then the length in bits as a little-endian 64-bit number.
    std::uint8_t tail[128] = {};
    if (left)
        std::memcpy(tail, p, left);
    tail[left] = 0x80;
    std::size_t tailLen = left < 56 ? 64 : 128;
    std::uint64_t bits = static_cast<std::uint64_t>(len) * 8;
    for (int i = 0; i < 8; ++i)
        tail[tailLen - 8 + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    Transform(state, tail);
    if (tailLen == 128)
        Transform(state, tail + 64);

    TMd4Digest out;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            out[i * 4 + j] = static_cast<std::uint8_t>(state[i] >> (8 * j));
    return out;
}

} // namespace cw
