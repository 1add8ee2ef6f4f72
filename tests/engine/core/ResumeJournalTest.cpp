// The resume journal: it reads back exactly what was written however long, refuses every kind of
// damage instead of resuming from it, and on resume only bytes that the part file still holds and
// that match their hashes are kept, so a finished file never carries zeros or stale bytes where the
// .part lost some.

#include "engine/core/ResumeJournal.h"
#include "engine/core/PartFile.h"

#include "platform/Types.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sys/resource.h>
#include <unistd.h>

using namespace cw;

namespace {

constexpr std::int64_t M = JournalBlockBytes;

class TTempFolder {
public:
    TTempFolder()
    {
        char name[] = "/tmp/cw-journal-XXXXXX";
        if (!::mkdtemp(name))
            throw std::runtime_error("mkdtemp failed");
        FPath = name;
    }
    ~TTempFolder() { std::filesystem::remove_all(FPath); }
    std::string File(const std::string& name) const { return FPath + "/" + name; }

private:
    std::string FPath;
};

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
}

void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Never a zero byte, so a hole left in a part file cannot pass for content.
std::string Body(std::int64_t size)
{
    std::string s(static_cast<std::size_t>(size), '\0');
    for (std::int64_t i = 0; i < size; ++i)
        s[static_cast<std::size_t>(i)] = static_cast<char>(1 + (i * 7 + i / 4096) % 251);
    return s;
}

void WriteAt(const std::string& path, const std::string& body, std::int64_t start, std::int64_t end)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(end - start, ::pwrite(fd, body.data() + start, static_cast<std::size_t>(end - start), start));
    ::close(fd);
}

// A journal text as the writer would seal it, so that a test reaches the check it means to.
std::string Sealed(const std::string& body)
{
    const std::string text = "clipwarden-journal 2\n" + body;
    return text + "check=" + Sha256Hex(text) + "\n";
}

const std::string kHash(64, 'a');
const std::string kFileLines = "kind=file\nurl=https://cdn.example.com/v.mp4\ntotal=100\netag=\"x\"\nlast-modified=\n";

std::string Describe(const TByteSet& s)
{
    std::string out;
    for (const TByteSet::TRange& r : s)
        out += "[" + std::to_string(r.Start) + "," + std::to_string(r.End) + ")";
    return out;
}

// The process's file size limit stands in for a full disk (SIGXFSZ ignored, writes fail with EFBIG).
class TFileSizeLimit {
public:
    explicit TFileSizeLimit(rlim_t bytes)
    {
        FOldHandler = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &FOld);
        rlimit limit = FOld;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~TFileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &FOld);
        std::signal(SIGXFSZ, FOldHandler);
    }
    TFileSizeLimit(const TFileSizeLimit&) = delete;
    TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

private:
    rlimit FOld{};
    void (*FOldHandler)(int) = SIG_DFL;
};

TResumeJournal FileJournal()
{
    TResumeJournal j;
    j.Url = "https://cdn.example.com/a b/v.mp4?x=1&y==2";
    j.Total = 1000000000000000000; // 10^18: legal, and far past any sum of the pieces below
    j.ETag = "W/\"6d-abc\"";
    j.LastModified = "Tue, 01 Apr 2025 10:00:00 GMT";
    for (std::int64_t i = 0; i < 200; ++i)
        j.Pieces.push_back({i * 5 * M, i * 5 * M + (i * 77777) % (5 * M), (i + 1) * 5 * M});
    j.Blocks.resize(1);
    j.Spans.resize(1);
    for (std::int64_t i = 0; i < 300; ++i) {
        j.Blocks[0][i * 3] = Sha256Hex(std::to_string(i));
        j.Spans[0][(i * 3 + 1) * M + i] = TJournalSpan{(i * 3 + 2) * M - 7, Sha256Hex("span " + std::to_string(i))};
    }
    return j;
}

