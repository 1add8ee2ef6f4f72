// Compiled into every test binary by cw_test (tests/CMakeLists.txt): registers the one
// application object the binary's tests run under. The build says which kind: CW_TEST_GUI for a
// QApplication on the offscreen platform, else a QCoreApplication; CW_TEST_IGNORE_SIGPIPE for the
// binaries whose scripted peers close while the other side writes.
#include "support/QtTestEnvironment.h"
#if CW_TEST_GUI
#include "support/gui/GuiTestEnvironment.h"
#endif

namespace {

constexpr cwtest::SigPipe kSigPipe = CW_TEST_IGNORE_SIGPIPE ? cwtest::SigPipe::Ignore : cwtest::SigPipe::Default;

#if CW_TEST_GUI
const bool kApplication = cwtest::AddGuiApplicationEnvironment(CW_TEST_NAME, kSigPipe);
#else
const bool kApplication = cwtest::AddCoreApplicationEnvironment(CW_TEST_NAME, kSigPipe);
#endif

} // namespace
