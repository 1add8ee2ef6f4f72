#pragma once
// File-system queries shared by the windows and the converter. A path that cannot be examined
// (empty, missing, no permission) answers false: each caller then treats it as absent.

#include <string>

namespace cw {

// A file (anything but a folder) is at path.
bool FileExists(const std::string& path);
// A plain file is at path: no folder, pipe, device or socket.
bool RegularFileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// The folder together with every missing parent. Empty when it is there afterwards, else the
// system's reason.
std::string ForceDirectories(const std::string& path);

} // namespace cw
