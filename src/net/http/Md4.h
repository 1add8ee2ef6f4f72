#pragma once
// MD4 message digest: the NT password hash of NTLM is MD4 over the password's 2-byte
// characters. Not for any other use: MD4 is broken as a general-purpose hash.

#include <array>
#include <cstdint>
#include <string>

namespace cw {

using TMd4Digest = std::array<std::uint8_t, 16>;

TMd4Digest Md4(const void* data, std::size_t len);
inline TMd4Digest Md4(const std::string& data) { return Md4(data.data(), data.size()); }

} // namespace cw
