#include "platform/StopSignals.h"

#include "platform/Application.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace cw {
namespace {

int gStopPipe[2] = {-1, -1};

// Only what is safe in a signal handler: one byte into the pipe the event loop watches.
void OnStopSignal(int)
{
    char c = 1;
    [[maybe_unused]] ssize_t n = ::write(gStopPipe[1], &c, 1);
}

} // namespace

std::unique_ptr<QSocketNotifier> WatchStopSignals(std::function<void()> onStop)
{
    if (gStopPipe[0] < 0 && ::pipe2(gStopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return nullptr;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
    auto watch = std::make_unique<QSocketNotifier>(gStopPipe[0], QSocketNotifier::Read);
    QObject::connect(watch.get(), &QSocketNotifier::activated, [onStop = std::move(onStop)] {
        char buf[16];
        while (::read(gStopPipe[0], buf, sizeof buf) > 0) {
        }
        Application::Guard(onStop);
    });
    return watch;
}

} // namespace cw
