#include "support/gui/GuiTestEnvironment.h"

#include <QApplication>
#include <cstdlib>

namespace cwtest {

bool AddGuiApplicationEnvironment(const char* name, SigPipe sigPipe)
{
    return AddApplicationEnvironment(name, sigPipe, [](int& argc, char** argv) {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        auto app = std::make_unique<QApplication>(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        return std::unique_ptr<QCoreApplication>(std::move(app));
    });
}

} // namespace cwtest