TResumeJournal StreamJournal()
{
    TResumeJournal j;
    j.Kind = jkStream;
    j.Url = "https://cdn.example.com/master.m3u8";
    j.Fingerprint = Sha256Hex("segment list");
    j.Tracks.resize(2);
    for (std::int64_t k = 1; k <= 100000; ++k)
        j.Tracks[0].push_back(k * 188 * 1000);
    for (std::int64_t k = 1; k <= 5000; ++k)
        j.Tracks[1].push_back(k * 9000);
    j.Tracks[1][9] = j.Tracks[1][8]; // an empty segment is legal
    j.Blocks.resize(2);
    j.Spans.resize(2);
    for (std::int64_t i = 0; i < 5000; ++i)
        j.Blocks[i % 2][i] = Sha256Hex(std::to_string(i));
    j.Spans[1][5001 * M] = TJournalSpan{5001 * M + 100, Sha256Hex("tail")};
    return j;
}

} // namespace

// ---- The journal text --------------------------------------------------------------------------

TEST(ResumeJournalFormat, RoundTripsLongJournalsExactly)
{
    TTempFolder dir;
    const std::string path = dir.File("v.mp4.part.meta");
    for (const TResumeJournal& j : {FileJournal(), StreamJournal(), TResumeJournal{}}) {
        WriteJournal(path, j);
        std::string why;
        const std::optional<TResumeJournal> back = ReadJournal(path, &why);
        ASSERT_TRUE(back) << why;
        EXPECT_TRUE(*back == j);
        EXPECT_EQ(j.Pieces.size(), back->Pieces.size());
        EXPECT_EQ(j.Tracks.size(), back->Tracks.size());
        EXPECT_EQ("<missing>", ReadText(path + ".tmp"));
    }

    // A line break in a header value cannot add a line (say a forged piece) to the journal.
    TResumeJournal j = FileJournal();
    j.ETag = "\"x\"\r\npiece=0 100 100";
    WriteJournal(path, j);
    const std::optional<TResumeJournal> back = ReadJournal(path);
    ASSERT_TRUE(back);
    EXPECT_EQ("\"x\"piece=0 100 100", back->ETag);
    EXPECT_EQ(j.Pieces, back->Pieces);
}

