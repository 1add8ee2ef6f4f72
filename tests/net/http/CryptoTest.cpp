// Base64, MD4, DES and the NTLM version 1 messages against published test vectors.

#include "NtlmTestUtil.h"
#include "net/http/Base64.h"
#include "net/http/Des.h"
#include "net/http/Md4.h"
#include "net/http/Ntlm.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace cw;

namespace {

using namespace ntlmtest;

const TNtlmChallenge kChallenge = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};

} // namespace

TEST(Base64, EncodesWithPaddingAndDecodesBack)
{
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("f"), "Zg==");
    EXPECT_EQ(Base64Encode("fo"), "Zm8=");
    EXPECT_EQ(Base64Encode("foo"), "Zm9v");
    EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(Base64Encode("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    EXPECT_EQ(Base64Decode(Base64Encode(all)), all);
    EXPECT_EQ(Base64Decode("Zm9v\r\nYmFy"), "foobar"); // line breaks and junk are skipped
    EXPECT_EQ(Base64Decode("Zg=="), "f");
}

TEST(Md4, MatchesTheReferenceDigests)
{
    EXPECT_EQ(Hex(Md4("")), "31d6cfe0d16ae931b73c59d7e0c089c0");
    EXPECT_EQ(Hex(Md4("a")), "bde52cb31de33e46245e05fbdbd6fb24");
    EXPECT_EQ(Hex(Md4("abc")), "a448017aaf21d8525fc10ae87aa6729d");
    EXPECT_EQ(Hex(Md4("message digest")), "d9130a8164549fe818874806e1c7014b");
    EXPECT_EQ(Hex(Md4("abcdefghijklmnopqrstuvwxyz")), "d79e1c308aa5bbcdeea8ed63df412da9");
    EXPECT_EQ(Hex(Md4("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")),
              "043f8582f241db351ce627e153e7f0e4");
    // 80 bytes: the padding spills into a second block.
    EXPECT_EQ(Hex(Md4("12345678901234567890123456789012345678901234567890123456789012345678901234567890")),
              "e33b4ddc9c38f2199c3e7b164fcc0536");
}

TEST(Des, MatchesTheClassicWorkedExample)
{
    const std::uint8_t key[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
    const std::uint8_t plain[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    std::uint8_t out[8];
    DesEncryptBlock(key, plain, out);
    EXPECT_EQ(Hex(out, 8), "85e813540f0ab405");

    const std::uint8_t key2[8] = {0x0E, 0x32, 0x92, 0x32, 0xEA, 0x6D, 0x0D, 0x73};
    const std::uint8_t plain2[8] = {0x87, 0x87, 0x87, 0x87, 0x87, 0x87, 0x87, 0x87};
    DesEncryptBlock(key2, plain2, out);
    EXPECT_EQ(Hex(out, 8), "0000000000000000");
}

TEST(Des, SevenByteKeysSpreadOverEightBytesWithOddParity)
{
    const std::uint8_t k7[7] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::uint8_t k8[8];
    DesKeyFrom7(k7, k8);
    for (std::uint8_t b : k8)
        EXPECT_EQ(b, 0xFE); // seven ones are already odd: parity bit clear
    const std::uint8_t z7[7] = {};
    DesKeyFrom7(z7, k8);
    for (std::uint8_t b : k8)
        EXPECT_EQ(b, 0x01);
}

TEST(Ntlm, ReproducesThePublishedVersion1Vectors)
{
    // User "User", domain "Domain", password "Password", server challenge 0123456789abcdef.
    EXPECT_EQ(Hex(NtlmNtHash("Password")), "a4f49c406510bdcab6824ee7c30fd852");
    EXPECT_EQ(Hex(NtlmLmHash("Password")), "e52cac67419a9a224a3b108f3fa6cb6d");
    EXPECT_EQ(Hex(NtlmResponse(NtlmNtHash("Password"), kChallenge)),
              "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
    EXPECT_EQ(Hex(NtlmResponse(NtlmLmHash("Password"), kChallenge)),
              "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13");
    // The well-known "SecREt01" example: the LM hash upper-cases the password.
    EXPECT_EQ(Hex(NtlmLmHash("SecREt01")), "ff3750bcc2b22412c2265b23734e0dac");
    EXPECT_EQ(Hex(NtlmResponse(NtlmLmHash("SecREt01"), kChallenge)),
              "c337cd5cbd44fc9782a667af6d427c6de67c20c2d3e77c56");
    EXPECT_EQ(Hex(NtlmNtHash("SecREt01")), "cd06ca7c7e10c99b1d33b7485a2ed808");
    EXPECT_EQ(Hex(NtlmResponse(NtlmNtHash("SecREt01"), kChallenge)),
              "25a98c1c31e81847466b29b2df4680f39958fb8c213a9cc6");
    // Only the first 14 characters of a password count for the LM hash.
    EXPECT_EQ(NtlmLmHash("abcdefghijklmnXYZ"), NtlmLmHash("ABCDEFGHIJKLMN"));
}

TEST(Ntlm, NegotiateMessageIsTheFixedPartOnly)
{
    std::string m = NtlmNegotiateMessage();
    ASSERT_EQ(m.size(), 32u);
    EXPECT_EQ(m.substr(0, 8), std::string("NTLMSSP\0", 8));
    EXPECT_EQ(U32(m, 8), 1u);
    EXPECT_EQ(U32(m, 12), 0x8207u);
    EXPECT_EQ(U16(m, 16), 0u); // no domain
    EXPECT_EQ(U16(m, 24), 0u); // no workstation
    EXPECT_EQ(Base64Decode(NtlmGetMessage1()), m);
}

TEST(Ntlm, AuthenticateMessageCarriesNamesAndResponses)
{
    std::string m = NtlmAuthenticateMessage("WS1", "", "User", "Password", kChallenge);
    ASSERT_GE(m.size(), 64u);
    EXPECT_EQ(m.substr(0, 8), std::string("NTLMSSP\0", 8));
    EXPECT_EQ(U32(m, 8), 3u);
    EXPECT_EQ(U32(m, 60), 0x8205u);
    EXPECT_EQ(Field(m, 28), "");                             // domain
    EXPECT_EQ(Field(m, 36), std::string("U\0s\0e\0r\0", 8)); // user as 2-byte characters
    EXPECT_EQ(Field(m, 44), std::string("W\0S\0"
                                        "1\0",
                                        6));
    EXPECT_EQ(Hex(Field(m, 12)), "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13");
    EXPECT_EQ(Hex(Field(m, 20)), "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
    EXPECT_EQ(U16(m, 52), 0u); // no session key
    EXPECT_EQ(m.size(), 64u + 8 + 6 + 24 + 24);
    // Domain, user and workstation come first, then the two responses.
    EXPECT_EQ(U32(m, 28 + 4), 64u);
    EXPECT_LT(U32(m, 44 + 4), U32(m, 12 + 4));
    EXPECT_LT(U32(m, 12 + 4), U32(m, 20 + 4));
}

namespace {
std::string Challenge(std::uint32_t flags, const std::string& target, const std::string& info)
{
    std::string m(48, '\0');
    std::memcpy(m.data(), "NTLMSSP\0", 8);
    auto put16 = [&](size_t at, std::uint16_t v) {
        m[at] = static_cast<char>(v & 0xFF);
        m[at + 1] = static_cast<char>(v >> 8);
    };
    auto put32 = [&](size_t at, std::uint32_t v) {
        put16(at, static_cast<std::uint16_t>(v));
        put16(at + 2, static_cast<std::uint16_t>(v >> 16));
    };
    put32(8, 2);
    put16(12, static_cast<std::uint16_t>(target.size()));
    put16(14, static_cast<std::uint16_t>(target.size()));
    put32(16, 48);
    put32(20, flags);
    std::memcpy(m.data() + 24, kChallenge.data(), 8);
    put16(40, static_cast<std::uint16_t>(info.size()));
    put16(42, static_cast<std::uint16_t>(info.size()));
    put32(44, static_cast<std::uint32_t>(48 + target.size()));
    return m + target + info;
}
} // namespace

TEST(Ntlm, ChallengeMessageIsDecoded)
{
    std::string info = std::string("\x01\x00\x06\x00S\0R\0V\0", 10) +
                       std::string("\x02\x00\x04\x00"
                                   "D\0M\0",
                                   8) +
                       std::string(4, '\0');
    TNTLM_Msg2_Info i = NtlmGetMessage2(Base64Encode(Challenge(0x8201, std::string("D\0O\0M\0", 6), info)));
    ASSERT_TRUE(i.Valid);
    EXPECT_EQ(i.Challenge, kChallenge);
    EXPECT_EQ(i.Domain, "DOM");
    EXPECT_EQ(i.Server, "SRV");
    EXPECT_EQ(i.DnsDomain, "DM");
}

TEST(Ntlm, MalformedChallengesAreRejectedWithoutReadingPastTheMessage)
{
    EXPECT_FALSE(NtlmGetMessage2("").Valid);
    EXPECT_FALSE(NtlmGetMessage2("!!!!").Valid);
    EXPECT_FALSE(NtlmGetMessage2(NtlmGetMessage1()).Valid); // a type 1, not a type 2
    std::string good = Challenge(0x8201, "T", "");
    EXPECT_FALSE(NtlmGetMessage2(Base64Encode(good.substr(0, 20))).Valid);
    // Target name descriptor pointing far outside the message.
    std::string bad = good;
    bad[16] = '\xFF';
    bad[17] = '\xFF';
    EXPECT_FALSE(NtlmGetMessage2(Base64Encode(bad)).Valid);
    // Target information claiming more bytes than there are: the names stay empty.
    std::string info = std::string("\x01\x00\xFF\x00S\0", 6);
    TNTLM_Msg2_Info i = NtlmGetMessage2(Base64Encode(Challenge(1, "", info)));
    EXPECT_TRUE(i.Valid);
    EXPECT_EQ(i.Server, "");
}
