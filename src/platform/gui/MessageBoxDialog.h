#pragma once
// The real message box behind cw::MessageBox: a QMessageBox owned by the active window (so it
// stays above it and the rest of the program waits), with the icon, the buttons and the default
// button the flags ask for. The text is shown as plain text; CR LF line breaks become breaks.

#include <string>

namespace cw {

// Show one box now and return IDOK, IDYES or IDNO (IDCANCEL for an OK/Cancel box that was
// cancelled). A Yes/No box closed without an answer counts as No.
int ShowMessageBoxDialog(const std::string& text, const std::string& caption, unsigned flags);

// Make ShowMessageBoxDialog the handler of cw::MessageBox.
void InstallMessageBoxDialog();

} // namespace cw
