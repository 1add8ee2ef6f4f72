#include "support/QtTestEnvironment.h"

#include <QCoreApplication>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <utility>

namespace cwtest {
namespace {

class ApplicationEnvironment : public ::testing::Environment {
public:
    ApplicationEnvironment(const char* name, SigPipe sigPipe, ApplicationMaker make)
        : FName(name), FSigPipe(sigPipe), FMake(std::move(make))
    {
    }

    void SetUp() override
    {
        if (FSigPipe == SigPipe::Ignore)
            std::signal(SIGPIPE, SIG_IGN);
        if (QCoreApplication::instance())
            return;
        FArgv[0] = FName.data();
        FApp = FMake(FArgc, FArgv);
    }
    void TearDown() override { FApp.reset(); }

private:
    // The application keeps references to argc and argv: they live as long as it does.
    std::string FName;
    SigPipe FSigPipe;
    ApplicationMaker FMake;
    int FArgc = 1;
    char* FArgv[2] = {nullptr, nullptr};
    std::unique_ptr<QCoreApplication> FApp;
};

} // namespace

bool AddApplicationEnvironment(const char* name, SigPipe sigPipe, ApplicationMaker make)
{
    ::testing::AddGlobalTestEnvironment(new ApplicationEnvironment(name, sigPipe, std::move(make)));
    return true;
}

bool AddCoreApplicationEnvironment(const char* name, SigPipe sigPipe)
{
    return AddApplicationEnvironment(
        name, sigPipe, [](int& argc, char** argv) { return std::make_unique<QCoreApplication>(argc, argv); });
}

} // namespace cwtest
