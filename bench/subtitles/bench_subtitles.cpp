// Time to join a subtitle track's pieces into one WebVTT file. A track is built like the HLS
// subtitle renditions sites serve: pieces of a few seconds, each with an X-TIMESTAMP-MAP header,
// a handful of cues, and the cue that spans the boundary repeated at the start of the next
// piece. Tracks of 1 MB and of 5 MB (the most a subtitle may take) are joined; the time per
// join is printed for both side by side with their ratio, which should be close to 5.
//
//   bench_subtitles [--rounds N]     N timed joins per track (default 15); the median is shown

#include "engine/Subtitles.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace cw;

namespace {

// Pieces of 6 s, four cues each, until the track holds about bytes.
std::vector<std::string> Track(std::size_t bytes)
{
    std::vector<std::string> pieces;
    std::size_t total = 0;
    std::string carried; // the cue over the last boundary, repeated in the next piece
    for (std::int64_t start = 0; total < bytes; start += 6000) {
        std::string piece = "WEBVTT\nX-TIMESTAMP-MAP=MPEGTS:" + std::to_string(900000 + start * 90) +
                            ",LOCAL:" + FormatWebVttTime(start) + "\n\n" + carried;
        for (int k = 0; k < 4; ++k) {
            const std::int64_t at = start + k * 1500;
            piece += FormatWebVttTime(at) + " --> " + FormatWebVttTime(at + 1400) +
                     " line:85% align:center\n<v Speaker>Line " + std::to_string(at) +
                     " of the talk, with a few words more &amp; some markup <i>here</i></v>\n\n";
        }
        carried = FormatWebVttTime(start + 5800) + " --> " + FormatWebVttTime(start + 6400) + "\nAcross " +
                  std::to_string(start) + "\n\n";
        piece += carried;
        total += piece.size();
        pieces.push_back(std::move(piece));
    }
    return pieces;
}

template <typename Pass> double MedianMs(int rounds, Pass pass)
{
    std::vector<double> ms;
    for (int i = 0; i < rounds + 1; ++i) {
        auto start = std::chrono::steady_clock::now();
        pass();
        auto end = std::chrono::steady_clock::now();
        if (i > 0) // the first join warms the caches and the allocator
            ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

std::string Fixed(double value, int decimals = 3)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = 15;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
    constexpr std::size_t kMB = 1024 * 1024;
    // Under the bound: the joined file drops the repeats and the maps, so 5 MB of pieces fit.
    const std::vector<std::string> one = Track(1 * kMB), five = Track(5 * kMB - 64 * 1024);
    int cues1 = 0, cues5 = 0;
    bool ok = true;
    auto join = [&](const std::vector<std::string>& pieces, int& cues) {
        TWebVttJoin j;
        for (const std::string& p : pieces)
            ok = j.Add(p) && ok;
        cues = j.Cues();
    };
    const double t1 = MedianMs(rounds, [&] { join(one, cues1); });
    const double t5 = MedianMs(rounds, [&] { join(five, cues5); });
    std::printf("Joining a subtitle track, median of %d (ms per join)\n", rounds);
    std::printf("%-10s %8s %8s %12s\n", "track", "pieces", "cues", "ms");
    std::printf("%-10s %8zu %8d %12.3f\n", "1 MB", one.size(), cues1, t1);
    std::printf("%-10s %8zu %8d %12.3f\n", "5 MB", five.size(), cues5, t5);
    std::printf("ratio %.2f (linear: near 5)\n", t5 / t1);
    // Every piece joined, each boundary's cue once: five cues a piece.
    if (!ok || cues1 != static_cast<int>(one.size()) * 5 || cues5 != static_cast<int>(five.size()) * 5) {
        std::printf("the join lost pieces or cues\n");
        return 1;
    }
    std::printf("SUMMARY\tsubtitles: join of a 5 MB track\t%s ms\t1 MB: %s ms\t%s\tnear 5 (linear), far below 25\n",
                Fixed(t5).c_str(), Fixed(t1).c_str(), Fixed(t5 / t1, 2).c_str());
    return 0;
}
