#pragma once
// The real message box behind cw::MessageBox: a QMessageBox owned by the active window (so it
// stays above it and the rest of the program waits), with the icon, the buttons and the default
// button the flags ask for. The text is shown as plain text; CR LF line breaks become breaks.

#include "platform/MessageBox.h"

#include <string>

namespace cw {

// Show one box now and return IDOK, IDYES or IDNO (IDCANCEL for an OK/Cancel box that was
// cancelled). A Yes/No box closed without an answer counts as No.
int ShowMessageBoxDialog(const std::string& text, const std::string& caption, unsigned flags);

// The same box modal to its window only and without a loop of its own: it returns at once and
// done gets the answer when the box is closed.
void OpenMessageBoxDialog(const std::string& text, const std::string& caption, unsigned flags, MessageBoxDone done);

// Make ShowMessageBoxDialog the handler of cw::MessageBox, OpenMessageBoxDialog that of
// cw::OpenMessageBox.
void InstallMessageBoxDialog();

} // namespace cw