TEST(ResumeJournalFormat, RefusesDamagedText)
{
    const std::string good = Sealed(kFileLines + "piece=0 10 100\npart-files=1\nblock=0 0 " + kHash + "\n");
    const std::string stream = "kind=stream\nurl=u\nfingerprint=" + kHash + "\ntrack=0 10 20\npart-files=0\n";
    struct TCase {
        const char* Name;
        std::string Text;
        const char* Why;
    };
    const TCase cases[] = {
        {"old format", "clipwarden-part 1\nurl=u\ntotal=100\nrange=0-10-100\n", "old journal format"},
        {"newer version", "clipwarden-journal 3\n" + good.substr(good.find('\n') + 1), "version \"3\""},
        {"no first line", good.substr(good.find('\n') + 1), "not a journal"},
        {"empty file", "", "not a journal"},
        {"cut mid-line", good.substr(0, good.size() - 20), "middle of a line"},
        {"cut at a line end", good.substr(0, good.find("part-files")), "no check line"},
        {"changed digit",
         [&] {
             std::string t = good;
             t[t.find("0 10 100") + 2] = '9';
             return t;
         }(),
         "does not match its check line"},
        {"pos past end", Sealed(kFileLines + "piece=0 20 10\npart-files=0\n"), "past its end"},
        {"end past total", Sealed(kFileLines + "piece=0 5 200\npart-files=0\n"), "past the file's size"},
        {"pos before start", Sealed(kFileLines + "piece=50 5 60\npart-files=0\n"), "before its start"},
        {"letters", Sealed(kFileLines + "piece=0 1x 100\npart-files=0\n"), "bad number"},
        {"sign", Sealed(kFileLines + "piece=+0 1 100\npart-files=0\n"), "bad number"},
        {"leading zero", Sealed(kFileLines + "piece=0 010 100\npart-files=0\n"), "bad number"},
        {"two spaces", Sealed(kFileLines + "piece=0  10 100\npart-files=0\n"), "three numbers"},
        {"overflow", Sealed("kind=file\nurl=u\ntotal=99999999999999999999\netag=\nlast-modified=\npart-files=0\n"),
         "bad number"},
        {"overlap", Sealed(kFileLines + "piece=0 10 50\npiece=40 40 100\npart-files=0\n"), "overlap"},
        {"short hash", Sealed(kFileLines + "part-files=1\nblock=0 0 " + kHash.substr(1) + "\n"), "64 hex"},
        {"upper-case hash", Sealed(kFileLines + "part-files=1\nblock=0 0 " + std::string(64, 'A') + "\n"), "64 hex"},
        {"block past the file", Sealed(kFileLines + "part-files=1\nblock=0 1 " + kHash + "\n"), "past the end"},
        {"unlisted part file", Sealed(kFileLines + "part-files=1\nblock=1 0 " + kHash + "\n"), "part-files"},
        {"same block twice", Sealed(kFileLines + "part-files=1\nblock=0 0 " + kHash + "\nblock=0 0 " + kHash + "\n"),
         "second hash"},
        {"span across two blocks",
         Sealed("kind=file\nurl=u\ntotal=-1\netag=\nlast-modified=\npart-files=1\nspan=0 1048000 1048600 " + kHash +
                "\n"),
         "inside one block"},
        {"span in a finished block",
         Sealed(kFileLines + "part-files=1\nblock=0 0 " + kHash + "\nspan=0 5 9 " + kHash + "\n"), "finished block"},
        {"spans overlap", Sealed(kFileLines + "part-files=1\nspan=0 5 9 " + kHash + "\nspan=0 8 12 " + kHash + "\n"),
         "overlaps"},
        {"span of an unlisted file", Sealed(kFileLines + "part-files=1\nspan=1 5 9 " + kHash + "\n"), "part-files"},
        {"second total", Sealed(kFileLines + "total=100\npart-files=0\n"), "second total"},
        {"missing etag", Sealed("kind=file\nurl=u\ntotal=100\nlast-modified=\npart-files=0\n"), "no etag"},
        {"unknown kind", Sealed("kind=torrent\nurl=u\npart-files=0\n"), "unknown kind"},
        {"decreasing segments",
         Sealed("kind=stream\nurl=u\nfingerprint=" + kHash + "\ntrack=0 10 30 20\npart-files=0\n"), "ends before"},
        {"tracks out of order", Sealed("kind=stream\nurl=u\nfingerprint=" + kHash + "\ntrack=1 10\npart-files=0\n"),
         "out of order"},
        {"piece in a stream", Sealed(stream + "piece=0 0 10\n"), "file data in a stream"},
        {"unknown size, two pieces",
         Sealed("kind=file\nurl=u\ntotal=-1\netag=\nlast-modified=\npiece=0 5 -1\npiece=5 5 -1\npart-files=0\n"),
         "unknown size"},
    };
    TTempFolder dir;
    const std::string path = dir.File("j");
    for (const TCase& c : cases) {
        WriteText(path, c.Text);
        std::string why;
        EXPECT_FALSE(ReadJournal(path, &why)) << c.Name;
        EXPECT_NE(std::string::npos, why.find(c.Why)) << c.Name << ": " << why;
    }

    // The same text undamaged is read, and so are keys a later version may add.
    for (const std::string& text : {good, Sealed(stream), Sealed(kFileLines + "future-key=1 2\npart-files=0\n")}) {
        WriteText(path, text);
        std::string why;
        EXPECT_TRUE(ReadJournal(path, &why)) << why;
    }

    std::string why;
    EXPECT_FALSE(ReadJournal(dir.File("none"), &why));
    EXPECT_EQ("no journal", why);
    // A huge file is refused without being read: a sparse 65 MiB file.
    WriteText(path, good);
    ASSERT_EQ(0, ::truncate(path.c_str(), 65 * M));
    EXPECT_FALSE(ReadJournal(path, &why));
    EXPECT_NE(std::string::npos, why.find("larger than 64 MiB")) << why;
}

