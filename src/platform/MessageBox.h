#pragma once
// The one function every message box of the program goes through. The real dialog is installed
// by platform/gui at start-up; tests install a recorder that notes each call and answers it,
// so no test ever blocks on a dialog. Without any handler (a console program), the text goes
// to standard error and the box's default button is the answer.

#include <functional>
#include <string>

namespace cw {

// Flags, combined with |. Values as the classic message-box flags, so they can be compared.
constexpr unsigned MB_OK = 0x0000;
constexpr unsigned MB_YESNO = 0x0004;
constexpr unsigned MB_ICONERROR = 0x0010;
constexpr unsigned MB_ICONQUESTION = 0x0020;
constexpr unsigned MB_ICONWARNING = 0x0030;
constexpr unsigned MB_ICONINFORMATION = 0x0040;
constexpr unsigned MB_DEFBUTTON2 = 0x0100;
constexpr unsigned MB_BUTTONMASK = 0x000F;
constexpr unsigned MB_ICONMASK = 0x00F0;

// Answers.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

using MessageBoxHandler = std::function<int(const std::string& text, const std::string& caption, unsigned flags)>;

// Show a box and return the button pressed.
int MessageBox(const std::string& text, const std::string& caption, unsigned flags);

// The box's default answer: IDOK for OK boxes; IDYES, or IDNO with MB_DEFBUTTON2, for Yes/No.
int DefaultAnswer(unsigned flags);

// Install a handler; returns the previous one so it can be put back. It also takes the place of
// any asynchronous handler: whoever answers boxes now answers both kinds.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

// A box that does not wait: it opens and returns at once, and done gets the button pressed
// later, from the event loop, never inside this call. The window's questions during a run are
// asked this way, so the run goes on (other items, Stop) while the box is open. Without an
// asynchronous handler the synchronous one answers, and done still comes from the loop.
using MessageBoxDone = std::function<void(int answer)>;
using AsyncMessageBoxHandler =
    std::function<void(const std::string& text, const std::string& caption, unsigned flags, MessageBoxDone done)>;
void OpenMessageBox(const std::string& text, const std::string& caption, unsigned flags, MessageBoxDone done);
void SetAsyncMessageBoxHandler(AsyncMessageBoxHandler handler);

} // namespace cw
