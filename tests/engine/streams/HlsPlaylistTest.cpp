#include "engine/streams/HlsPlaylist.h"
#include "engine/streams/HlsCipher.h"

#include "global/Global.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

using namespace cw;

namespace {

const std::string kBase = "https://cdn.example.com/live/v1/index.m3u8?token=abc";

// One line per variant, rendition, key, map and segment, so a table can say what a playlist
// means at a glance.
std::vector<std::string> Describe(const THlsPlaylist& p)
{
    std::vector<std::string> out;
    auto range = [](std::int64_t off, std::int64_t len) {
        return off < 0 ? std::string("all") : std::to_string(off) + "+" + std::to_string(len);
    };
    for (const THlsVariant& v : p.Variants)
        out.push_back("V " + v.Uri + " " + std::to_string(v.Bandwidth) + " " + std::to_string(v.Width) + "x" +
                      std::to_string(v.Height) + " [" + v.Codecs + "] " + v.AudioGroup);
    for (const THlsRendition& r : p.Renditions)
        out.push_back("R " + r.Type + " " + r.GroupId + " " + r.Name + " " + r.Uri + (r.Default ? " default" : ""));
    for (const THlsKey& k : p.Keys)
        out.push_back("K " + std::string(k.Method == THlsKeyMethod::Aes128 ? "aes " : "other ") + k.MethodText + " " +
                      k.Uri + (k.HasIv ? " iv" + std::to_string(k.Iv[15]) : ""));
    for (const THlsMap& m : p.Maps)
        out.push_back("M " + m.Uri + " " + range(m.Offset, m.Length) + " k" + std::to_string(m.Key));
    for (const THlsSegment& s : p.Segments) {
        char duration[32];
        std::snprintf(duration, sizeof duration, "%g", s.Duration);
        out.push_back("S " + s.Uri + " " + duration + " " + range(s.Offset, s.Length) + " #" +
                      std::to_string(s.Sequence) + " k" + std::to_string(s.Key) + " m" + std::to_string(s.Map) +
                      (s.Discontinuity ? " disc" : ""));
    }
    return out;
}

struct GoodCase {
    const char* Name;
    std::string Text;
    std::vector<std::string> Expected;
};

const GoodCase kGood[] = {
    {"MasterWithAudioGroup",
     "\xEF\xBB\xBF#EXTM3U\r\n# a comment\r\n#EXT-X-VERSION:4\r\n#EXT-X-UNKNOWN:FOO=1\r\n\r\n"
     "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aac\",NAME=\"English\",DEFAULT=YES,URI=\"audio/en.m3u8\"\r\n"
     "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aac\",NAME=\"Deutsch, Fassung\",URI=\"/audio/de.m3u8\"\r\n"
     "#EXT-X-MEDIA:TYPE=CLOSED-CAPTIONS,GROUP-ID=\"cc\",NAME=\"cc1\",INSTREAM-ID=\"CC1\"\r\n"
     "#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360,CODECS=\"avc1.4d401e,mp4a.40.2\",AUDIO=\"aac\"\r\n"
     "360/index.m3u8\r\n"
     "#EXT-X-STREAM-INF:BANDWIDTH=2500000, RESOLUTION=1280x720, AUDIO=\"aac\"\r\n#EXT-X-FOO\r\n"
     "https://other.example.net/720.m3u8?x=1#frag\r\n"
     "#EXT-X-STREAM-INF:BANDWIDTH=64000,CODECS=\"mp4a.40.2\"\r\n../audio only.m3u8\r\n",
     {"V https://cdn.example.com/live/v1/360/index.m3u8 800000 640x360 [avc1.4d401e,mp4a.40.2] aac",
      "V https://other.example.net/720.m3u8?x=1 2500000 1280x720 [] aac",
      "V https://cdn.example.com/live/audio%20only.m3u8 64000 0x0 [mp4a.40.2] ",
      "R AUDIO aac English https://cdn.example.com/live/v1/audio/en.m3u8 default",
      "R AUDIO aac Deutsch, Fassung https://cdn.example.com/audio/de.m3u8", "R CLOSED-CAPTIONS cc cc1 "}},
    {"RangesContinueOnOneResource",
     "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXT-X-MEDIA-SEQUENCE:7\n"
     "#EXT-X-MAP:URI=\"main.mp4\",BYTERANGE=\"720@0\"\n"
     "#EXTINF:9.5,\n#EXT-X-BYTERANGE:1000@720\nmain.mp4\n"
     "#EXTINF:10,\n#EXT-X-BYTERANGE:500\nmain.mp4\n"
     "#EXT-X-DISCONTINUITY\n#EXT-X-MAP:URI=\"/init2.mp4\"\n#EXTINF:4.25,title, with comma\n?piece=3\n"
     "#EXT-X-ENDLIST\n",
     {"M https://cdn.example.com/live/v1/main.mp4 0+720 k-1", "M https://cdn.example.com/init2.mp4 all k-1",
      "S https://cdn.example.com/live/v1/main.mp4 9.5 720+1000 #7 k-1 m0",
      "S https://cdn.example.com/live/v1/main.mp4 10 1720+500 #8 k-1 m0",
      "S https://cdn.example.com/live/v1/index.m3u8?piece=3 4.25 all #9 k-1 m1 disc"}},
    {"KeysSwitchOnAndOff",
     "#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:3\n#EXTINF:1,\na.ts\n"
     "#EXT-X-KEY:METHOD=AES-128,URI=\"../keys/k1.bin\"\n#EXTINF:1,\nb.ts\n"
     "#EXT-X-KEY:METHOD=NONE\n#EXTINF:1,\nc.ts\n"
     "#EXT-X-KEY:METHOD=AES-128,URI=\"https://keys.example.org/k2\",IV=0x000000000000000000000000000000FF\n"
     "#EXTINF:1,\nd.ts\n"
     "#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"skd://asset\",KEYFORMAT=\"com.apple.streamingkeydelivery\"\n"
     "#EXTINF:1,\ne.ts\n#EXT-X-KEY:METHOD=NONE\n#EXTINF:1,\nf.ts\n",
     {"K aes AES-128 https://cdn.example.com/live/keys/k1.bin", "K aes AES-128 https://keys.example.org/k2 iv255",
      "K other SAMPLE-AES ", "S https://cdn.example.com/live/v1/a.ts 1 all #3 k-1 m-1",
      "S https://cdn.example.com/live/v1/b.ts 1 all #4 k0 m-1",
      "S https://cdn.example.com/live/v1/c.ts 1 all #5 k-1 m-1",
      "S https://cdn.example.com/live/v1/d.ts 1 all #6 k1 m-1",
      "S https://cdn.example.com/live/v1/e.ts 1 all #7 k2 m-1",
      "S https://cdn.example.com/live/v1/f.ts 1 all #8 k-1 m-1"}},
    {"EmptyFinishedPlaylist", "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXT-X-ENDLIST", {}},
};

class HlsGoodPlaylist : public testing::TestWithParam<GoodCase> {};

TEST_P(HlsGoodPlaylist, ReadsWhatItMeans)
{
    const THlsParse r = ParseHlsPlaylist(GetParam().Text, kBase);
    ASSERT_TRUE(r.Ok) << "line " << r.Line << ": " << r.Error;
    EXPECT_EQ(Describe(r.Playlist), GetParam().Expected);
    EXPECT_EQ(r.Playlist.Master, !r.Playlist.Variants.empty());
}

INSTANTIATE_TEST_SUITE_P(Hls, HlsGoodPlaylist, testing::ValuesIn(kGood),
                         [](const auto& info) { return std::string(info.param.Name); });

struct BadCase {
    const char* Name;
    std::string Text;
    int Line;
    const char* Error;
};

std::string ManySegments(std::size_t n)
{
    std::string s = "#EXTM3U\n";
    for (std::size_t i = 0; i < n; ++i)
        s += "#EXTINF:1,\ns.ts\n";
    return s;
}

const BadCase kBad[] = {
    {"EmptyText", "", 1, "the first line is not #EXTM3U"},
    {"BlankBeforeHeader", " #EXTM3U\n", 1, "the first line is not #EXTM3U"},
    {"TagBeforeHeader", "#EXT-X-VERSION:3\n#EXTM3U\n", 1, "the first line is not #EXTM3U"},
    {"NoDuration", "#EXTM3U\n#EXTINF:,title\na.ts\n", 2, "EXTINF without a duration"},
    {"NegativeDuration", "#EXTM3U\n\n#EXTINF:-1,\na.ts\n", 3, "EXTINF with a bad duration"},
    {"HugeDuration", "#EXTM3U\n#EXTINF:1" + std::string(400, '0') + ",\na.ts\n", 2, "EXTINF with a bad duration"},
    {"InfWithoutAddress", "#EXTM3U\n#EXTINF:1,\n#EXTINF:2,\na.ts\n", 2, "EXTINF without a segment address"},
    {"StreamInfWithoutAddress", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\n", 2, "EXT-X-STREAM-INF without an address"},
    {"MasterAndMedia", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nv.m3u8\n#EXTINF:1,\na.ts\n", 4,
     "both EXT-X-STREAM-INF and EXTINF"},
    {"AddressAlone", "#EXTM3U\na.ts\n", 2, "an address without EXTINF"},
    {"RangeWithoutPrevious", "#EXTM3U\n#EXTINF:1,\n#EXT-X-BYTERANGE:100\na.ts\n", 3,
     "EXT-X-BYTERANGE without a previous range on the same resource"},
    {"RangeAfterOtherResource",
     "#EXTM3U\n#EXTINF:1,\n#EXT-X-BYTERANGE:100@0\na.ts\n#EXTINF:1,\n#EXT-X-BYTERANGE:5\nb.ts\n", 6,
     "without a previous range"},
    {"RangeOverflows", "#EXTM3U\n#EXTINF:1,\n#EXT-X-BYTERANGE:2@9223372036854775807\na.ts\n", 3,
     "a bad EXT-X-BYTERANGE"},
    {"FileSegment", "#EXTM3U\n#EXTINF:1,\nok.ts\n#EXTINF:1,\n\nfile:///etc/passwd\n", 6,
     "the segment address is not http or https"},
    {"DataSegment", "#EXTM3U\n#EXTINF:1,\ndata:video/mp2t;base64,AAAA\n", 3, "the segment address is not http"},
    {"ScriptVariant", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\njavascript:alert(1)\n", 3,
     "the variant address is not http"},
    {"FtpKey", "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"ftp://h/k\"\n", 2, "the key address is not http"},
    {"AesWithoutUri", "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,IV=0x01\n", 2, "EXT-X-KEY AES-128 without URI"},
    {"IvNotHex", "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\",IV=0x0000000000000000000000000000000G\n", 2,
     "the IV is not a 128-bit hexadecimal number"},
    {"IvTooLong", "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\",IV=0x" + std::string(33, '1') + "\n", 2, "the IV"},
    {"MapUnderKeyWithoutIv", "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\"\n#EXT-X-MAP:URI=\"i.mp4\"\n", 3,
     "AES-128 key without IV"},
    {"BandwidthOverflows", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=99999999999999999999999\nv.m3u8\n", 2,
     "bad BANDWIDTH"},
    {"SequenceOverflows", "#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:18446744073709551615\n#EXTINF:1,\na.ts\n#EXTINF:1,\nb.ts\n",
     6, "the media sequence number overflows"},
    {"AttributeTwice", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1,BANDWIDTH=2\nv.m3u8\n", 2,
     "the attribute BANDWIDTH appears twice"},
    {"UnterminatedQuote", "#EXTM3U\n#EXT-X-MAP:URI=\"i.mp4\n", 2, "an unterminated quoted string"},
    {"ControlByte", std::string("#EXTM3U\n#EXTINF:1,\na") + '\0' + ".ts\n", 3, "a control character"},
    {"TooManySegments", ManySegments(MaxHlsSegments + 1), 2 * static_cast<int>(MaxHlsSegments) + 3,
     "more than 100000 segments"},
    {"OverlongLine", "#EXTM3U\n#" + std::string(MaxHlsLineBytes, 'x') + "\n", 2, "a line longer than 65536 bytes"},
};

class HlsBadPlaylist : public testing::TestWithParam<BadCase> {};

TEST_P(HlsBadPlaylist, FailsWithLineAndReason)
{
    const THlsParse r = ParseHlsPlaylist(GetParam().Text, kBase);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Line, GetParam().Line) << r.Error;
    EXPECT_NE(r.Error.find(GetParam().Error), std::string::npos) << r.Error;
}

INSTANTIATE_TEST_SUITE_P(Hls, HlsBadPlaylist, testing::ValuesIn(kBad),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(HlsChoice, VariantPerQuality)
{
    auto v = [](std::int64_t bw, int h) { return THlsVariant{"https://h/v", bw, h * 16 / 9, h, "", "", ""}; };
    // Two 720 line variants, an audio-only one without RESOLUTION and a 360 line one.
    const std::vector<THlsVariant> ladder = {v(3000000, 720), v(64000, 0),    v(800000, 360), v(1000000, 1080),
                                             v(4500000, 720), v(500000, 360), v(1200000, 540)};
    EXPECT_EQ(ChooseHlsVariant(ladder, vqNormal), 5);
    EXPECT_EQ(ChooseHlsVariant(ladder, vqHQ), 6); // 540 is nearer to 480 than 360
    EXPECT_EQ(ChooseHlsVariant(ladder, vqHD), 3);
    EXPECT_EQ(ChooseHlsVariant(ladder, vqBestAvailable), 3);
    EXPECT_EQ(ChooseHlsVariant({v(1, 720), v(9, 240), v(3, 720)}, vqHQ), 2); // equally near: taller, then faster
    const std::vector<THlsVariant> bare = {v(2000000, 0), v(500000, 0), v(1000000, 0)};
    EXPECT_EQ(ChooseHlsVariant(bare, vqNormal), 1);
    EXPECT_EQ(ChooseHlsVariant(bare, vqHQ), 2);
    EXPECT_EQ(ChooseHlsVariant(bare, vqHD), 0);
    EXPECT_EQ(ChooseHlsVariant({}, vqHD), -1);
}

TEST(HlsChoice, AudioOfGroup)
{
    THlsPlaylist p;
    p.Renditions = {{"AUDIO", "a", "muxed", "", true, ""},
                    {"AUDIO", "a", "first", "https://h/1", false, ""},
                    {"AUDIO", "a", "default", "https://h/2", true, ""},
                    {"AUDIO", "b", "inside", "", true, ""},
                    {"SUBTITLES", "c", "subs", "https://h/s", true, "en"}};
    EXPECT_EQ(ChooseHlsAudio(p, "a"), &p.Renditions[2]);
    p.Renditions[2].Default = false;
    EXPECT_EQ(ChooseHlsAudio(p, "a"), &p.Renditions[1]);
    EXPECT_EQ(ChooseHlsAudio(p, "b"), nullptr);
    EXPECT_EQ(ChooseHlsAudio(p, "c"), nullptr);
    EXPECT_EQ(ChooseHlsAudio(p, "zz"), nullptr);
}

TEST(HlsRecognition, TypesAndBodies)
{
    EXPECT_TRUE(IsHlsPlaylistType("Application/VND.Apple.MpegURL; charset=utf-8"));
    EXPECT_TRUE(IsHlsPlaylistType("audio/x-mpegurl"));
    EXPECT_FALSE(IsHlsPlaylistType("application/dash+xml"));
    EXPECT_TRUE(LooksLikeHlsPlaylist("\xEF\xBB\xBF#EXTM3U\n"));
    EXPECT_FALSE(LooksLikeHlsPlaylist(" #EXTM3U"));
}

TEST(HlsCipher, IvIsTheKeysOrTheSequenceNumber)
{
    THlsKey key;
    const std::array<std::uint8_t, 16> fromSequence = {0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(HlsSegmentIv(key, 0x0102030405060708ULL), fromSequence);
    key.HasIv = true;
    key.Iv[0] = 0xAB;
    EXPECT_EQ(HlsSegmentIv(key, 5), key.Iv);
}

// An IV is a 128-bit number written in hexadecimal: its bytes in order, the two digits of each
// in order, either letter case; a shorter number is the same number, padded with zero bytes in
// front.
TEST(HlsCipher, IvIsTheNumberAsWritten)
{
    using TIv = std::array<std::uint8_t, 16>;
    const struct {
        const char* Text;
        bool Ok;
        TIv Bytes;
    } kCases[] = {
        {"0x0123456789ABCDEF0123456789abcdef",
         true,
         {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}},
        {"0XF0E1D2C3B4A5968778695A4B3C2D1E0F",
         true,
         {0xf0, 0xe1, 0xd2, 0xc3, 0xb4, 0xa5, 0x96, 0x87, 0x78, 0x69, 0x5a, 0x4b, 0x3c, 0x2d, 0x1e, 0x0f}},
        {"0x1", true, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01}},
        {"0xabc", true, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0a, 0xbc}},
        {"0x", false, {}},
        {"0123456789ABCDEF0123456789abcdef", false, {}},
        {"0x0123456789ABCDEF0123456789abcdef0", false, {}},
        {"0x0123456789ABCDEF 123456789abcdef", false, {}},
    };
    for (const auto& c : kCases) {
        const THlsParse r =
            ParseHlsPlaylist(std::string("#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\",IV=") + c.Text + "\n", kBase);
        EXPECT_EQ(r.Ok, c.Ok) << c.Text << ": " << r.Error;
        if (r.Ok && c.Ok) {
            ASSERT_EQ(r.Playlist.Keys.size(), 1u);
            EXPECT_TRUE(r.Playlist.Keys[0].HasIv) << c.Text;
            EXPECT_EQ(r.Playlist.Keys[0].Iv, c.Bytes) << c.Text;
        }
    }
}

std::string Encrypt(const std::string& key, const std::array<std::uint8_t, 16>& iv, const std::string& plain)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::string out(plain.size() + 16, '\0');
    int n = 0, m = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, reinterpret_cast<const unsigned char*>(key.data()), iv.data());
    EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n,
                      reinterpret_cast<const unsigned char*>(plain.data()), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(out.data()) + n, &m);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(n + m);
    return out;
}

