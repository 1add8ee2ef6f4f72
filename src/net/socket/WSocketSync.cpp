// The waiting layer: pump messages until a flag is set, a time limit passes or the
// application ends.

#include "net/socket/WSocketSync.h"

#include "platform/Application.h"
#include "platform/TickCount.h"

#include <algorithm>

namespace cw {

TCustomSyncWSocket::TCustomSyncWSocket(TComponent* AOwner) : TCustomLineWSocket(AOwner) {}

int TCustomSyncWSocket::WaitUntilReady(bool& DoneFlag)
{
    FTimeStop = GetTickCount() + static_cast<std::uint32_t>(FTimeout);
    while (!DoneFlag) {
        std::int32_t left = static_cast<std::int32_t>(FTimeStop - GetTickCount());
        if (FTimeout > 0 && left <= 0)
            return WaitTimedOut;
        if (Application::Terminated() || FTerminated)
            return WaitTimedOut;
        PumpMessages();
        // Sleep until the next message instead of spinning a core while nothing happens.
        if (!DoneFlag)
            Application::WaitMessage(FTimeout > 0 ? std::min<std::int32_t>(left, 20) : 20);
    }
    return 0;
}

int TCustomSyncWSocket::Synchronize(const std::function<void()>& Proc, bool& DoneFlag)
{
    DoneFlag = false;
    if (Proc)
        Proc();
    return WaitUntilReady(DoneFlag);
}

} // namespace cw
