#pragma once
// Where the program keeps its settings file.
//
// A copy run from a folder of its own that the user can write to (a build folder, an unpacked
// archive on a stick) is portable: the file stands beside the executable, so it travels with
// it. An installed copy, or one in a folder the user cannot write to, keeps the file per user in
// $XDG_CONFIG_HOME/clipwarden/ (~/.config/clipwarden/ when the variable is unset or not an
// absolute path). An installed copy is recognised by its desktop entry in ../share/applications:
// even an administrator who could write to /usr/bin must not leave settings there.

#include <string>

namespace cw {

class SettingsLocation {
public:
    // The desktop entry's name that marks an installed copy.
    static constexpr const char* DesktopEntry = "net.ostrelle.Clipwarden.desktop";

    // True when the program in exeDir (with trailing separator) keeps its settings beside itself.
    static bool Portable(const std::string& exeDir);

    // The per-user folder, with trailing separator: $XDG_CONFIG_HOME/clipwarden/ or
    // $HOME/.config/clipwarden/.
    static std::string UserFolder();

    // The settings file named fileName for the program in exeDir: exeDir + fileName when
    // portable, else UserFolder() + fileName.
    static std::string FileName(const std::string& exeDir, const std::string& fileName);

    // The output folder offered when the settings name none: the executable's folder for a
    // portable copy (as always), else the user's videos folder (~/Videos) when it exists, else the
    // home folder, with trailing separator. An installed program's folder is no place for videos.
    static std::string DefaultOutputFolder(const std::string& exeDir);

    // Create the folder of filePath (and its parents) when it is missing. Throws Exception when
    // it cannot be made.
    static void PrepareFolder(const std::string& filePath);
};

} // namespace cw
