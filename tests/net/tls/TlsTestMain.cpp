// The TLS tests need an event loop on the main thread: socket notifications and posted messages
// are delivered by it, as in the program.
#include <QCoreApplication>
#include <csignal>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN); // the test's own TLS server writes to clients that went away
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
