#include "platform/Utf8.h"

namespace cw {

TCodePoint DecodeAt(const std::string& text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char c = byte(at);
    if (c < 0x80)
        return {c, 1};
    const std::size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    bool whole = n > 0 && at + n <= text.size();
    for (std::size_t k = 1; whole && k < n; ++k)
        whole = (byte(at + k) & 0xC0) == 0x80;
    if (whole && n == 3) // no overlong forms, no surrogates
        whole = !(c == 0xE0 && byte(at + 1) < 0xA0) && !(c == 0xED && byte(at + 1) >= 0xA0);
    else if (whole && n == 4) // no overlong forms, nothing past U+10FFFF
        whole = !(c == 0xF0 && byte(at + 1) < 0x90) && !(c == 0xF4 && byte(at + 1) >= 0x90);
    if (!whole)
        return {c, 1}; // Latin-1
    std::uint32_t v = c & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
    for (std::size_t k = 1; k < n; ++k)
        v = (v << 6) | (byte(at + k) & 0x3F);
    return {v, n};
}

void AppendUtf8(std::string& out, std::uint32_t v)
{
    if (v < 0x80) {
        out += static_cast<char>(v);
    } else if (v < 0x800) {
        out += static_cast<char>(0xC0 | (v >> 6));
        out += static_cast<char>(0x80 | (v & 0x3F));
    } else if (v < 0x10000) {
        out += static_cast<char>(0xE0 | (v >> 12));
        out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (v & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (v >> 18));
        out += static_cast<char>(0x80 | ((v >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (v & 0x3F));
    }
}

bool IsUnsafeCodePoint(std::uint32_t v)
{
    return v < 0x20 || (v >= 0x7F && v <= 0x9F) || (v >= 0x202A && v <= 0x202E) || (v >= 0x2066 && v <= 0x2069) ||
           v == 0x200E || v == 0x200F || v == 0x061C;
}

std::string Utf8OrLatin1(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const TCodePoint cp = DecodeAt(text, at);
        AppendUtf8(out, cp.Value);
        at += cp.Length;
    }
    return out;
}

} // namespace cw