TEST(HlsCipher, DecryptsPiecesOfAnyLength)
{
    const std::string key = "0123456789abcdef";
    const std::array<std::uint8_t, 16> iv = HlsSegmentIv(THlsKey(), 42);
    THlsDecryptor d;
    for (std::size_t size : {0, 15, 16, 1000}) {
        std::string plain(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            plain[i] = static_cast<char>(i * 7);
        const std::string cipher = Encrypt(key, iv, plain);
        std::string out;
        ASSERT_TRUE(d.Begin(key, iv));
        for (std::size_t at = 0, step = 1; at < cipher.size(); at += step, step = step * 3 % 37 + 1)
            ASSERT_TRUE(d.Update(cipher.data() + at, std::min(step, cipher.size() - at), out));
        ASSERT_TRUE(d.Finish(out)) << d.Error();
        EXPECT_EQ(out, plain) << size;
        // Cut short inside the last block: the padding is never seen.
        out.clear();
        ASSERT_TRUE(d.Begin(key, iv));
        ASSERT_TRUE(d.Update(cipher.data(), cipher.size() - 5, out));
        EXPECT_FALSE(d.Finish(out));
        EXPECT_EQ(d.Error(), "the segment does not decrypt (wrong key or cut short)");
    }
    EXPECT_FALSE(d.Begin("short", iv));
    EXPECT_FALSE(d.Error().empty());
}

} // namespace
