// Posted messages need an application object: one QCoreApplication for the whole binary, made
// before the first test (unless another environment of this binary already made one) and
// destroyed after the last.
#include <QCoreApplication>
#include <gtest/gtest.h>

namespace {

class CoreAppEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (QCoreApplication::instance())
            return;
        static int argc = 1;
        static char name[] = "test_platform";
        static char* argv[] = {name, nullptr};
        FApp = new QCoreApplication(argc, argv);
    }
    void TearDown() override
    {
        delete FApp;
        FApp = nullptr;
    }

private:
    QCoreApplication* FApp = nullptr;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new CoreAppEnvironment);

} // namespace
