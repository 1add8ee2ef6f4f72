#pragma once
// Shell services: open a folder or web address, choose a folder, choose files. Code below the
// widgets calls these; the GUI layer installs the real dialogs at start-up (InstallHandlers in
// platform/gui/ShellDialogs.h) and tests install their own answers. Without a handler, Open
// reports failure and the choosers answer "cancelled".

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace cw::Shell {

struct Handlers {
    // Open a folder path or an address with the desktop's default program; false on failure.
    std::function<bool(const std::string& target)> Open;
    // Folder chooser with a title; nullopt when cancelled.
    std::function<std::optional<std::string>(const std::string& title)> ChooseFolder;
    // File chooser allowing several files. filter is in the classic "Text|pattern|Text|pattern"
    // form; the handler maps it to the toolkit's own filter syntax. Empty when cancelled.
    std::function<std::vector<std::string>(const std::string& title, const std::string& filter)> ChooseFiles;
};

// Install handlers; returns the previous set so tests can put it back.
Handlers SetHandlers(Handlers handlers);

bool Open(const std::string& target);
std::optional<std::string> ChooseFolder(const std::string& title);
std::vector<std::string> ChooseFiles(const std::string& title, const std::string& filter);

// "Flv files(*.flv)|*.flv| Any file(*.*)|*.*" -> "Flv files(*.flv) (*.flv);; Any file(*.*) (*.*)"
std::string FilterToQt(const std::string& filter);

} // namespace cw::Shell