TEST(ResumeJournalFormat, NeverWritesWhatItCouldNotReadBack)
{
    struct TCase {
        const char* Name;
        std::function<void(TResumeJournal&)> Change;
    };
    const TCase cases[] = {
        {"overlapping pieces", [](TResumeJournal& j) { j.Pieces[1].Start -= 1; }},
        {"upper-case hash", [](TResumeJournal& j) { j.Blocks[0][0] = std::string(64, 'F'); }},
        {"pos past end", [](TResumeJournal& j) { j.Pieces[3].Pos = j.Pieces[3].End + 1; }},
        {"unknown size with pieces", [](TResumeJournal& j) { j.Total = -1; }},
        {"stream data in a file", [](TResumeJournal& j) { j.Tracks.resize(1); }},
    };
    TTempFolder dir;
    const std::string path = dir.File("j");
    for (const TCase& c : cases) {
        TResumeJournal j = FileJournal();
        c.Change(j);
        EXPECT_THROW(WriteJournal(path, j), Exception) << c.Name;
        EXPECT_EQ("<missing>", ReadText(path)) << c.Name;
    }
    TResumeJournal s = StreamJournal();
    s.Tracks[1][100] = 1;
    EXPECT_THROW(WriteJournal(path, s), Exception);
}

TEST(ResumeJournalFormat, FailedWriteLeavesTheOldJournal)
{
    TTempFolder dir;
    const std::string path = dir.File("j");
    const TResumeJournal old = FileJournal();
    WriteJournal(path, old);
    const std::string oldText = ReadText(path);

    {
        // The disk fills up in the middle of the new journal.
        TFileSizeLimit limit(4096);
        try {
            WriteJournal(path, StreamJournal());
            ADD_FAILURE() << "a write past the size limit passed for done";
        } catch (const Exception& e) {
            EXPECT_EQ(0u, e.Message().find("Cannot write " + path + ": ")) << e.Message();
        }
    }
    EXPECT_EQ(oldText, ReadText(path));
    EXPECT_EQ("<missing>", ReadText(path + ".tmp"));

    // The name is taken by a folder: the rename fails and the temporary goes.
    const std::string folder = dir.File("taken");
    std::filesystem::create_directories(folder + "/inside");
    EXPECT_THROW(WriteJournal(folder, old), Exception);
    EXPECT_EQ("<missing>", ReadText(folder + ".tmp"));

    // A temporary left behind is replaced, and a link planted under its name is not written through.
    const std::string victim = dir.File("victim");
    WriteText(victim, "keep");
    ASSERT_EQ(0, ::symlink(victim.c_str(), (path + ".tmp").c_str()));
    WriteJournal(path, StreamJournal());
    EXPECT_EQ("keep", ReadText(victim));
    EXPECT_TRUE(ReadJournal(path) == StreamJournal());
}

// ---- Resuming from a part file -----------------------------------------------------------------

TEST(ResumeJournalBytes, ByteSetKeepsRangesApartAndMerged)
{
    TByteSet s;
    s.Add(10, 20);
    s.Add(30, 40);
    s.Add(20, 25); // touches: melts into [10, 25)
    EXPECT_EQ("[10,25)[30,40)", Describe(s));
    s.Add(5, 35);
    EXPECT_EQ("[5,40)", Describe(s));
    s.Subtract(10, 12);
    s.Subtract(39, 100);
    EXPECT_EQ("[5,10)[12,39)", Describe(s));
    EXPECT_TRUE(s.Contains(12, 39));
    EXPECT_FALSE(s.Contains(9, 13)); // across the hole
    EXPECT_EQ("[8,10)[12,13)", Describe(s.Intersect(8, 13)));
    EXPECT_EQ(10, s.RunEnd(5));
    EXPECT_EQ(11, s.RunEnd(11));
    const std::int64_t max = std::numeric_limits<std::int64_t>::max();
    s.Add(max - 1, max);
    EXPECT_TRUE(s.Contains(max - 1, max));
}

