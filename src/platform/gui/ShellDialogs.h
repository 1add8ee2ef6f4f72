#pragma once
// The real shell services behind cw::Shell: the desktop's default program for folders and web
// addresses (QDesktopServices), and the toolkit's folder and file choosers, owned by the active
// window and centred on it.

#include <optional>
#include <string>
#include <vector>

namespace cw::ShellDialogs {

// An existing path opens as a local folder or file; anything else is taken as an address
// ("www.example.org" becomes an http address). False when nothing could be opened.
bool Open(const std::string& target);

// Folders only; the chosen folder's path, or nullopt when cancelled.
std::optional<std::string> ChooseFolder(const std::string& title);

// Several existing files may be chosen. filter is in the classic "Text|pattern|..." form
// (Shell::FilterToQt maps it); the first entry is preselected and the name box starts empty.
// The chosen paths in the dialog's order; empty when cancelled.
std::vector<std::string> ChooseFiles(const std::string& title, const std::string& filter);

// Install the three as cw::Shell's handlers.
void InstallHandlers();

} // namespace cw::ShellDialogs
