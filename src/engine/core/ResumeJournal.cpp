#include "engine/core/ResumeJournal.h"

#include "platform/Types.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace cw {

namespace {

constexpr std::string_view kFirstLine = "clipwarden-journal 2";
constexpr std::string_view kJournalPrefix = "clipwarden-journal ";
constexpr std::string_view kOldPrefix = "clipwarden-part ";
constexpr std::string_view kCheckKey = "check=";
constexpr std::size_t kMaxJournalBytes = std::size_t(64) << 20;
constexpr std::size_t kMaxPartFiles = 2; // .part and .audio.part
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
// Every offset below kInt64Max lies in a block up to this index, and the index times the block size
// still fits: block arithmetic never overflows once an index is checked against it.
constexpr std::int64_t kMaxBlockIndex = kInt64Max / JournalBlockBytes;
constexpr std::size_t kReadBufferBytes = 64 * 1024;

std::string SystemReason(int err)
{
    return std::strerror(err);
}

// A value goes on one line: line ends in a header value (there should be none) are dropped.
std::string OneLine(const std::string& s)
{
    std::string out;
    for (char c : s)
        if (c != '\r' && c != '\n')
            out += c;
    return out;
}

bool HasLineBreak(const std::string& s)
{
    return s.find_first_of("\r\n") != std::string::npos;
}

// A descriptor closed on every way out of a function.
class TFd {
public:
    explicit TFd(int fd) : FFd(fd) {}
    ~TFd()
    {
        if (FFd >= 0)
            ::close(FFd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return FFd; }
    // Closes now, for the callers that must see the error of close (a write may fail only there).
    int Close()
    {
        const int fd = FFd;
        FFd = -1;
        return ::close(fd);
    }

private:
    int FFd;
};

// Plain decimal only: digits, no sign, no leading zero, and a value that fits. The writer never
// produces anything else, so anything else is damage.
bool ParseNumber(std::string_view text, std::int64_t& value)
{
    if (text.empty() || (text.size() > 1 && text[0] == '0'))
        return false;
    std::int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        const int digit = c - '0';
        if (v > (kInt64Max - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    value = v;
    return true;
}

// A number or -1 ("not known").
bool ParseNumberOrUnknown(std::string_view text, std::int64_t& value)
{
    if (text == "-1") {
        value = -1;
        return true;
    }
    return ParseNumber(text, value);
}

bool IsHash(std::string_view text)
{
    return text.size() == 64 && std::all_of(text.begin(), text.end(),
                                            [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::vector<std::string_view> Fields(std::string_view text)
{
    std::vector<std::string_view> out;
    std::size_t pos = 0;
    while (true) {
        const std::size_t space = text.find(' ', pos);
        out.push_back(text.substr(pos, space == std::string_view::npos ? std::string_view::npos : space - pos));
        if (space == std::string_view::npos)
            return out;
        pos = space + 1;
    }
}

// A piece of damaged text quoted in a reason, short enough for one log line.
std::string Quote(std::string_view text)
{
    return "\"" + std::string(text.substr(0, 32)) + (text.size() > 32 ? "...\"" : "\"");
}

std::string Str(std::int64_t v)
{
    return std::to_string(v);
}

// The bytes of block index (0 <= index <= kMaxBlockIndex), cut at total when it is known.
TByteSet::TRange BlockRange(std::int64_t index, std::int64_t total)
{
    const std::int64_t start = index * JournalBlockBytes;
    std::int64_t end = start > kInt64Max - JournalBlockBytes ? kInt64Max : start + JournalBlockBytes;
    if (total >= 0)
        end = std::max(start, std::min(end, total));
    return {start, end};
}

bool IsFinished(std::int64_t index, const TByteSet& have, std::int64_t total)
{
    if (index < 0 || index > kMaxBlockIndex)
        return false;
    const TByteSet::TRange r = BlockRange(index, total);
    return r.End > r.Start && have.Contains(r.Start, r.End);
}

// Hashes bytes [start, end) of fd a buffer at a time. false with err set when a read fails, with err
// 0 when the file ends first.
bool HashRange(int fd, std::int64_t start, std::int64_t end, std::vector<unsigned char>& buffer, std::string& hex,
               int& err)
{
    TSha256 sha;
    std::int64_t at = start;
    while (at < end) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(end - at, buffer.size()));
        const ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            err = got < 0 ? errno : 0;
            return false;
        }
        sha.Update(buffer.data(), static_cast<std::size_t>(got));
        at += got;
    }
    hex = sha.HexDigest();
    return true;
}

bool CheckProofs(const TResumeJournal& j, std::string& why)
{
    if (j.Blocks.size() > kMaxPartFiles) {
        why = "hashes of more than " + std::to_string(kMaxPartFiles) + " part files";
        return false;
    }
    for (std::size_t f = 0; f < j.Blocks.size(); ++f)
        for (const auto& [index, hash] : j.Blocks[f]) {
            const std::string name = "block " + Str(index) + " of part file " + std::to_string(f);
            if (index < 0 || index > kMaxBlockIndex) {
                why = name + " is out of range";
                return false;
            }
            if (!IsHash(hash)) {
                why = "hash of " + name + " is not 64 hex digits";
                return false;
            }
            if (j.Kind == jkFile && f == 0 && j.Total >= 0 && index * JournalBlockBytes >= j.Total) {
                why = name + " lies past the end of the file";
                return false;
            }
        }
    if (j.Spans.size() > j.Blocks.size()) {
        why = "spans of a part file that part-files does not list";
        return false;
    }
    for (std::size_t f = 0; f < j.Spans.size(); ++f) {
        std::int64_t previousEnd = 0;
        for (const auto& [start, span] : j.Spans[f]) {
            const std::string name = "span " + Str(start) + "-" + Str(span.End) + " of part file " + std::to_string(f);
            if (start < 0 || span.End <= start || start / JournalBlockBytes != (span.End - 1) / JournalBlockBytes)
                why = name + " is not a run of bytes inside one block";
            else if (start < previousEnd)
                why = name + " overlaps the span before it";
            else if (j.Blocks[f].count(start / JournalBlockBytes))
                why = name + " lies in a finished block";
            else if (!IsHash(span.Hash))
                why = "hash of " + name + " is not 64 hex digits";
            if (!why.empty())
                return false;
            previousEnd = span.End;
        }
    }
    return true;
}

bool CheckFilePieces(const TResumeJournal& j, std::string& why)
{
    if (!j.Fingerprint.empty() || !j.Tracks.empty()) {
        why = "stream data in a file journal";
        return false;
    }
    if (j.Total < -1) {
        why = "bad total " + Str(j.Total);
        return false;
    }
    if (j.Total < 0 && j.Pieces.size() > 1) {
        why = "several pieces of a file of unknown size";
        return false;
    }
    for (const TJournalPiece& p : j.Pieces) {
        const std::string name = "piece " + Str(p.Start) + " " + Str(p.Pos) + " " + Str(p.End);
        if (p.Start < 0 || p.Pos < p.Start)
            why = name + ": position before its start";
        else if (j.Total < 0 && (p.Start != 0 || p.End != -1))
            why = name + ": a file of unknown size is one piece from 0 to its end";
        else if (j.Total >= 0 && (p.End < p.Pos || p.End > j.Total))
            why = name + (p.End < p.Pos ? ": position past its end" : ": ends past the file's size");
        if (!why.empty())
            return false;
    }
    std::vector<TJournalPiece> sorted = j.Pieces;
    std::sort(sorted.begin(), sorted.end(),
              [](const TJournalPiece& a, const TJournalPiece& b) { return a.Start < b.Start; });
    for (std::size_t i = 1; i < sorted.size(); ++i)
        if (sorted[i].Start < sorted[i - 1].End) {
            why = "pieces from " + Str(sorted[i - 1].Start) + " and " + Str(sorted[i].Start) + " overlap";
            return false;
        }
    return true;
}

bool CheckStreamTracks(const TResumeJournal& j, std::string& why)
{
    if (j.Total != -1 || !j.ETag.empty() || !j.LastModified.empty() || !j.Pieces.empty()) {
        why = "file data in a stream journal";
        return false;
    }
    if (!IsHash(j.Fingerprint)) {
        why = "fingerprint is not 64 hex digits";
        return false;
    }
    if (j.Tracks.size() > kMaxPartFiles) {
        why = "more than " + std::to_string(kMaxPartFiles) + " tracks";
        return false;
    }
    for (std::size_t t = 0; t < j.Tracks.size(); ++t) {
        std::int64_t previous = 0;
        for (std::size_t k = 0; k < j.Tracks[t].size(); ++k) {
            if (j.Tracks[t][k] < previous) {
                why =
                    "track " + std::to_string(t) + ": segment " + std::to_string(k) + " ends before the one before it";
                return false;
            }
            previous = j.Tracks[t][k];
        }
    }
    return true;
}

// Everything a journal must hold to be read back as it was written; false with why otherwise.
bool CheckJournal(const TResumeJournal& j, std::string& why)
{
    if (HasLineBreak(j.Url) || HasLineBreak(j.ETag) || HasLineBreak(j.LastModified) || HasLineBreak(j.Fingerprint)) {
        why = "line break in a value";
        return false;
    }
    if (!CheckProofs(j, why))
        return false;
    if (j.Kind == jkFile)
        return CheckFilePieces(j, why);
    if (j.Kind == jkStream)
        return CheckStreamTracks(j, why);
    why = "unknown kind";
    return false;
}

std::optional<TResumeJournal> Refuse(std::string* why, const std::string& reason)
{
    if (why)
        *why = reason;
    return std::nullopt;
}

// Reads the whole file, refusing (rather than cutting) one larger than limit.
bool ReadWhole(const std::string& path, std::size_t limit, std::string& text, std::string& why)
{
    TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    if (fd.Get() < 0) {
        const int err = errno;
        why = err == ENOENT ? "no journal" : "journal cannot be read: " + SystemReason(err);
        return false;
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "journal is not a regular file";
        return false;
    }
    if (static_cast<std::uint64_t>(st.st_size) > limit) {
        why = "journal is larger than " + std::to_string(limit >> 20) + " MiB";
        return false;
    }
    text.clear();
    text.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[16384];
    while (true) {
        const ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            why = "journal cannot be read: " + SystemReason(errno);
            return false;
        }
        if (got == 0)
            return true;
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > limit) { // grew while being read
            why = "journal is larger than " + std::to_string(limit >> 20) + " MiB";
            return false;
        }
    }
}

void WriteWhole(const std::string& path, const std::string& text)
{
    const std::string temp = path + ".tmp";
    // A temporary left by a crash goes first; with O_EXCL the write then never follows a link planted
    // under that name into some other file.
    if (::unlink(temp.c_str()) != 0 && errno != ENOENT)
        throw Exception("Cannot write " + path + ": " + SystemReason(errno));
    TFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (fd.Get() < 0)
        throw Exception("Cannot write " + path + ": " + SystemReason(errno));
    auto fail = [&](int err) {
        ::unlink(temp.c_str());
        throw Exception("Cannot write " + path + ": " + SystemReason(err));
    };
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t w = ::write(fd.Get(), text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            fail(w < 0 ? errno : EIO);
        done += static_cast<std::size_t>(w);
    }
    // On the disk before the rename: after a power cut the name must not lead to an empty file.
    if (::fdatasync(fd.Get()) != 0 && errno != EINVAL)
        fail(errno);
    if (fd.Close() != 0)
        fail(errno);
    if (::rename(temp.c_str(), path.c_str()) != 0)
        fail(errno);
}

// One line of the log of VerifiedBytes per run of neighbouring blocks lost for the same reason.
class TLossLog {
public:
    TLossLog(const std::string& path, std::vector<std::string>& log) : FPath(path), FLog(log) {}
    ~TLossLog() = default;
    TLossLog(const TLossLog&) = delete;
    TLossLog& operator=(const TLossLog&) = delete;

