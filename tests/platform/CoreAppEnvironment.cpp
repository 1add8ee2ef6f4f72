// Posted messages, threads' blocking calls and child-process waits need an application object:
// one QCoreApplication for the whole binary.
#include "support/QtTestEnvironment.h"

namespace {

const bool kApplication = cwtest::AddCoreApplicationEnvironment("test_platform");

} // namespace
