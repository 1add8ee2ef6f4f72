#pragma once
// The unfinished download of an item. Bytes go into "<final path>.part"; only a complete body is
// renamed to the final path, so a file under its final name is always whole. Beside the .part,
// "<final path>.part.meta" keeps what the first answer said about the resource (its address,
// total size and validators), so that a later run resumes the .part only when the server
// confirms it still serves the same bytes.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cw {

std::string PartPathOf(const std::string& finalPath);     // "<final>.part"
std::string PartMetaPathOf(const std::string& finalPath); // "<final>.part.meta"

// One piece of a file fetched over several connections: bytes [Start, End), of which
// [Start, Pos) are in the .part.
struct TPartRange {
    std::int64_t Start = 0;
    std::int64_t Pos = 0;
    std::int64_t End = 0;
};

struct TPartMeta {
    std::string Url;
    std::int64_t Total = -1; // the whole resource in bytes, -1 when the answer did not say
    std::string ETag;
    std::string LastModified;
    // Empty for a file fetched on one connection (its .part holds bytes [0, size)).
    std::vector<TPartRange> Ranges;
};

// nullopt when the file is missing or not a meta file of ours.
std::optional<TPartMeta> ReadPartMeta(const std::string& metaPath);
// Written to a temporary name and renamed over metaPath: a crash leaves the old file or the new
// one, never half of one. Raises Exception when it cannot be written.
void WritePartMeta(const std::string& metaPath, const TPartMeta& meta);

// "bytes 100-199/1000" → {100, 199, 1000}; total -1 for "*". nullopt for anything else.
struct TContentRange {
    std::int64_t First = 0;
    std::int64_t Last = 0;
    std::int64_t Total = -1;
};
std::optional<TContentRange> ParseContentRange(const std::string& value);

// Whether a 206 answer to "Range: bytes=offset-" continues the bytes already kept: it must start
// at offset, and where the first answer named a total size or validators, name the same ones.
// Without any validator known, the address must be the same too.
bool ContinuesPart(const TPartMeta& kept, std::int64_t offset, const std::string& url, const std::string& contentRange,
                   const std::string& etag, const std::string& lastModified);

// Size of a regular file, -1 when there is none.
std::int64_t RegularFileSize(const std::string& path);
// rename(2) over target; raises Exception ("Cannot create file "target". reason").
void ReplaceFile(const std::string& source, const std::string& target);
// Removes the file if it is there; false only when it is there and could not be removed.
bool RemoveFileIfAny(const std::string& path);

} // namespace cw