    void Add(std::int64_t index, const TByteSet::TRange& bytes, const std::string& one, const std::string& many)
    {
        if (FCount > 0 && one == FOne && index == FLast + 1) {
            FLast = index;
            FEnd = bytes.End;
            ++FCount;
            return;
        }
        Flush();
        FFirst = FLast = index;
        FStart = bytes.Start;
        FEnd = bytes.End;
        FOne = one;
        FMany = many;
        FCount = 1;
    }
    void Flush()
    {
        if (FCount == 0)
            return;
        const std::string bytes = "(bytes " + Str(FStart) + "-" + Str(FEnd - 1) + ")";
        if (FCount == 1)
            FLog.push_back("block " + Str(FFirst) + " " + bytes + " of " + FPath + " " + FOne + ": fetched again");
        else
            FLog.push_back("blocks " + Str(FFirst) + "-" + Str(FLast) + " " + bytes + " of " + FPath + " " + FMany +
                           ": fetched again");
        FCount = 0;
    }

private:
    const std::string& FPath;
    std::vector<std::string>& FLog;
    std::int64_t FFirst = 0;
    std::int64_t FLast = 0;
    std::int64_t FStart = 0;
    std::int64_t FEnd = 0;
    std::int64_t FCount = 0;
    std::string FOne;
    std::string FMany;
};

} // namespace

// ---- SHA-256 -----------------------------------------------------------------------------------

TSha256::TSha256() : FContext(EVP_MD_CTX_new())
{
    if (!FContext || EVP_DigestInit_ex(FContext, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(FContext);
        throw Exception("SHA-256 is not available");
    }
}

TSha256::~TSha256()
{
    EVP_MD_CTX_free(FContext);
}

void TSha256::Update(const void* data, std::size_t n)
{
    if (n > 0 && EVP_DigestUpdate(FContext, data, n) != 1)
        throw Exception("SHA-256 is not available");
}

std::string TSha256::HexDigest()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(FContext, digest, &size) != 1 || EVP_DigestInit_ex(FContext, EVP_sha256(), nullptr) != 1)
        throw Exception("SHA-256 is not available");
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * size);
    for (unsigned int i = 0; i < size; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

std::string Sha256Hex(const void* data, std::size_t n)
{
    TSha256 sha;
    sha.Update(data, n);
    return sha.HexDigest();
}

std::string Sha256Hex(std::string_view text)
{
    return Sha256Hex(text.data(), text.size());
}

// ---- The journal file --------------------------------------------------------------------------

namespace {

// Reads the lines between the first line and the check line, one "key=value" at a time; Line
// returns "" or why the journal is refused.
class TJournalLines {
public:
    std::string Line(std::string_view key, std::string_view value)
    {
        if (key == "kind")
            return Kind(value);
        if (key == "url" || key == "etag" || key == "last-modified" || key == "fingerprint")
            return Text(key, value);
        if (key == "total")
            return Total(value);
        if (key == "piece")
            return Piece(value);
        if (key == "track")
            return Track(value);
        if (key == "part-files")
            return PartFiles(value);
        if (key == "span")
            return Span(value);
        if (key == "block")
            return Block(value);
        if (key == "check")
            return "check line before the end";
        return {}; // left to a later version that knows it
    }
    // What is missing or out of place once every line was read.
    std::string Missing() const
    {
        if (!FSeen.count("kind") || !FSeen.count("url") || !FSeen.count("part-files"))
            return std::string("journal has no ") +
                   (!FSeen.count("kind")  ? "kind"
                    : !FSeen.count("url") ? "url"
                                          : "part-files") +
                   " line";
        const bool fileLines = FSeen.count("total") || FSeen.count("etag") || FSeen.count("last-modified");
        if (J.Kind == jkFile && (!FSeen.count("total") || !FSeen.count("etag") || !FSeen.count("last-modified")))
            return std::string("file journal has no ") +
                   (!FSeen.count("total")  ? "total"
                    : !FSeen.count("etag") ? "etag"
                                           : "last-modified") +
                   " line";
        if (J.Kind == jkStream && !FSeen.count("fingerprint"))
            return "stream journal has no fingerprint line";
        if (J.Kind == jkStream && fileLines)
            return "file data in a stream journal";
        if (J.Kind == jkFile && FSeen.count("fingerprint"))
            return "stream data in a file journal";
        return {};
    }
    TResumeJournal J;

private:
    bool Once(std::string_view key) { return FSeen.insert(std::string(key)).second; }

    std::string Kind(std::string_view value)
    {
        if (!Once("kind"))
            return "second kind line";
        if (value == "file")
            J.Kind = jkFile;
        else if (value == "stream")
            J.Kind = jkStream;
        else
            return "unknown kind " + Quote(value);
        return {};
    }
    std::string Text(std::string_view key, std::string_view value)
    {
        if (!Once(key))
            return "second " + std::string(key) + " line";
        std::string& field = key == "url"             ? J.Url
                             : key == "etag"          ? J.ETag
                             : key == "last-modified" ? J.LastModified
                                                      : J.Fingerprint;
        field = std::string(value);
        return {};
    }
    std::string Total(std::string_view value)
    {
        if (!Once("total"))
            return "second total line";
        return ParseNumberOrUnknown(value, J.Total) ? std::string() : "bad number " + Quote(value);
    }
    std::string Piece(std::string_view value)
    {
        const std::vector<std::string_view> f = Fields(value);
        TJournalPiece p;
        if (f.size() != 3)
            return "a piece is three numbers";
        if (!ParseNumber(f[0], p.Start) || !ParseNumber(f[1], p.Pos) || !ParseNumberOrUnknown(f[2], p.End))
            return "bad number in piece " + Quote(value);
        J.Pieces.push_back(p);
        return {};
    }
    std::string Track(std::string_view value)
    {
        const std::vector<std::string_view> f = Fields(value);
        std::int64_t n = 0;
        if (!ParseNumber(f[0], n) || n != static_cast<std::int64_t>(J.Tracks.size()))
            return "track " + Quote(f[0]) + " out of order";
        if (J.Tracks.size() >= kMaxPartFiles)
            return "more than " + std::to_string(kMaxPartFiles) + " tracks";
        std::vector<std::int64_t> ends;
        ends.reserve(f.size() - 1);
        for (std::size_t k = 1; k < f.size(); ++k) {
            std::int64_t end = 0;
            if (!ParseNumber(f[k], end))
                return "bad segment end " + Quote(f[k]);
            ends.push_back(end);
        }
        J.Tracks.push_back(std::move(ends));
        return {};
    }
    std::string PartFiles(std::string_view value)
    {
        std::int64_t n = 0;
        if (!Once("part-files"))
            return "second part-files line";
        if (!ParseNumber(value, n) || n > static_cast<std::int64_t>(kMaxPartFiles))
            return "bad number of part files " + Quote(value);
        J.Blocks.resize(static_cast<std::size_t>(n));
        J.Spans.resize(static_cast<std::size_t>(n));
        return {};
    }
    std::string Span(std::string_view value)
    {
        const std::vector<std::string_view> f = Fields(value);
        std::int64_t file = 0;
        std::int64_t start = 0;
        TJournalSpan span;
        if (f.size() != 4 || !ParseNumber(f[0], file) || !ParseNumber(f[1], start) || !ParseNumber(f[2], span.End))
            return "bad span line";
        if (file >= static_cast<std::int64_t>(J.Spans.size()))
            return "span of part file " + Quote(f[0]) + ", which part-files does not list";
        span.Hash = std::string(f[3]);
        if (!J.Spans[static_cast<std::size_t>(file)].emplace(start, span).second)
            return "second span from " + Quote(f[1]);
        return {};
    }
    std::string Block(std::string_view value)
    {
        const std::vector<std::string_view> f = Fields(value);
        std::int64_t file = 0;
        std::int64_t index = 0;
        if (f.size() != 3 || !ParseNumber(f[0], file) || !ParseNumber(f[1], index))
            return "bad block line";
        if (file >= static_cast<std::int64_t>(J.Blocks.size()))
            return "block of part file " + Quote(f[0]) + ", which part-files does not list";
        if (!IsHash(f[2]))
            return "block hash is not 64 hex digits";
        if (!J.Blocks[static_cast<std::size_t>(file)].emplace(index, std::string(f[2])).second)
            return "second hash of block " + Quote(f[1]);
        return {};
    }

    std::set<std::string> FSeen;
};

// The first line and the check line: "" when the text is a whole journal of this version, else
// why not. checkAt: where the check line begins.
std::string CheckFrame(std::string_view all, std::size_t& checkAt)
{
    const std::string_view first = all.substr(0, all.find('\n'));
    if (first.substr(0, kOldPrefix.size()) == kOldPrefix)
        return "old journal format";
    if (first != kFirstLine && first.substr(0, kJournalPrefix.size()) == kJournalPrefix)
        return "journal version " + Quote(first.substr(kJournalPrefix.size())) + " is not supported";
    if (first != kFirstLine)
        return "not a journal";
    if (all.back() != '\n')
        return "journal ends in the middle of a line";
    // The last line sums up everything before it: a journal cut short at a line end or changed
    // anywhere is refused as a whole, not read as one that claims less or other bytes.
    checkAt = all.rfind('\n', all.size() - 2) + 1;
    const std::string_view checkLine = all.substr(checkAt, all.size() - 1 - checkAt);
    if (checkAt <= first.size() || checkLine.substr(0, kCheckKey.size()) != kCheckKey)
        return "journal has no check line";
    if (Sha256Hex(all.substr(0, checkAt)) != checkLine.substr(kCheckKey.size()))
        return "journal does not match its check line";
    return {};
}

} // namespace

std::optional<TResumeJournal> ReadJournal(const std::string& path, std::string* why)
{
    std::string text;
    std::string reason;
    if (!ReadWhole(path, kMaxJournalBytes, text, reason))
        return Refuse(why, reason);
    const std::string_view all = text;
    std::size_t checkAt = 0;
    if (reason = CheckFrame(all, checkAt); !reason.empty())
        return Refuse(why, reason);

    TJournalLines lines;
    std::size_t lineNumber = 1;
    std::size_t pos = all.find('\n') + 1;
    while (pos < checkAt) {
        const std::size_t lineEnd = all.find('\n', pos);
        const std::string_view line = all.substr(pos, lineEnd - pos);
        pos = lineEnd + 1;
        const std::string at = "line " + std::to_string(++lineNumber) + ": ";
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            return Refuse(why, at + "no '=' in " + Quote(line));
        if (reason = lines.Line(line.substr(0, eq), line.substr(eq + 1)); !reason.empty())
            return Refuse(why, at + reason);
    }
    if (reason = lines.Missing(); !reason.empty())
        return Refuse(why, reason);
    if (!CheckJournal(lines.J, reason))
        return Refuse(why, reason);
    return std::move(lines.J);
}

void WriteJournal(const std::string& path, const TResumeJournal& journal)
{
    TResumeJournal j = journal;
    j.Url = OneLine(j.Url);
    j.ETag = OneLine(j.ETag);
    j.LastModified = OneLine(j.LastModified);
    j.Fingerprint = OneLine(j.Fingerprint);
    std::string why;
    if (!CheckJournal(j, why))
        throw Exception("Cannot write " + path + ": " + why);

    std::string text(kFirstLine);
    text += "\nkind=";
    text += j.Kind == jkFile ? "file" : "stream";
    text += "\nurl=" + j.Url + "\n";
    if (j.Kind == jkFile) {
        text += "total=" + Str(j.Total) + "\netag=" + j.ETag + "\nlast-modified=" + j.LastModified + "\n";
        for (const TJournalPiece& p : j.Pieces)
            text += "piece=" + Str(p.Start) + " " + Str(p.Pos) + " " + Str(p.End) + "\n";
    } else {
        text += "fingerprint=" + j.Fingerprint + "\n";
        for (std::size_t t = 0; t < j.Tracks.size(); ++t) {
            text += "track=" + std::to_string(t);
            for (std::int64_t end : j.Tracks[t])
                text += " " + Str(end);
            text += "\n";
        }
    }
    text += "part-files=" + std::to_string(j.Blocks.size()) + "\n";
    for (std::size_t f = 0; f < j.Blocks.size(); ++f)
        for (const auto& [index, hash] : j.Blocks[f])
            text += "block=" + std::to_string(f) + " " + Str(index) + " " + hash + "\n";
    for (std::size_t f = 0; f < j.Spans.size(); ++f)
        for (const auto& [start, span] : j.Spans[f])
            text += "span=" + std::to_string(f) + " " + Str(start) + " " + Str(span.End) + " " + span.Hash + "\n";
    text += std::string(kCheckKey) + Sha256Hex(text) + "\n";
    if (text.size() > kMaxJournalBytes)
        throw Exception("Cannot write " + path + ": the journal would be larger than " +
                        std::to_string(kMaxJournalBytes >> 20) + " MiB");
    WriteWhole(path, text);
}

// ---- Byte sets ---------------------------------------------------------------------------------

void TByteSet::Add(std::int64_t start, std::int64_t end)
{
    if (end <= start)
        return;
    // Ranges that overlap or touch [start, end) melt into one.
    auto first = std::lower_bound(FRanges.begin(), FRanges.end(), start,
                                  [](const TRange& r, std::int64_t v) { return r.End < v; });
    auto last =
        std::upper_bound(first, FRanges.end(), end, [](std::int64_t v, const TRange& r) { return v < r.Start; });
    if (first != last) {
        start = std::min(start, first->Start);
        end = std::max(end, (last - 1)->End);
    }
    first = FRanges.erase(first, last);
    FRanges.insert(first, TRange{start, end});
}

void TByteSet::Subtract(std::int64_t start, std::int64_t end)
{
    if (end <= start)
        return;
    std::vector<TRange> out;
    out.reserve(FRanges.size() + 1);
    for (const TRange& r : FRanges) {
        if (r.End <= start || r.Start >= end) {
            out.push_back(r);
            continue;
        }
        if (r.Start < start)
            out.push_back({r.Start, start});
        if (r.End > end)
            out.push_back({end, r.End});
    }
    FRanges.swap(out);
}

bool TByteSet::Contains(std::int64_t start, std::int64_t end) const
{
    if (end <= start)
        return true;
    auto it = std::upper_bound(FRanges.begin(), FRanges.end(), start,
                               [](std::int64_t v, const TRange& r) { return v < r.Start; });
    if (it == FRanges.begin())
        return false;
    --it;
    return it->Start <= start && it->End >= end;
}

TByteSet TByteSet::Intersect(const TByteSet& other) const
{
    TByteSet out;
    auto a = FRanges.begin();
    auto b = other.FRanges.begin();
    while (a != FRanges.end() && b != other.FRanges.end()) {
        const std::int64_t start = std::max(a->Start, b->Start);
        const std::int64_t end = std::min(a->End, b->End);
        if (start < end)
            out.FRanges.push_back({start, end}); // already sorted and apart
        if (a->End < b->End)
            ++a;
        else
            ++b;
    }
    return out;
}

TByteSet TByteSet::Intersect(std::int64_t start, std::int64_t end) const
{
    return Intersect(TByteSet(start, end));
}

std::int64_t TByteSet::RunEnd(std::int64_t offset) const
{
    auto it = std::upper_bound(FRanges.begin(), FRanges.end(), offset,
                               [](std::int64_t v, const TRange& r) { return v < r.Start; });
    if (it == FRanges.begin())
        return offset;
    --it;
    return offset < it->End ? it->End : offset;
}

// ---- Blocks ------------------------------------------------------------------------------------

void HashFinishedBlocks(const std::string& partPath, const TByteSet& have, std::int64_t total,
                        std::map<std::int64_t, std::string>& blocks)
{
    for (auto it = blocks.begin(); it != blocks.end();)
        it = IsFinished(it->first, have, total) ? std::next(it) : blocks.erase(it);

    const TByteSet usable = have.Intersect(0, total >= 0 ? total : kInt64Max);
    std::optional<TFd> fd;
    std::vector<unsigned char> buffer;
    for (const TByteSet::TRange& r : usable) {
        // A finished block lies inside one range: the ranges of a set never touch.
        for (std::int64_t i = r.Start / JournalBlockBytes + (r.Start % JournalBlockBytes != 0); i <= kMaxBlockIndex;
             ++i) {
            const TByteSet::TRange block = BlockRange(i, total);
            if (block.Start >= r.End || block.End > r.End || block.End <= block.Start)
                break;
            if (blocks.count(i))
                continue;
            if (!fd) {
                fd.emplace(::open(partPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
                if (fd->Get() < 0)
                    throw Exception("Cannot read " + partPath + ": " + SystemReason(errno));
                buffer.resize(kReadBufferBytes);
            }
            std::string hex;
            int err = 0;
            if (!HashRange(fd->Get(), block.Start, block.End, buffer, hex, err))
                throw Exception("Cannot read " + partPath + ": " +
                                (err ? SystemReason(err) : "the file ends before byte " + Str(block.End)));
            blocks[i] = hex;
        }
    }
}

// Every run of have inside a block that is not finished, as [start, end) pairs in order.
static std::vector<TByteSet::TRange> UnfinishedRuns(const TByteSet& have, std::int64_t total)
{
    std::vector<TByteSet::TRange> runs;
    for (const TByteSet::TRange& r : have.Intersect(0, total >= 0 ? total : kInt64Max)) {
        for (std::int64_t at = r.Start; at < r.End;) {
            const std::int64_t index = at / JournalBlockBytes;
            const TByteSet::TRange block = BlockRange(index, total);
            const std::int64_t end = std::min(r.End, block.End);
            if (end <= at)
                break;
            if (!IsFinished(index, have, total))
                runs.push_back({at, end});
            at = end;
        }
    }
    return runs;
}

void HashKeptBytes(const std::string& partPath, const TByteSet& have, std::int64_t total,
                   std::map<std::int64_t, std::string>& blocks, TSpanMap& spans)
{
    HashFinishedBlocks(partPath, have, total, blocks);
    TSpanMap fresh;
    std::optional<TFd> fd;
    std::vector<unsigned char> buffer;
    for (const TByteSet::TRange& run : UnfinishedRuns(have, total)) {
        const auto old = spans.find(run.Start);
        if (old != spans.end() && old->second.End == run.End) {
            fresh.emplace(run.Start, old->second);
            continue;
        }
        if (!fd) {
            fd.emplace(::open(partPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
            if (fd->Get() < 0)
                throw Exception("Cannot read " + partPath + ": " + SystemReason(errno));
            buffer.resize(kReadBufferBytes);
        }
        TJournalSpan span{run.End, {}};
        int err = 0;
        if (!HashRange(fd->Get(), run.Start, run.End, buffer, span.Hash, err))
            throw Exception("Cannot read " + partPath + ": " +
                            (err ? SystemReason(err) : "the file ends before byte " + Str(run.End)));
        fresh.emplace(run.Start, std::move(span));
    }
    spans = std::move(fresh);
}

namespace {

// One block of a part file checked against its proof; what cannot be proven leaves Result.
struct TBlockCheck {
    int Fd;
    const TByteSet& Cut;
    const std::map<std::int64_t, std::string>& Blocks;
    const TSpanMap& Spans;
    std::int64_t Total;
    TLossLog& Losses;
    TByteSet& Result;
    std::vector<unsigned char> Buffer = std::vector<unsigned char>(kReadBufferBytes);

    void Check(std::int64_t i)
    {
        const TByteSet::TRange block = BlockRange(i, Total);
        if (!Cut.Contains(block.Start, block.End))
            return Partial(i, block);
        const auto hash = Blocks.find(i);
        if (hash == Blocks.end())
            return Lose(i, block, "has no hash", "have no hashes");
        std::string hex;
        int err = 0;
        if (!HashRange(Fd, block.Start, block.End, Buffer, hex, err)) {
            const std::string reason = "cannot be read (" + (err ? SystemReason(err) : "file too short") + ")";
            Lose(i, block, reason, reason);
        } else if (hex != hash->second) {
            Lose(i, block, "does not match its hash", "do not match their hashes");
        }
    }

private:
    // Only what a span proves: the size of the file says nothing about its bytes.
    void Partial(std::int64_t i, const TByteSet::TRange& block)
    {
        TByteSet unproven = Cut.Intersect(block.Start, block.End);
        for (auto s = Spans.lower_bound(block.Start); s != Spans.end() && s->first < block.End; ++s) {
            std::string hex;
            int err = 0;
            if (Cut.Contains(s->first, s->second.End) && HashRange(Fd, s->first, s->second.End, Buffer, hex, err) &&
                hex == s->second.Hash)
                unproven.Subtract(s->first, s->second.End);
        }
        if (unproven.Empty())
            return;
        Losses.Add(i, {unproven.Ranges().front().Start, unproven.Ranges().back().End}, "holds bytes no hash proves",
                   "hold bytes no hash proves");
        for (const TByteSet::TRange& r : unproven)
            Result.Subtract(r.Start, r.End);
    }
    void Lose(std::int64_t i, const TByteSet::TRange& block, const std::string& one, const std::string& many)
    {
        Losses.Add(i, block, one, many);
        Result.Subtract(block.Start, block.End);
    }
};

} // namespace

TByteSet VerifiedBytes(const std::string& partPath, const TByteSet& claimed,
                       const std::map<std::int64_t, std::string>& blocks, const TSpanMap& spans, std::int64_t total,
                       std::vector<std::string>& log)
{
    TByteSet cut = claimed.Intersect(0, total >= 0 ? total : kInt64Max);
    if (cut.Empty())
        return cut;
    const std::int64_t expected = cut.Ranges().back().End;

    TFd fd(::open(partPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    struct stat st {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = fd.Get() < 0 ? errno : 0;
        log.push_back(partPath +
                      (err == ENOENT ? " is missing"
                       : err         ? " cannot be read (" + SystemReason(err) + ")"
                                     : " is not a regular file") +
                      ": everything is fetched again");
        return {};
    }
    const std::int64_t size = static_cast<std::int64_t>(st.st_size);
    if (size < expected) {
        log.push_back(partPath + " is " + Str(size) + " bytes, the journal expects " + Str(expected) +
                      ": the rest is fetched again");
        cut = cut.Intersect(0, size);
    }

    TByteSet result = cut;
    TLossLog losses(partPath, log);
    TBlockCheck check{fd.Get(), cut, blocks, spans, total, losses, result};
    std::int64_t nextBlock = 0; // blocks below were looked at for an earlier range
    for (const TByteSet::TRange& r : cut)
        for (std::int64_t i = std::max(nextBlock, r.Start / JournalBlockBytes); i <= (r.End - 1) / JournalBlockBytes;
             ++i) {
            nextBlock = i + 1;
            check.Check(i);
        }
    losses.Flush();
    return result;
}

// ---- Resuming ----------------------------------------------------------------------------------

std::optional<std::vector<TJournalPiece>> ResumePieces(std::int64_t total, const std::vector<TJournalPiece>& pieces,
                                                       const TByteSet& verified, std::string* why)
{
    auto refuse = [why](const std::string& reason) -> std::optional<std::vector<TJournalPiece>> {
        if (why)
            *why = reason;
        return std::nullopt;
    };

    if (total < 0) {
        if (pieces.size() > 1)
            return refuse("several pieces of a file of unknown size");
        TJournalPiece only{0, 0, -1};
        if (!pieces.empty()) {
            const TJournalPiece& p = pieces.front();
            if (p.Start != 0 || p.End != -1 || p.Pos < 0)
                return refuse("a file of unknown size is one piece from 0 to its end");
            only.Pos = std::min(p.Pos, verified.RunEnd(0));
        }
        return std::vector<TJournalPiece>{only};
    }

    std::vector<TJournalPiece> sorted;
    for (const TJournalPiece& p : pieces) {
        if (p.Start < 0 || p.Pos < p.Start || p.End < p.Pos || p.End > total)
            return refuse("malformed piece " + Str(p.Start) + " " + Str(p.Pos) + " " + Str(p.End));
        if (p.Start < p.End)
            sorted.push_back(p); // an empty piece has nothing to give or take
    }
    std::sort(sorted.begin(), sorted.end(),
              [](const TJournalPiece& a, const TJournalPiece& b) { return a.Start < b.Start; });
    for (std::size_t i = 1; i < sorted.size(); ++i)
        if (sorted[i].Start < sorted[i - 1].End)
            return refuse("pieces from " + Str(sorted[i - 1].Start) + " and " + Str(sorted[i].Start) + " overlap");

    std::vector<TJournalPiece> out;
    // [start, pos) as far as it is verified, each hole the start of what the piece before it fetches.
    auto add = [&](std::int64_t start, std::int64_t pos, std::int64_t end) {
        const TByteSet got = verified.Intersect(start, pos);
        const std::vector<TByteSet::TRange>& runs = got.Ranges();
        if (runs.empty() || runs.front().Start > start)
            out.push_back({start, start, runs.empty() ? end : runs.front().Start});
        for (std::size_t k = 0; k < runs.size(); ++k)
            out.push_back({runs[k].Start, runs[k].End, k + 1 < runs.size() ? runs[k + 1].Start : end});
    };
    std::int64_t covered = 0;
    for (const TJournalPiece& p : sorted) {
        if (p.Start > covered)
            add(covered, covered, p.Start);
        add(p.Start, p.Pos, p.End);
        covered = p.End;
    }
    if (covered < total)
        add(covered, covered, total);
    return out;
}

std::size_t IntactSegments(const std::vector<std::int64_t>& segmentEnds, const TByteSet& verified)
{
    const std::int64_t intact = verified.RunEnd(0);
    std::int64_t previous = 0;
    std::size_t n = 0;
    for (std::int64_t end : segmentEnds) {
        if (end < previous || end > intact)
            break;
        previous = end;
        ++n;
    }
    return n;
}

} // namespace cw
