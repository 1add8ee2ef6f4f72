// The page engine runs on posted messages: one application object for the whole binary.
#include <QCoreApplication>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>

namespace {

class BrowserEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        std::signal(SIGPIPE, SIG_IGN);
        static int argc = 1;
        static char name[] = "test_browser";
        static char* argv[] = {name, nullptr};
        FApp = std::make_unique<QCoreApplication>(argc, argv);
    }
    void TearDown() override { FApp.reset(); }

private:
    std::unique_ptr<QCoreApplication> FApp;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new BrowserEnvironment);

} // namespace