TEST(ResumeJournalBytes, HashesOnlyFinishedBlocks)
{
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", Sha256Hex("abc"));
    TSha256 parts;
    parts.Update("a");
    parts.Update("bc");
    EXPECT_EQ(Sha256Hex("abc"), parts.HexDigest());

    TTempFolder dir;
    const std::string part = dir.File("v.part");
    const std::int64_t total = 3 * M + 100;
    const std::string body = Body(total);
    WriteText(part, body);

    std::map<std::int64_t, std::string> blocks{{1, kHash}}; // block 1 was fetched again since then
    HashFinishedBlocks(part, TByteSet(0, M + 5), total, blocks);
    ASSERT_EQ(1u, blocks.size());
    EXPECT_EQ(Sha256Hex(body.substr(0, M)), blocks[0]);

    // The last block ends at the total; with the total unknown it is not finished.
    HashFinishedBlocks(part, TByteSet(0, total), total, blocks);
    EXPECT_EQ(4u, blocks.size());
    EXPECT_EQ(Sha256Hex(body.substr(3 * M)), blocks[3]);
    HashFinishedBlocks(part, TByteSet(0, total), -1, blocks);
    EXPECT_EQ(3u, blocks.size());

    // Claimed bytes the file does not hold are an error, not the hash of a short read.
    EXPECT_THROW(HashFinishedBlocks(part, TByteSet(0, 5 * M), -1, blocks), Exception);
    std::map<std::int64_t, std::string> none;
    EXPECT_THROW(HashFinishedBlocks(dir.File("none"), TByteSet(0, M), -1, none), Exception);
}

namespace {

// A file of Total bytes fetched as Pieces, its journal written and read back, then damaged.
struct TResumeCase {
    const char* Name;
    std::int64_t Total;
    std::vector<TJournalPiece> Pieces;
    std::function<void(const std::string& part, TResumeJournal& j)> Damage;
    std::vector<std::pair<std::int64_t, std::int64_t>> Fetch; // empty with StartOver
    const char* Log;
    bool StartOver = false;
};

void RunResumeCase(const TResumeCase& c)
{
    SCOPED_TRACE(c.Name);
    TTempFolder dir;
    const std::string part = dir.File("v.mp4.part");
    const std::string meta = dir.File("v.mp4.part.meta");
    const std::int64_t size = c.Total >= 0 ? c.Total : 5 * M + 123;
    const std::string body = Body(size);

    TResumeJournal j;
    j.Url = "https://cdn.example.com/v.mp4";
    j.Total = c.Total;
    j.Pieces = c.Pieces;
    j.Blocks.resize(1);
    j.Spans.resize(1);
    TByteSet have;
    WriteText(part, "");
    for (const TJournalPiece& p : c.Pieces) {
        WriteAt(part, body, p.Start, p.Pos);
        have.Add(p.Start, p.Pos);
    }
    HashKeptBytes(part, have, c.Total, j.Blocks[0], j.Spans[0]);
    WriteJournal(meta, j);

    std::optional<TResumeJournal> kept = ReadJournal(meta);
    ASSERT_TRUE(kept);
    c.Damage(part, *kept);

    TByteSet claimed;
    for (const TJournalPiece& p : kept->Pieces)
        claimed.Add(p.Start, p.Pos);
    std::vector<std::string> log;
    const TByteSet verified = VerifiedBytes(part, claimed, kept->Blocks[0], kept->Spans[0], c.Total, log);
    std::string why;
    const auto pieces = ResumePieces(c.Total, kept->Pieces, verified, &why);
    ASSERT_EQ(c.StartOver, !pieces) << why;
    if (!pieces)
        return;

    std::string logText;
    for (const std::string& line : log)
        logText += line + "\n";
    EXPECT_NE(std::string::npos, logText.find(c.Log)) << logText;

    TByteSet fetch;
    TByteSet expected;
    std::int64_t covered = 0;
    for (const TJournalPiece& p : *pieces) {
        const std::int64_t end = p.End < 0 ? size : p.End;
        EXPECT_EQ(covered, p.Start) << "pieces must cover the file back to back";
        EXPECT_LT(p.Start, end) << "empty piece";
        EXPECT_TRUE(verified.Contains(p.Start, p.Pos));
        fetch.Add(p.Pos, end);
        covered = end;
    }
    EXPECT_EQ(size, covered);
    for (const auto& [start, end] : c.Fetch)
        expected.Add(start, end);
    EXPECT_EQ(Describe(expected), Describe(fetch));

    // Fetching what the pieces ask for must give the file, with no byte left over from the damage.
    for (const TJournalPiece& p : *pieces)
        WriteAt(part, body, p.Pos, p.End < 0 ? size : p.End);
    EXPECT_TRUE(ReadText(part) == body);
}

void Overwrite(const std::string& path, std::int64_t at, const std::string& bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::pwrite(fd, bytes.data(), bytes.size(), at));
    ::close(fd);
}

} // namespace

