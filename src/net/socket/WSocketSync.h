#pragma once
// The waiting layer of the socket component: operations that pump messages until a flag set
// by an event handler says the awaited step is done, with an optional time limit.

#include "net/socket/WSocketLine.h"

#include <cstdint>
#include <functional>

namespace cw {

class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    explicit TCustomSyncWSocket(TComponent* AOwner = nullptr);

    // Pump messages until DoneFlag becomes true: 0, or 12001 on time-out, when the application
    // ends or when Terminated is set.
    int WaitUntilReady(bool& DoneFlag);
    // Call Proc, then wait as WaitUntilReady.
    int Synchronize(const std::function<void()>& Proc, bool& DoneFlag);

    int Timeout() const { return FTimeout; } // milliseconds, 0 = none
    void SetTimeout(int value) { FTimeout = value; }

    static constexpr int WaitTimedOut = 12001;

private:
    int FTimeout = 0;
    std::uint32_t FTimeStop = 0;
};

} // namespace cw
