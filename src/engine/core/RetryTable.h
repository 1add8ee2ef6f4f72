#pragma once
// The pauses before a request that failed is asked for again, one try after each: the one
// table every download of a run takes (files, segments, playlists, keys, indexes, subtitles).

#include <cstdint>
#include <vector>

namespace cw {

inline std::vector<std::uint32_t> DefaultRetryDelaysMs()
{
    return {1000, 2000, 4000, 8000, 16000};
}

// The pauses for a given number of tries after the first (negative: the default table): the
// table's own, then its longest pause again for every try past its end.
inline std::vector<std::uint32_t> RetryDelaysFor(int tries)
{
    std::vector<std::uint32_t> table = DefaultRetryDelaysMs();
    if (tries < 0)
        return table;
    const std::uint32_t longest = table.back();
    table.resize(static_cast<std::size_t>(tries), longest);
    return table;
}

} // namespace cw
