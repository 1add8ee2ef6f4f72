#pragma once
// Reading NTLM messages in tests, and the peer's side of an NTLM version 1 handshake with the
// server challenge 0123456789abcdef that accepts only user "User" with password "Password".

#include "net/http/Base64.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

namespace ntlmtest {

inline std::string Hex(const std::uint8_t* p, std::size_t n)
{
    static const char* d = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}
template <std::size_t N> std::string Hex(const std::array<std::uint8_t, N>& a)
{
    return Hex(a.data(), N);
}
inline std::string Hex(const std::string& s)
{
    return Hex(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

inline std::uint16_t U16(const std::string& m, std::size_t at)
{
    return static_cast<std::uint16_t>(static_cast<unsigned char>(m[at]) | (static_cast<unsigned char>(m[at + 1]) << 8));
}
inline std::uint32_t U32(const std::string& m, std::size_t at)
{
    return U16(m, at) | (static_cast<std::uint32_t>(U16(m, at + 2)) << 16);
}
// The bytes a security buffer descriptor at `at` points to.
inline std::string Field(const std::string& m, std::size_t at)
{
    const std::size_t off = U32(m, at + 4), len = U16(m, at);
    return off + len <= m.size() ? m.substr(off, len) : "<out of range>";
}

// A challenge message, base64, with the server challenge 0123456789abcdef.
inline std::string ChallengeMessage()
{
    std::string m(32, '\0');
    std::memcpy(m.data(), "NTLMSSP\0\x02\0\0\0", 12);
    m[16] = 32;                 // empty target name at offset 32
    m[20] = 0x01, m[21] = 0x82; // flags 0x8201
    const char challenge[8] = {0x01,
                               0x23,
                               0x45,
                               0x67,
                               static_cast<char>(0x89),
                               static_cast<char>(0xab),
                               static_cast<char>(0xcd),
                               static_cast<char>(0xef)};
    std::memcpy(m.data() + 24, challenge, 8);
    return cw::Base64Encode(m);
}

// The message type (1, 2 or 3) of a decoded message, or 0.
inline std::uint32_t MessageType(const std::string& m)
{
    return m.size() >= 12 && m.compare(0, 8, std::string("NTLMSSP\0", 8)) == 0 ? U32(m, 8) : 0;
}

// An authenticate message of user "User" answering ChallengeMessage() with "Password".
inline bool AnswersWithTheRightPassword(const std::string& m)
{
    return MessageType(m) == 3 && Field(m, 36) == std::string("U\0s\0e\0r\0", 8) &&
           Hex(Field(m, 20)) == "67c43011f30298a2ad35ece64f16331c44bdbed927841f94";
}

} // namespace ntlmtest