TEST(ResumeJournalBytes, ResumesOnlyFromBytesThatAreStillRight)
{
    const std::int64_t total = 8 * M + 4321;
    const TResumeCase cases[] = {
        {"intact",
         total,
         {{0, 3 * M, 3 * M}, {3 * M, 4 * M + 500, total}},
         [](const std::string&, TResumeJournal&) {},
         {{4 * M + 500, total}},
         ""},
        {"part file truncated to 1000 bytes",
         total,
         {{0, total, total}},
         [](const std::string& part, TResumeJournal&) { ASSERT_EQ(0, ::truncate(part.c_str(), 1000)); },
         {{0, total}},
         "v.mp4.part is 1000 bytes, the journal expects 8392929: the rest is fetched again"},
        {"one block overwritten",
         total,
         {{0, 5 * M, 8 * M}, {8 * M, total, total}},
         [](const std::string& part, TResumeJournal&) { Overwrite(part, 2 * M + 10, std::string(3, '\0')); },
         {{2 * M, 3 * M}, {5 * M, 8 * M}},
         "block 2 (bytes 2097152-3145727) of " /* path */},
        {"hash of a finished block missing",
         total,
         {{0, 4 * M, 4 * M}, {4 * M, 6 * M, total}},
         [](const std::string&, TResumeJournal& j) {
             j.Blocks[0].erase(1);
             j.Blocks[0].erase(2);
         },
         {{M, 3 * M}, {6 * M, total}},
         "blocks 1-2 (bytes 1048576-3145727) of"},
        {"piece line lost",
         total,
         {{0, 2 * M, 2 * M}, {2 * M, 4 * M, 4 * M}, {4 * M, 5 * M, total}},
         [](const std::string&, TResumeJournal& j) { j.Pieces.erase(j.Pieces.begin() + 1); },
         {{2 * M, 4 * M}, {5 * M, total}},
         ""},
        {"overlapping pieces",
         total,
         {{0, 3 * M, 5 * M}, {5 * M, 5 * M, total}},
         [](const std::string&, TResumeJournal& j) { j.Pieces[1].Start = 4 * M; },
         {},
         "",
         true},
        {"unknown size, block 1 damaged",
         -1,
         {{0, 3 * M + 50, -1}},
         [](const std::string& part, TResumeJournal&) { Overwrite(part, M + M / 2, "x"); },
         {{M, 5 * M + 123}},
         "does not match its hash"},
        // Bytes inside a block that is not whole (the edges of pieces) are proven by their spans.
        {"edge of a piece changed",
         total,
         {{0, 3 * M, 4 * M + 100}, {4 * M + 100, 5 * M + 200, total}},
         [](const std::string& part, TResumeJournal&) { Overwrite(part, 4 * M + 50000, "zz"); },
         {{3 * M, 5 * M}, {5 * M + 200, total}},
         "block 4 (bytes 4194404-5242879) of"},
        {"edge zeroed, the file's size unchanged",
         total,
         {{0, 2 * M + 70000, 4 * M}, {4 * M, total, total}},
         [](const std::string& part, TResumeJournal&) { Overwrite(part, 2 * M, std::string(65536, '\0')); },
         {{2 * M, 4 * M}},
         "holds bytes no hash proves"},
        {"cut inside an edge and grown back to its size",
         total,
         {{0, 4 * M + 300000, total}},
         [](const std::string& part, TResumeJournal&) {
             ASSERT_EQ(0, ::truncate(part.c_str(), 4 * M + 1000));
             ASSERT_EQ(0, ::truncate(part.c_str(), 4 * M + 300000));
         },
         {{4 * M, total}},
         "holds bytes no hash proves"},
        {"span lines lost",
         total,
         {{0, M + 10, 6 * M}, {6 * M, 7 * M + 20, total}},
         [](const std::string&, TResumeJournal& j) { j.Spans[0].clear(); },
         {{M, 6 * M}, {7 * M, total}},
         "holds bytes no hash proves"},
        {"unknown size, tail lost",
         -1,
         {{0, 4 * M, -1}},
         [](const std::string& part, TResumeJournal&) { ASSERT_EQ(0, ::truncate(part.c_str(), 2 * M + 7)); },
         {{2 * M, 5 * M + 123}},
         "is 2097159 bytes"},
    };
    for (const TResumeCase& c : cases)
        RunResumeCase(c);
}

