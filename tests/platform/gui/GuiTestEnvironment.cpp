// The widget tests need one QApplication for the whole binary.
#include "support/gui/GuiTestEnvironment.h"

namespace {

const bool kApplication = cwtest::AddGuiApplicationEnvironment("test_platform_gui");

} // namespace
