// The HTTP client runs on posted messages: every test in this binary needs an application
// object. A peer that closes while we write must not kill the test run.
#include "support/QtTestEnvironment.h"

namespace {

const bool kApplication = cwtest::AddCoreApplicationEnvironment("test_http", cwtest::SigPipe::Ignore);

} // namespace
