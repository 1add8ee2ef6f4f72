// Peak memory of reading a DASH manifest of a few hundred bytes that describes a million
// segments, once by a SegmentTemplate with a duration and once by a SegmentTimeline with one
// repeated S. Each manifest is read in a child process of its own, so each peak is its own;
// a child that only builds the text gives the floor the others are compared with. Prints the
// peak of each, the time each read takes, and a SUMMARY line for bench/run-all.sh.
//
//   bench_manifest [--segments N]     (default 1000000)

#include "engine/streams/DashManifest.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace cw;

namespace {

std::string Manifest(bool timeline, std::int64_t segments)
{
    const std::string body =
        timeline ? "<SegmentTemplate timescale=\"1000\" media=\"v/$RepresentationID$/$Time$.m4s\" "
                   "initialization=\"v/$RepresentationID$/init.mp4\"><SegmentTimeline><S t=\"0\" d=\"2000\" r=\"" +
                       std::to_string(segments - 1) + "\"/></SegmentTimeline></SegmentTemplate>"
                 : "<SegmentTemplate timescale=\"1000\" duration=\"2000\" startNumber=\"1\" "
                   "media=\"v/$RepresentationID$/$Number%06d$.m4s\" initialization=\"v/$RepresentationID$/init.mp4\"/>";
    return "<?xml version=\"1.0\"?>\n<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" type=\"static\" "
           "mediaPresentationDuration=\"PT" +
           std::to_string(segments * 2) + "S\"><Period><AdaptationSet mimeType=\"video/mp4\">" + body +
           "<Representation id=\"720\" bandwidth=\"3000000\" height=\"720\"/></AdaptationSet></Period></MPD>\n";
}

std::int64_t SegmentCount(const TDashManifest& m)
{
    std::int64_t n = 0;
    for (const TDashPeriod& p : m.Periods)
        for (const TDashRepresentation& r : p.Representations)
            n += static_cast<std::int64_t>(r.Segments.Count());
    return n;
}

struct TPeak {
    long KiB = 0;
    double Ms = 0;
    bool Ok = false;
};

// mode 0: only the text; 1: a template with a duration; 2: a timeline.
TPeak Measure(int mode, std::int64_t segments)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        std::exit(2);
    const pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        const std::string text = Manifest(mode == 2, segments);
        double ms = 0;
        bool ok = true;
        if (mode != 0) {
            const auto start = std::chrono::steady_clock::now();
            const TDashParse r = ParseDashManifest(text, "https://cdn.example.com/clip/manifest.mpd");
            ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            ok = r.Ok() && SegmentCount(r.Manifest) == segments;
            if (!r.Ok())
                std::fprintf(stderr, "line %d: %s\n", r.Line, r.Error.c_str());
        }
        const char answer[2] = {static_cast<char>(ok ? 1 : 0), 0};
        ssize_t unused = write(pipeEnds[1], answer, 1);
        unused = write(pipeEnds[1], &ms, sizeof ms);
        (void)unused;
        _exit(0);
    }
    close(pipeEnds[1]);
    TPeak peak;
    char ok = 0;
    if (read(pipeEnds[0], &ok, 1) == 1 && read(pipeEnds[0], &peak.Ms, sizeof peak.Ms) == sizeof peak.Ms)
        peak.Ok = ok == 1;
    close(pipeEnds[0]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    peak.KiB = usage.ru_maxrss;
    return peak;
}

} // namespace

int main(int argc, char** argv)
{
    std::int64_t segments = 1000000;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--segments") == 0 && i + 1 < argc)
            segments = std::atoll(argv[++i]);
    if (segments < 1) {
        std::fprintf(stderr, "usage: bench_manifest [--segments N]   (N >= 1)\n");
        return 2;
    }
    const TPeak floor = Measure(0, segments);
    const TPeak tpl = Measure(1, segments);
    const TPeak timeline = Measure(2, segments);
    std::printf("a manifest of %lld segments (%zu bytes as a template, %zu as a timeline)\n",
                static_cast<long long>(segments), Manifest(false, segments).size(), Manifest(true, segments).size());
    std::printf("  process without a manifest read   peak %8ld KiB\n", floor.KiB);
    std::printf("  SegmentTemplate with a duration   peak %8ld KiB   read in %8.2f ms%s\n", tpl.KiB, tpl.Ms,
                tpl.Ok ? "" : "   (failed)");
    std::printf("  SegmentTimeline, one S repeated   peak %8ld KiB   read in %8.2f ms%s\n", timeline.KiB, timeline.Ms,
                timeline.Ok ? "" : "   (failed)");
    const long worst = std::max(tpl.KiB, timeline.KiB) - floor.KiB;
    std::printf("SUMMARY\tmanifest: %lld segments read, memory above the process's own\t%ld KiB\t-\t-\tunder 4096\n",
                static_cast<long long>(segments), worst);
    return tpl.Ok && timeline.Ok ? 0 : 1;
}
