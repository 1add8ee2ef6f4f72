// The page engine runs on posted messages: one application object for the whole binary. A
// scripted server that closes while we write must not kill the test run.
#include "support/QtTestEnvironment.h"

namespace {

const bool kApplication = cwtest::AddCoreApplicationEnvironment("test_browser", cwtest::SigPipe::Ignore);

} // namespace
