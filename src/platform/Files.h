#pragma once
// File-system queries shared by the windows and the converter. A path that cannot be examined
// (empty, missing, no permission) answers false: each caller then treats it as absent.

#include <string>

namespace cw {

// A file (anything but a folder) is at path.
bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// The folder together with every missing parent; false when it does not exist afterwards.
bool ForceDirectories(const std::string& path);

} // namespace cw
