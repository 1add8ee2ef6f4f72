#pragma once
// The journal of an unfinished download: "<final>.part.meta" beside the .part file(s), saying which
// bytes are already there and proving them. A file fetched in byte ranges over several connections
// records its pieces; an HLS stream fetched segment by segment records where each segment ends in
// its track file ("<final>.part" for the video, "<final>.audio.part" for separate audio). Either way
// every finished 1 MiB block of a part file has its SHA-256 in the journal, and so has every run of
// kept bytes in a block that is not finished (the edges of a file's pieces, a stream's last bytes),
// so that a resumed run re-reads them, keeps only what still matches and fetches the rest again:
// a damaged, truncated or edited .part can cost time but never ends in a file with wrong bytes.
//
// The journal is text, one "key=value" a line, written to a temporary name and renamed:
//
//   clipwarden-journal 2
//   kind=file                         file | stream
//   url=<address>
//   total=<size>                      file only; -1 when the server did not say
//   etag=<validator>                  file only, may be empty
//   last-modified=<validator>         file only, may be empty
//   fingerprint=<64 hex>              stream only: SHA-256 of the stream's segment list
//   piece=<start> <pos> <end>         file only, any number: [start, pos) is in the .part, [pos, end)
//                                     still to fetch; end -1 only for a single piece of unknown size
//   track=<n> <end> <end> ...         stream only, one line per track file in order (n = 0, 1): the
//                                     end offset of each segment written, never decreasing
//   part-files=<n>                    how many part files have block hashes (0 to 2)
//   block=<file> <index> <64 hex>     SHA-256 of bytes [index * 1 MiB, (index + 1) * 1 MiB) of part
//                                     file <file> (0: .part, 1: .audio.part), the last block of a file
//                                     of known size ending at the size
//   span=<file> <start> <end> <64 hex> SHA-256 of bytes [start, end) of part file <file>: a run of
//                                     kept bytes inside one block that is not finished
//   check=<64 hex>                    last line: SHA-256 of every byte before it
//
// Numbers are plain decimal (no sign, no leading zero), values never hold a line break. Any other
// key is skipped so that later versions may add some; anything else out of place (another first
// line, a bad number, a piece outside the file, a missing or wrong check line, ...) refuses the
// whole journal and the download starts over.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct evp_md_ctx_st;

namespace cw {

constexpr std::int64_t JournalBlockBytes = 1 << 20; // hashes are kept per 1 MiB block of a part file

enum TJournalKind { jkFile, jkStream };

// A byte range of a file: [Start, Pos) is in the .part, [Pos, End) still to fetch. End -1: the size
// is unknown (only possible for a single piece starting at 0).
struct TJournalPiece {
    std::int64_t Start = 0;
    std::int64_t Pos = 0;
    std::int64_t End = -1;
    bool operator==(const TJournalPiece&) const = default;
};

// A run of kept bytes inside one block that is not finished, and its hash.
struct TJournalSpan {
    std::int64_t End = 0;
    std::string Hash;
    bool operator==(const TJournalSpan&) const = default;
};
using TSpanMap = std::map<std::int64_t, TJournalSpan>; // by the span's first byte

struct TResumeJournal {
    TJournalKind Kind = jkFile;
    std::string Url;
    std::int64_t Total = -1; // the file's size, -1 unknown (file only)
    std::string ETag;        // validators of the file's first answer (file only)
    std::string LastModified;
    std::string Fingerprint;                       // stream only: lower-case hex SHA-256 of the segment list
    std::vector<TJournalPiece> Pieces;             // file only; any number
    std::vector<std::vector<std::int64_t>> Tracks; // stream only: per track file, the end offset of each segment
    // Per part file (0: .part, 1: .audio.part): block index -> lower-case hex SHA-256 of the block.
    std::vector<std::map<std::int64_t, std::string>> Blocks;
    std::vector<TSpanMap> Spans; // per part file, as Blocks
    bool operator==(const TResumeJournal&) const = default;
};

// nullopt when the file is missing, of the old "clipwarden-part 1" format, of another version, larger
// than 64 MiB, damaged or contradictory in any way; *why then says why in a short phrase for the log.
std::optional<TResumeJournal> ReadJournal(const std::string& path, std::string* why = nullptr);
// Written to "<path>.tmp", flushed to the disk and renamed over path: a crash leaves the old journal
// or the new one, never half of one. Line breaks in the strings are dropped. Raises Exception
// ("Cannot write <path>: <reason>") when the file cannot be written, and also for a journal that
// ReadJournal would refuse (overlapping pieces, a hash that is not 64 hex digits, ...), so that a
// journal once written is always read back as it was.
void WriteJournal(const std::string& path, const TResumeJournal& j);

// A set of byte offsets kept as sorted, disjoint, non-adjacent half-open ranges [Start, End).
class TByteSet {
public:
    struct TRange {
        std::int64_t Start = 0;
        std::int64_t End = 0;
        bool operator==(const TRange&) const = default;
    };

