// The widget tests need one QApplication for the whole binary; it is made before the first test
// and lives until the end. QT_QPA_PLATFORM=offscreen is set by the test runner; set it here too
// so the binary also runs on its own from a shell without a display.
#include <QApplication>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {

class GuiEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "test_app";
        static char* argv[] = {name, nullptr};
        FApp = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void TearDown() override
    {
        delete FApp;
        FApp = nullptr;
    }

private:
    QApplication* FApp = nullptr;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new GuiEnvironment);

} // namespace
