#pragma once
// Reading text that claims to be UTF-8 but may not be: a byte that does not start a whole,
// shortest-form sequence is read as a Latin-1 character, so every text decodes, and decodes the
// same way everywhere (names, terminal lines, JSON).

#include <cstdint>
#include <string>

namespace cw {

// The code point at text[at] and the bytes it takes: a whole, shortest-form UTF-8 sequence, or
// one byte read as Latin-1.
struct TCodePoint {
    std::uint32_t Value = 0;
    std::size_t Length = 1;
};
TCodePoint DecodeAt(const std::string& text, std::size_t at);
void AppendUtf8(std::string& out, std::uint32_t value);

// A control character (C0, DEL, C1) or a bidirectional control: the overrides, embeddings and
// isolates, and the marks (U+200E, U+200F, U+061C).
bool IsUnsafeCodePoint(std::uint32_t value);

// The text as UTF-8, its stray bytes read as Latin-1 (the text itself when it is UTF-8 already).
std::string Utf8OrLatin1(const std::string& text);

} // namespace cw
