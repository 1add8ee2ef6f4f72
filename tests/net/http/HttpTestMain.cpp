// The HTTP client runs on posted messages: every test in this binary needs an application
// object. gtest_main provides main(); this environment creates the application before the
// first test and keeps it for the whole run.

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <csignal>
#include <memory>

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        // A peer that closes while we write must not kill the test run.
        std::signal(SIGPIPE, SIG_IGN);
        static int argc = 1;
        static char name[] = "test_http";
        static char* argv[] = {name, nullptr};
        FApp = std::make_unique<QCoreApplication>(argc, argv);
    }
    void TearDown() override { FApp.reset(); }

private:
    std::unique_ptr<QCoreApplication> FApp;
};

const auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

} // namespace
