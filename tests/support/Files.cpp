#include "support/Files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace cwtest {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "<missing>";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

TempDir::TempDir(const std::string& prefix)
{
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    FPath = buf.data();
    // Servers that drop privileges must still reach their configuration.
    ::chmod(FPath.c_str(), 0755);
}

TempDir::~TempDir()
{
    std::error_code ec;
    fs::remove_all(FPath, ec);
}

std::string TempDir::Write(const std::string& name, const std::string& content) const
{
    std::string path = File(name);
    fs::create_directories(fs::path(path).parent_path());
    WriteFile(path, content);
    return path;
}

std::string MakeClip(const std::string& path, int seconds, const std::string& size)
{
    const std::string cmd = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=" + size +
                            ":rate=25:duration=" + std::to_string(seconds) +
                            " -f lavfi -i sine=frequency=440:duration=" + std::to_string(seconds) +
                            " -shortest -c:v flv -c:a libmp3lame -ar 22050 '" + path + "' </dev/null";
    if (std::system(cmd.c_str()) != 0)
        ADD_FAILURE() << "could not create the test clip: " << cmd;
    return path;
}

} // namespace cwtest