    TByteSet() = default;
    TByteSet(std::int64_t start, std::int64_t end) { Add(start, end); }

    // Ranges with end <= start are empty: adding or subtracting one changes nothing.
    void Add(std::int64_t start, std::int64_t end);
    void Subtract(std::int64_t start, std::int64_t end);
    // Whether every byte of [start, end) is in the set (true for an empty range).
    bool Contains(std::int64_t start, std::int64_t end) const;
    TByteSet Intersect(const TByteSet& other) const;
    TByteSet Intersect(std::int64_t start, std::int64_t end) const;
    // The end of the run of bytes that starts at offset; offset itself when it is not in the set.
    std::int64_t RunEnd(std::int64_t offset) const;

    bool Empty() const { return FRanges.empty(); }
    const std::vector<TRange>& Ranges() const { return FRanges; }
    std::vector<TRange>::const_iterator begin() const { return FRanges.begin(); }
    std::vector<TRange>::const_iterator end() const { return FRanges.end(); }
    bool operator==(const TByteSet&) const = default;

private:
    std::vector<TRange> FRanges;
};

// Bytes [i * JournalBlockBytes, (i + 1) * JournalBlockBytes) of a part file, cut at total when the
// total is known (>= 0). A block is finished when all of these bytes are there: with the total
// unknown only a full block can be finished. total must stay the same for the life of a journal
// (streams, which grow, pass -1), since a block's hash covers exactly this range.

// Makes blocks hold the hash of every finished block of have, reading the bytes back from partPath
// (with pread, a bounded buffer at a time). Blocks already in the map are not read again; the hash
// of a block that is not finished in have is dropped, so a block fetched again after a mismatch
// gets a fresh hash once it is whole. Raises Exception ("Cannot read <path>: <reason>") when the
// file cannot be read or ends before a finished block does; hashes made until then are kept.
void HashFinishedBlocks(const std::string& partPath, const TByteSet& have, std::int64_t total,
                        std::map<std::int64_t, std::string>& blocks);

// HashFinishedBlocks, and makes spans hold the hash of every run of have that lies inside a block
// that is not finished (one span per run and block). A span already there for exactly the same
// bytes is not read again; spans of runs that are gone or grew are dropped or made anew. Raises as
// HashFinishedBlocks.
void HashKeptBytes(const std::string& partPath, const TByteSet& have, std::int64_t total,
                   std::map<std::int64_t, std::string>& blocks, TSpanMap& spans);

// What of claimed can be trusted in partPath: claimed cut to the file's real size (and to total),
// less every finished block that does not match its hash, cannot be read or has no hash (every
// finished block is hashed before a journal is written, so a missing hash means damage). Of a
// block that is claimed only in part (the edge of a piece, the end of a stream) only the bytes of
// spans that match their hash are kept: no byte is trusted on the file's size alone. Each loss
// adds one plain line to log. Never raises: what cannot be read is not trusted.
TByteSet VerifiedBytes(const std::string& partPath, const TByteSet& claimed,
                       const std::map<std::int64_t, std::string>& blocks, const TSpanMap& spans, std::int64_t total,
                       std::vector<std::string>& log);

// The pieces a resumed file fetches, sorted by Start: every piece (s, p, e) has [s, p) entirely in
// verified and [p, e) to fetch, and together they cover [0, total) (gaps between the journal's
// pieces become pieces of their own with nothing received). A piece received only in part is split
// at each hole. With the total unknown, the single piece (0, p, -1) keeps the verified bytes from 0.
// nullopt (start the file over, *why says why) for overlapping or malformed pieces, or more than one
// piece of a file of unknown size.
std::optional<std::vector<TJournalPiece>> ResumePieces(std::int64_t total, const std::vector<TJournalPiece>& pieces,
                                                       const TByteSet& verified, std::string* why = nullptr);

// How many leading segments of a stream track lie entirely in verified bytes from offset 0, segment
// k covering [segmentEnds[k - 1], segmentEnds[k]) (the first from 0). Counting stops at an end lower
// than the one before.
std::size_t IntactSegments(const std::vector<std::int64_t>& segmentEnds, const TByteSet& verified);

// SHA-256 as 64 lower-case hex digits.
std::string Sha256Hex(const void* data, std::size_t n);
std::string Sha256Hex(std::string_view text);

// SHA-256 of data fed in parts (a stream's segment list, a block read a buffer at a time).
class TSha256 {
public:
    TSha256();
    ~TSha256();
    TSha256(const TSha256&) = delete;
    TSha256& operator=(const TSha256&) = delete;

    void Update(const void* data, std::size_t n);
    void Update(std::string_view text) { Update(text.data(), text.size()); }
    // The digest of everything fed so far as 64 lower-case hex digits; the object then starts over.
    std::string HexDigest();

private:
    evp_md_ctx_st* FContext;
};

} // namespace cw
