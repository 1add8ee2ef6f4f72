#include "net/http/Ntlm.h"

#include "net/http/Base64.h"
#include "net/http/Des.h"
#include "net/http/Md4.h"
#include "platform/Text.h"

#include <cstring>
#include <unistd.h>

namespace cw {
namespace {

const char kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', '\0'};

void PutU16(std::string& msg, size_t at, std::uint16_t v)
{
    msg[at] = static_cast<char>(v & 0xFF);
    msg[at + 1] = static_cast<char>(v >> 8);
}

void PutU32(std::string& msg, size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        msg[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A security buffer descriptor: length, allocated length, offset from the message start.
void PutBuffer(std::string& msg, size_t at, size_t len, size_t offset)
{
    PutU16(msg, at, static_cast<std::uint16_t>(len));
    PutU16(msg, at + 2, static_cast<std::uint16_t>(len));
    PutU32(msg, at + 4, static_cast<std::uint32_t>(offset));
}

std::uint16_t GetU16(const std::string& msg, size_t at)
{
    return static_cast<std::uint16_t>(static_cast<unsigned char>(msg[at]) |
                                      (static_cast<unsigned char>(msg[at + 1]) << 8));
}

std::uint32_t GetU32(const std::string& msg, size_t at)
{
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(msg[at + i]);
    return v;
}

// Each character followed by a zero byte: the 8-bit text as 2-byte characters.
std::string Wide(const std::string& s)
{
    std::string out;
    out.reserve(s.size() * 2);
    for (char c : s) {
        out += c;
        out += '\0';
    }
    return out;
}

// The reverse for names in the challenge: keep the low byte of each character.
std::string Narrow(const std::string& s, bool unicode)
{
    if (!unicode)
        return s;
    std::string out;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        out += s[i];
    return out;
}

// The bytes a descriptor names, or false when they lie outside the message.
bool ReadBuffer(const std::string& msg, size_t at, std::string& out)
{
    if (at + 8 > msg.size())
        return false;
    size_t len = GetU16(msg, at);
    size_t offset = GetU32(msg, at + 4);
    if (len == 0) {
        out.clear();
        return true;
    }
    if (offset > msg.size() || len > msg.size() - offset)
        return false;
    out = msg.substr(offset, len);
    return true;
}

} // namespace

TNtlmHash NtlmLmHash(const std::string& password)
{
    std::uint8_t pw[14] = {};
    for (size_t i = 0; i < password.size() && i < 14; ++i)
        pw[i] = static_cast<std::uint8_t>(text::UpperChar(password[i]));
    static const std::uint8_t magic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
    TNtlmHash hash;
    std::uint8_t key[8];
    DesKeyFrom7(pw, key);
    DesEncryptBlock(key, magic, hash.data());
    DesKeyFrom7(pw + 7, key);
    DesEncryptBlock(key, magic, hash.data() + 8);
    return hash;
}

TNtlmHash NtlmNtHash(const std::string& password)
{
    return Md4(Wide(password));
}

TNtlmResponse NtlmResponse(const TNtlmHash& hash, const TNtlmChallenge& challenge)
{
    std::uint8_t keys[21] = {};
    std::memcpy(keys, hash.data(), 16);
    TNtlmResponse out;
    for (int i = 0; i < 3; ++i) {
        std::uint8_t key[8];
        DesKeyFrom7(keys + 7 * i, key);
        DesEncryptBlock(key, challenge.data(), out.data() + 8 * i);
    }
    return out;
}

std::string NtlmNegotiateMessage()
{
    std::string msg(32, '\0');
    std::memcpy(msg.data(), kSignature, 8);
    PutU32(msg, 8, 1);
    PutU32(msg, 12, 0x8207);
    // Neither domain nor workstation is supplied (their flags are not set).
    PutBuffer(msg, 16, 0, 32);
    PutBuffer(msg, 24, 0, 32);
    return msg;
}

std::string NtlmGetMessage1()
{
    return Base64Encode(NtlmNegotiateMessage());
}

TNTLM_Msg2_Info NtlmGetMessage2(const std::string& base64Text)
{
    TNTLM_Msg2_Info info;
    std::string msg = Base64Decode(base64Text);
    if (msg.size() < 32 || std::memcmp(msg.data(), kSignature, 8) != 0 || GetU32(msg, 8) != 2)
        return info;
    std::string target;
    if (!ReadBuffer(msg, 12, target))
        return info;
    info.Flags = GetU32(msg, 20);
    std::memcpy(info.Challenge.data(), msg.data() + 24, 8);
    bool unicode = (info.Flags & 1) != 0;
    info.Domain = Narrow(target, unicode);

    // Target information (optional): a list of (type, length, value) entries ending with type 0.
    std::string targetInfo;
    if (msg.size() >= 48 && ReadBuffer(msg, 40, targetInfo)) {
        size_t p = 0;
        while (p + 4 <= targetInfo.size()) {
            std::uint16_t type = GetU16(targetInfo, p);
            size_t len = GetU16(targetInfo, p + 2);
            p += 4;
            if (type == 0 || len > targetInfo.size() - p)
                break;
            std::string value = Narrow(targetInfo.substr(p, len), true);
            if (type == 1)
                info.Server = value;
            else if (type == 2)
                info.DnsDomain = value;
            p += len;
        }
    }
    info.Valid = true;
    return info;
}

std::string NtlmAuthenticateMessage(const std::string& host, const std::string& domain, const std::string& user,
                                    const std::string& password, const TNtlmChallenge& challenge)
{
    // Descriptor lengths are 16-bit: cut absurdly long names rather than write a wrong length.
    const size_t maxChars = 0x7FFF;
    std::string wDomain = Wide(domain.substr(0, maxChars));
    std::string wUser = Wide(user.substr(0, maxChars));
    std::string wHost = Wide(host.substr(0, maxChars));
    TNtlmResponse lm = NtlmResponse(NtlmLmHash(password), challenge);
    TNtlmResponse nt = NtlmResponse(NtlmNtHash(password), challenge);

    std::string msg(64, '\0');
    std::memcpy(msg.data(), kSignature, 8);
    PutU32(msg, 8, 3);
    size_t domainOff = 64;
    size_t userOff = domainOff + wDomain.size();
    size_t hostOff = userOff + wUser.size();
    size_t lmOff = hostOff + wHost.size();
    size_t ntOff = lmOff + lm.size();
    size_t end = ntOff + nt.size();
    PutBuffer(msg, 12, lm.size(), lmOff);
    PutBuffer(msg, 20, nt.size(), ntOff);
    PutBuffer(msg, 28, wDomain.size(), domainOff);
    PutBuffer(msg, 36, wUser.size(), userOff);
    PutBuffer(msg, 44, wHost.size(), hostOff);
    PutBuffer(msg, 52, 0, end);
    PutU32(msg, 60, 0x8205);
    msg += wDomain;
    msg += wUser;
    msg += wHost;
    msg.append(reinterpret_cast<const char*>(lm.data()), lm.size());
    msg.append(reinterpret_cast<const char*>(nt.data()), nt.size());
    return msg;
}

std::string NtlmGetMessage3(const std::string& host, const std::string& domain, const std::string& user,
                            const std::string& password, const TNtlmChallenge& challenge)
{
    return Base64Encode(NtlmAuthenticateMessage(host, domain, user, password, challenge));
}

std::string NtlmLocalHostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "";
    return name;
}

} // namespace cw
