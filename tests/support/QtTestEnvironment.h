#pragma once
// One application object for a whole test binary: made before the first test (unless the binary
// has one already) and destroyed after the last. Every binary registers it the same way:
// support/binary/TestApplication.cpp, compiled into each binary by cw_test, calls
// AddCoreApplicationEnvironment or, for widget tests, AddGuiApplicationEnvironment (support/gui)
// from a namespace-scope initialiser. The call is what links this code in; a registration left
// alone in a library object would be dropped by the linker.

#include <functional>
#include <memory>

class QCoreApplication;

namespace cwtest {

// Whether writing to a closed pipe or socket may kill the test run. Binaries whose scripted
// peers close while the other side writes ignore it; the rest keep the default, as the program
// does, so a write that would kill the program also fails the tests loudly.
enum class SigPipe { Default, Ignore };

// A QCoreApplication, for code that runs on posted messages and socket notifications.
bool AddCoreApplicationEnvironment(const char* name, SigPipe sigPipe = SigPipe::Default);

// Any kind of application object, made by make(argc, argv); argc and argv outlive it.
using ApplicationMaker = std::function<std::unique_ptr<QCoreApplication>(int& argc, char** argv)>;
bool AddApplicationEnvironment(const char* name, SigPipe sigPipe, ApplicationMaker make);

} // namespace cwtest
