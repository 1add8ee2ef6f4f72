#pragma once
// Files for tests: whole-file reads and writes, a temporary folder that removes itself, and a
// short video clip made by the real ffmpeg.

#include <string>

namespace cwtest {

// The whole content of a file; "<missing>" when it cannot be opened, so that a missing file
// never passes for an empty one.
std::string ReadFile(const std::string& path);
// Replace the file's content with data.
void WriteFile(const std::string& path, const std::string& data);

// A folder under $TMPDIR (or /tmp) removed with everything in it on destruction.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "cw-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return FPath; }
    // Path + "/" + name.
    std::string File(const std::string& name) const { return FPath + "/" + name; }
    // Write a file (whole content) below the folder, with any missing parent; returns its path.
    std::string Write(const std::string& name, const std::string& content) const;

private:
    std::string FPath;
};

// A short clip with picture and sound (flv, 25 frames/s) that every preset's codecs accept;
// returns path. A clip that cannot be made fails the test.
std::string MakeClip(const std::string& path, int seconds = 2, const std::string& size = "160x120");

} // namespace cwtest
