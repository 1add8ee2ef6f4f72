#pragma once
// TWSocket: the socket component the program uses, every layer stacked on the core (see
// WSocket.h). With LineMode false and SocksServer empty the middle layers pass everything
// through.

#include "net/socket/WSocketSync.h"

namespace cw {

class TWSocket : public TCustomSyncWSocket {
public:
    explicit TWSocket(TComponent* AOwner = nullptr) : TCustomSyncWSocket(AOwner) {}
};

} // namespace cw
