#pragma once
// DES block encryption, only as NTLM version 1 needs it: the LM hash and the challenge
// responses encrypt single 8-byte blocks with keys made from 7-byte pieces of a hash.

#include <cstdint>

namespace cw {

// Encrypt one 8-byte block with a 64-bit key (parity bits are ignored, as DES does).
void DesEncryptBlock(const std::uint8_t key[8], const std::uint8_t in[8], std::uint8_t out[8]);

// Spread 56 key bits over 8 bytes, 7 bits each, leaving the low bit of each byte as parity
// (set to odd parity, which DES ignores but some peers check).
void DesKeyFrom7(const std::uint8_t key7[7], std::uint8_t key8[8]);

} // namespace cw
