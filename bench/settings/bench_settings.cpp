// Time to read the program's settings at start (six reads) and to write them when the window
// closes (six writes and one file update), on a settings.ini padded with other sections and
// keys to a given size. Both should grow linearly with the file and stay a small multiple of
// the time it takes just to read the file once.
//
//   bench_settings [--mb N] [--rounds R]   file size in MB (default 200), timed rounds (default 3)

#include "platform/IniFile.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace cw;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

void Pad(const std::string& path, std::size_t bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << "[Options]\nOutputDirectory=/home/me/Videos\nRadioButton=1\nConvertFormat=3\n";
    std::size_t written = 0;
    for (std::size_t section = 0; written < bytes; ++section) {
        std::string block = "\n[Pad" + std::to_string(section) + "]\n";
        for (int k = 0; k < 1000; ++k)
            block += "Key" + std::to_string(k) + "=some value of moderate length, " + std::to_string(section) + "\n";
        out << block;
        written += block.size();
    }
    out << "\n[Copy]\nEnable=1\n";
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::size_t mb = 200;
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--mb"))
            mb = static_cast<std::size_t>(std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--rounds"))
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    char dir[] = "/tmp/cw-bench-settings-XXXXXX";
    if (!::mkdtemp(dir))
        return 1;
    const std::string path = std::string(dir) + "/settings.ini";
    Pad(path, mb * 1024 * 1024);
    const auto size = std::filesystem::file_size(path);

    std::vector<double> plain, load, save;
    for (int r = 0; r < rounds; ++r) {
        auto t = Clock::now();
        {
            std::ifstream in(path, std::ios::binary);
            std::vector<char> buf(1 << 20);
            while (in.read(buf.data(), static_cast<std::streamsize>(buf.size())) || in.gcount() > 0) {
            }
        }
        plain.push_back(Seconds(t));

        t = Clock::now();
        int sum = 0;
        {
            TIniFile ini(path);
            sum += static_cast<int>(ini.ReadString("Options", "OutputDirectory", "").size());
            sum += ini.ReadInteger("Options", "RadioButton", 0);
            sum += ini.ReadInteger("Options", "ConvertFormat", 0);
            sum += ini.ReadBool("Copy", "Enable", false);
            sum += ini.ReadBool("Options", "AskAddUrl", false);
            sum += ini.ReadInteger("Options", "Quality", 0);
        }
        load.push_back(Seconds(t));

        t = Clock::now();
        {
            TIniFile ini(path);
            ini.WriteString("Options", "OutputDirectory", "/home/me/Videos");
            ini.WriteInteger("Options", "RadioButton", 1 + r % 2);
            ini.WriteInteger("Options", "ConvertFormat", 3);
            ini.WriteBool("Copy", "Enable", true);
            ini.WriteBool("Options", "AskAddUrl", r % 2);
            ini.WriteInteger("Options", "Quality", 2);
            ini.UpdateFile();
        }
        save.push_back(Seconds(t));
        if (sum < 0)
            std::puts("");
    }
    std::printf("settings.ini of %.1f MB, median of %d rounds\n", static_cast<double>(size) / 1048576.0, rounds);
    std::printf("  reading the file once:          %8.3f s\n", Median(plain));
    std::printf("  start (load + 6 reads):         %8.3f s\n", Median(load));
    std::printf("  close (load + 6 writes + save): %8.3f s\n", Median(save));
    const double mbText = static_cast<double>(size) / 1048576.0;
    std::printf("SUMMARY\tsettings: start on a %.0f MB settings.ini\t%.3f s\tone read: %.3f s\t%.1f\tunder 20\n",
                mbText, Median(load), Median(plain), Median(load) / Median(plain));
    std::printf("SUMMARY\tsettings: close on a %.0f MB settings.ini\t%.3f s\tone read: %.3f s\t%.1f\tunder 60 (one "
                "atomic write)\n",
                mbText, Median(save), Median(plain), Median(save) / Median(plain));
    std::filesystem::remove_all(dir);
    return 0;
}
