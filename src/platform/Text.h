#pragma once
// ASCII text helpers. All text is 8-bit; "case-insensitive" folds the ASCII letters only, so a
// comparison never depends on the locale or on how bytes above 127 would decode.

#include <cstddef>
#include <string>

namespace cw::text {

char UpperChar(char c);
char LowerChar(char c);
std::string Upper(std::string s);
std::string Lower(std::string s);
// Position of the first case-insensitive occurrence of needle at or after from, or npos.
std::size_t PosNoCase(const std::string& haystack, const std::string& needle, std::size_t from = 0);
bool ContainsNoCase(const std::string& haystack, const std::string& needle);
bool SameNoCase(const std::string& a, const std::string& b);
bool StartsWithNoCase(const std::string& s, const std::string& prefix);
bool EndsWithNoCase(const std::string& s, const std::string& suffix);
// The value of a hexadecimal digit (either letter case), or -1 for any other byte.
int HexDigitValue(char c);
// "%40" -> "@"; a "%" not followed by two hex digits stays as it is.
std::string PercentDecoded(const std::string& s);
// Blanks and tabs removed from both ends.
std::string TrimBlanks(const std::string& s);
// A whole text that is a decimal integer (optionally signed) and fits an int; else def.
int ToIntDef(const std::string& s, int def);

} // namespace cw::text
