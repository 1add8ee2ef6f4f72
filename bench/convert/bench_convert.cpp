// Converts one clip with one preset twice per round: through TConvertProcess (pipes, reader
// thread, scanning, records) and with the converter started directly from a shell. Prints both
// wall times, their ratio, and the CPU time the runner's own process spent while the child
// worked (the reader must sleep, not spin).
//
//   bench_convert [--preset N] [--seconds S] [--rounds R] [--input FILE]

#include "convert/ConvertThread.h"
#include "convert/FormatPresets.h"
#include "platform/Application.h"
#include "platform/MessageBox.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double CpuSeconds(int who = RUSAGE_SELF)
{
    rusage ru{};
    ::getrusage(who, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

std::string ShellQuote(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct RunnerResult {
    double Wall = 0;
    double Cpu = 0;
    double ChildCpu = 0;
    int Progress = 0;
    int ExitCode = -1;
};

RunnerResult ConvertWithRunner(cw::TConvertProcess& runner, const std::string& in, const std::string& out, int preset)
{
    RunnerResult r;
    bool finished = false;
    cw::MessageWindow sink([&](cw::TMessage& m) {
        if (m.Msg != cw::WM_CONVERT_PROGRESS)
            return;
        auto* info = reinterpret_cast<cw::TProcessInfo*>(m.LParam);
        if (info->Finished()) {
            finished = true;
            r.ExitCode = info->ExitCode;
        } else {
            ++r.Progress;
        }
        delete info;
    });
    runner.Window = sink.Handle();
    runner.Active = true;
    runner.InputFile = in;
    runner.OutputFile = out;
    runner.Arguments = cw::FormatArguments(preset);
    const double cpu0 = CpuSeconds();
    const double child0 = CpuSeconds(RUSAGE_CHILDREN);
    const double t0 = Now();
    runner.Start();
    while (!finished)
        cw::Application::HandleMessage();
    r.Wall = Now() - t0;
    r.Cpu = CpuSeconds() - cpu0;
    r.ChildCpu = CpuSeconds(RUSAGE_CHILDREN) - child0;
    runner.Stop(0);
    return r;
}

double ConvertDirectly(const std::string& in, const std::string& out, int preset, double& childCpu)
{
    std::string cmd;
    for (const std::string& a : cw::TConvertProcess::BuildArgumentVector(in, out, cw::FormatArguments(preset), true))
        cmd += ShellQuote(a) + " ";
    cmd += "</dev/null >/dev/null 2>&1";
    const double child0 = CpuSeconds(RUSAGE_CHILDREN);
    const double t0 = Now();
    int rc = std::system(cmd.c_str());
    const double wall = Now() - t0;
    childCpu = CpuSeconds(RUSAGE_CHILDREN) - child0;
    if (rc != 0)
        std::fprintf(stderr, "direct conversion failed (%d): %s\n", rc, cmd.c_str());
    return wall;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int preset = 0, seconds = 60, rounds = 3;
    std::string input;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--preset"))
            preset = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--rounds"))
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--input"))
            input = argv[i + 1];
    }
    if (preset < 0 || preset >= cw::FormatPresetCount) {
        std::fprintf(stderr, "preset must be 0..%d\n", cw::FormatPresetCount - 1);
        return 2;
    }
    // Outputs are overwritten on purpose: answer the question with Yes.
    cw::SetMessageBoxHandler([](const std::string&, const std::string&, unsigned) { return cw::IDYES; });

    QTemporaryDir dir;
    if (input.empty()) {
        input = dir.filePath("clip.flv").toStdString();
        std::string make = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=480x360:rate=25:duration=" +
                           std::to_string(seconds) +
                           " -f lavfi -i sine=frequency=440:duration=" + std::to_string(seconds) +
                           " -shortest -c:v flv -c:a libmp3lame -ar 22050 " + ShellQuote(input) + " </dev/null";
        if (std::system(make.c_str()) != 0) {
            std::fprintf(stderr, "could not create the clip\n");
            return 1;
        }
    }
    const std::string ext = cw::FormatExtension(cw::FormatCaptions()[preset]);
    const std::string outRunner = dir.filePath("runner").toStdString() + ext;
    const std::string outDirect = dir.filePath("direct").toStdString() + ext;

    std::printf("preset %d \"%s\", %d s clip, %d rounds (runner and direct alternate)\n", preset,
                cw::FormatCaptions()[preset].c_str(), seconds, rounds);
    cw::TConvertProcess runner;
    std::vector<double> runnerWall, directWall, cpu;
    for (int i = 0; i < rounds; ++i) {
        RunnerResult r = ConvertWithRunner(runner, input, outRunner, preset);
        double directChildCpu = 0;
        double d = ConvertDirectly(input, outDirect, preset, directChildCpu);
        std::printf("round %d: runner %.3f s (exit %d, %d progress records, own CPU %.3f s, converter CPU %.3f s), "
                    "direct %.3f s (converter CPU %.3f s)\n",
                    i + 1, r.Wall, r.ExitCode, r.Progress, r.Cpu, r.ChildCpu, d, directChildCpu);
        runnerWall.push_back(r.Wall);
        directWall.push_back(d);
        cpu.push_back(r.Cpu);
    }
    const double rw = Median(runnerWall), dw = Median(directWall), c = Median(cpu);
    std::printf("median runner  %.3f s\n", rw);
    std::printf("median direct  %.3f s\n", dw);
    std::printf("ratio          %.3f (goal <= 1.05)\n", rw / dw);
    std::printf("runner CPU     %.3f s while the child ran (%.2f%% of the wall time)\n", c, 100.0 * c / rw);
    // One tab-separated line for bench/run-all.sh: benchmark, ours, reference, ratio, goal.
    std::printf(
        "SUMMARY\tconvert: %d s clip, preset %d, median wall time\t%.3f s\tffmpeg alone %.3f s\t%.3f\t<= 1.05\n",
        seconds, preset, rw, dw, rw / dw);
    return 0;
}
