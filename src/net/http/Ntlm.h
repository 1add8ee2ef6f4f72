#pragma once
// NTLM version 1 messages for the Authorization and Proxy-Authorization headers: the negotiate
// message we open with, the server's challenge we decode, and the authenticate message that
// answers it with the LM and NT responses.

#include <array>
#include <cstdint>
#include <string>

namespace cw {

using TNtlmHash = std::array<std::uint8_t, 16>;
using TNtlmResponse = std::array<std::uint8_t, 24>;
using TNtlmChallenge = std::array<std::uint8_t, 8>;

// What a challenge (type 2) message told us. Only Challenge is used for the answer; the names
// are decoded for completeness (and for tracing).
struct TNTLM_Msg2_Info {
    bool Valid = false;
    std::string Domain;   // target name
    std::string Server;   // NetBIOS server name from the target information
    std::string DnsDomain; // NetBIOS domain name from the target information
    std::uint32_t Flags = 0;
    TNtlmChallenge Challenge{};
};

// The LM hash: DES of "KGS!@#$%" under the upper-cased password's first 14 characters.
TNtlmHash NtlmLmHash(const std::string& password);
// The NT hash: MD4 of the password written as 2-byte characters.
TNtlmHash NtlmNtHash(const std::string& password);
// A version-1 response: the hash extended by five zero bytes, used as three DES keys over the
// server's challenge.
TNtlmResponse NtlmResponse(const TNtlmHash& hash, const TNtlmChallenge& challenge);

// The raw negotiate message (32 bytes) and its Base64 text.
std::string NtlmNegotiateMessage();
std::string NtlmGetMessage1();

// Decode the Base64 text of a challenge message. A text that is not a well-formed challenge
// (wrong signature or type, too short, descriptors pointing outside the message) gives
// Valid == false; nothing is ever read outside the decoded bytes.
TNTLM_Msg2_Info NtlmGetMessage2(const std::string& base64Text);

// The raw authenticate message and its Base64 text.
std::string NtlmAuthenticateMessage(const std::string& host, const std::string& domain, const std::string& user,
                                    const std::string& password, const TNtlmChallenge& challenge);
std::string NtlmGetMessage3(const std::string& host, const std::string& domain, const std::string& user,
                            const std::string& password, const TNtlmChallenge& challenge);

// The local host name, or "" when it cannot be obtained.
std::string NtlmLocalHostName();

} // namespace cw
