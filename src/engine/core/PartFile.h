#pragma once
// The unfinished download of an item. Bytes go into "<final path>.part"; only a complete body is
// renamed to the final path, so a file under its final name is always whole. Beside the .part,
// "<final path>.part.meta" is its resume journal (ResumeJournal.h).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cw {

std::string PartPathOf(const std::string& finalPath);     // "<final>.part"
std::string PartMetaPathOf(const std::string& finalPath); // "<final>.part.meta"

// "bytes 100-199/1000" → {100, 199, 1000}; total -1 for "*". nullopt for anything else.
struct TContentRange {
    std::int64_t First = 0;
    std::int64_t Last = 0;
    std::int64_t Total = -1;
};
std::optional<TContentRange> ParseContentRange(const std::string& value);

// Size of a regular file, -1 when there is none (a symbolic link is none, whatever it leads to).
std::int64_t RegularFileSize(const std::string& path);
// rename(2) over target; raises Exception ("Cannot create file "target". reason").
void ReplaceFile(const std::string& source, const std::string& target);
// Removes the file if it is there; false only when it is there and could not be removed.
bool RemoveFileIfAny(const std::string& path);
// Removes a symbolic link or special file planted where a part file goes (the link itself, never
// what it leads to), with a line in the log; true when it removed one.
bool RemoveIfNotRegular(const std::string& path);

} // namespace cw
