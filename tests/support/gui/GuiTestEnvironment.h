#pragma once
// The widget tests' application object: one QApplication for the whole binary, registered the
// way support/QtTestEnvironment.h describes.

#include "support/QtTestEnvironment.h"

namespace cwtest {

// QT_QPA_PLATFORM=offscreen is set by the test runner; it is set here too (unless it names
// another platform) so the binary also runs on its own from a shell without a display. Closing
// the last window does not quit: tests open and close windows one after another.
bool AddGuiApplicationEnvironment(const char* name, SigPipe sigPipe = SigPipe::Default);

} // namespace cwtest