TEST(ResumeJournalBytes, ResumePiecesSplitsAtEveryHole)
{
    TByteSet verified(0, 8 * M);
    verified.Subtract(2 * M, 3 * M);
    const auto pieces = ResumePieces(8 * M, {{0, 5 * M, 8 * M}}, verified);
    ASSERT_TRUE(pieces);
    const std::vector<TJournalPiece> expected{{0, 2 * M, 3 * M}, {3 * M, 5 * M, 8 * M}};
    EXPECT_EQ(expected, *pieces);

    // A piece with its first bytes lost starts with nothing received; a full piece stays full.
    verified = TByteSet(M, 4 * M);
    const auto pieces2 = ResumePieces(4 * M, {{0, 4 * M, 4 * M}}, verified);
    ASSERT_TRUE(pieces2);
    const std::vector<TJournalPiece> expected2{{0, 0, M}, {M, 4 * M, 4 * M}};
    EXPECT_EQ(expected2, *pieces2);

    std::string why;
    EXPECT_FALSE(ResumePieces(-1, {{0, 5, -1}, {5, 5, -1}}, verified, &why));
    EXPECT_FALSE(ResumePieces(100, {{0, 5, 200}}, verified, &why));
    EXPECT_NE(std::string::npos, why.find("malformed")) << why;
}

