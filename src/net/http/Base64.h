#pragma once
// Base64 with the standard alphabet and "=" padding, as used by the Basic and NTLM
// authorization headers.

#include <string>

namespace cw {

std::string Base64Encode(const std::string& data);
// Decodes the standard alphabet. Stops at the first "=" or at the end; characters outside the
// alphabet (blanks, line ends, garbage from a hostile server) are skipped, so the result is
// never longer than three quarters of the input.
std::string Base64Decode(const std::string& text);

} // namespace cw
