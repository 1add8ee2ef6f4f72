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

// Where a saved file came from, kept with the file in the extended attribute
// user.xdg.origin.url (the freedesktop convention other download tools write too). Setting
// answers false where the file system keeps no such attributes; reading answers "" then, and
// for a file that has none.
bool SetFileOrigin(const std::string& path, const std::string& address);
std::string FileOrigin(const std::string& path);

} // namespace cw