TEST(ResumeJournalBytes, IntactSegmentsStopAtTheFirstLoss)
{
    // A track of 40 segments of 200000 bytes, hashed as a growing stream (total unknown).
    const std::int64_t segment = 200000;
    std::vector<std::int64_t> ends;
    for (std::int64_t k = 1; k <= 40; ++k)
        ends.push_back(k * segment);
    const std::string body = Body(ends.back());

    struct TCase {
        const char* Name;
        std::function<void(const std::string& part)> Damage;
        std::size_t Intact;
    };
    const TCase cases[] = {
        {"intact", [](const std::string&) {}, 40},
        // Block 3 is bytes [3145728, 4194304): segment 15 ([3000000, 3200000)) is the first hit.
        {"bad block in the middle", [](const std::string& part) { Overwrite(part, 3 * M + 1000, "zz"); }, 15},
        {"track truncated", [&](const std::string& part) { ASSERT_EQ(0, ::truncate(part.c_str(), 5000123)); }, 20},
        {"track missing", [](const std::string& part) { ::unlink(part.c_str()); }, 0},
        // The last 640000 bytes lie in no whole block: only their span proves them.
        {"last bytes changed", [](const std::string& part) { Overwrite(part, 7 * M + 900, "q"); }, 36},
        {"a link in the track's place",
         [&](const std::string& part) {
             ::rename(part.c_str(), (part + ".real").c_str());
             ASSERT_EQ(0, ::symlink((part + ".real").c_str(), part.c_str()));
         },
         0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempFolder dir;
        const std::string part = dir.File("v.part");
        WriteText(part, body);
        std::map<std::int64_t, std::string> blocks;
        TSpanMap spans;
        HashKeptBytes(part, TByteSet(0, ends.back()), -1, blocks, spans);
        c.Damage(part);
        std::vector<std::string> log;
        const TByteSet verified = VerifiedBytes(part, TByteSet(0, ends.back()), blocks, spans, -1, log);
        EXPECT_EQ(c.Intact, IntactSegments(ends, verified));
    }

    // A list that goes back is not trusted past that point.
    EXPECT_EQ(1u, IntactSegments({10, 5, 20}, TByteSet(0, 100)));
}

// A piece that starts inside a block, saved while it grows until the block is whole: at every save
// the journal proves exactly what is there, and the finished block's hash is of the whole block
// (a hash made while it was partial and kept would cost the block on every resume).
TEST(ResumeJournalBytes, ProofFollowsAPieceThatStartsInsideABlock)
{
    TTempFolder dir;
    const std::string part = dir.File("g.part");
    const std::int64_t total = 3 * M;
    const std::string body = Body(total);
    WriteText(part, "");
    std::map<std::int64_t, std::string> blocks;
    TSpanMap spans;
    TByteSet have;
    // The second piece first, from the middle of block 0; then the first piece fills the block up.
    const std::pair<std::int64_t, std::int64_t> steps[] = {
        {M / 2, M / 2 + 100}, {M / 2 + 100, 2 * M + 5}, {0, 1000}, {1000, M / 2}, {2 * M + 5, total}};
    for (const auto& [from, to] : steps) {
        WriteAt(part, body, from, to);
        have.Add(from, to);
        HashKeptBytes(part, have, total, blocks, spans);
        std::vector<std::string> log;
        const TByteSet verified = VerifiedBytes(part, have, blocks, spans, total, log);
        EXPECT_EQ(Describe(have), Describe(verified)) << "after bytes " << from << "-" << to;
        EXPECT_TRUE(log.empty()) << log.front();
    }
    EXPECT_EQ(3u, blocks.size());
    EXPECT_TRUE(spans.empty());
}

TEST(PartFile, ContentRangeIsReadStrictly)
{
    const struct {
        const char* Text;
        bool Ok;
        std::int64_t First, Last, Total;
    } cases[] = {
        {"bytes 0-99/100", true, 0, 99, 100},
        {"bytes 100-199/*", true, 100, 199, -1},
        {"bytes 0-99/99", false, 0, 0, 0}, // the last byte is past the end
        {"bytes 0-99/50", false, 0, 0, 0},
        {"bytes 10-9/100", false, 0, 0, 0},
        {"bytes */100", false, 0, 0, 0},
        {"bytes -5-10/100", false, 0, 0, 0},
        {"bytes 0-99999999999999999999/100", false, 0, 0, 0},
        {"items 0-9/10", false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        const std::optional<TContentRange> r = ParseContentRange(c.Text);
        ASSERT_EQ(c.Ok, r.has_value());
        if (r) {
            EXPECT_EQ(c.First, r->First);
            EXPECT_EQ(c.Last, r->Last);
            EXPECT_EQ(c.Total, r->Total);
        }
    }
}
