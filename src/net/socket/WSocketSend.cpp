// Socket core: the send queue of 1460-byte chunks, Send, TryToSend and Flush.

#include "net/socket/WSocket.h"
#include "net/socket/WSocketInternal.h"

#include "platform/Application.h"

#include <algorithm>

namespace cw {

using namespace ws;

// ---- sending ---------------------------------------------------------------------------------

void TCustomWSocket::QueueData(const void* Data, int Len)
{
    if (Len <= 0 || !Data)
        return;
    std::lock_guard<std::recursive_mutex> lock(SendLock());
    if (FBufList.empty())
        FBufList.push_back(std::make_unique<TBuffer>(SendChunkSize));
    const char* p = static_cast<const char*>(Data);
    int left = Len;
    for (;;) {
        int n = FBufList.back()->Write(p, left);
        p += n;
        left -= n;
        if (left == 0)
            break;
        FBufList.push_back(std::make_unique<TBuffer>(SendChunkSize));
    }
    FBufferedByteCount += Len;
    FAllSent = false;
}

int TCustomWSocket::Send(const void* Data, int Len)
{
    if (!IsConnectedState()) {
        WSASetLastError(WSAENOTCONN);
        ReportSocketError("Send");
        return -1;
    }
    FAllSent = false;
    int queued = (Len > 0 && Data) ? Len : 0;
    if (queued > 0)
        QueueData(Data, queued);
    TryToSend();
    // OnDataSent always comes later, from a notification, never from inside Send. One such
    // notice waiting is enough: a sender that calls Send many times before returning to the
    // loop does not pile up a message per call.
    if (FAllSent && !FWritePosted) {
        FWritePosted = true;
        MessageWindow::PostMessage(Handle(), WM_SOCKET_EVENT, static_cast<WPARAM>(FHSocket),
                                   WSAMakeSelectReply(static_cast<unsigned>(FD_WRITE), 0));
    }
    return queued;
}

int TCustomWSocket::SendStr(const std::string& Str)
{
    if (Str.empty())
        return 0;
    return Send(Str.data(), static_cast<int>(Str.size()));
}

void TCustomWSocket::TryToSend()
{
    std::lock_guard<std::recursive_mutex> lock(SendLock());
    if (FHSocket == INVALID_SOCKET || FBufList.empty()) {
        FAllSent = true;
        return;
    }
    for (;;) {
        if (FBufList.empty() || FHSocket == INVALID_SOCKET) {
            FAllSent = true;
            return;
        }
        TBuffer* chunk = FBufList.front().get();
        const char* data = nullptr;
        int len = chunk->Peek(data);
        if (len > 0) {
            int flags = FSendFlags == wsSendUrgent ? MSG_OOB : 0;
            int n = DoSend(data, len, flags);
            if (n == SOCKET_ERROR) {
                int err = WSAGetLastError();
                if (err == WSAEWOULDBLOCK)
                    return; // FD_WRITE follows when there is room again
                if (err == WSAEINVAL || err == WSAENOTSOCK || err == WSAECONNABORTED || err == WSAECONNRESET ||
                    err == WSAENOTCONN) {
                    SocketClosedBySend(err);
                    return;
                }
                ReportSocketError("TryToSend failed");
                return;
            }
            // Consume before telling anyone: an OnSendData handler may send again, and must
            // not see these bytes still queued.
            chunk->Remove(n);
            FBufferedByteCount = std::max<std::int64_t>(0, FBufferedByteCount - n);
            if (n > 0)
                TriggerSendData(n);
            if (n < len)
                return;
            continue;
        }
        if (FBufList.size() > 1) {
            FBufList.pop_front();
            continue;
        }
        // The last chunk stays for reuse: a steady sender allocates nothing.
        FAllSent = true;
        return;
    }
}

int TCustomWSocket::DoSend(const void* Data, int Len, int Flags)
{
    return ws::send(FHSocket, Data, Len, Flags);
}

void TCustomWSocket::SocketClosedBySend(int Err)
{
    FCloseInvoked = true;
    FLastError = Err;
    Close();
    if (!FDestroying)
        TriggerSessionClosed(static_cast<std::uint16_t>(Err));
}

void TCustomWSocket::DeleteBufferedData()
{
    std::lock_guard<std::recursive_mutex> lock(SendLock());
    FBufList.clear();
    FBufferedByteCount = 0;
}

void TCustomWSocket::Flush()
{
    while (FHSocket != INVALID_SOCKET && !FAllSent) {
        const std::int64_t before = FBufferedByteCount;
        TryToSend();
        PumpMessages();
        // No progress: the system buffer is full. Wait for the write notification instead of
        // spinning.
        if (FHSocket != INVALID_SOCKET && !FAllSent && FBufferedByteCount == before)
            Application::WaitMessage(50);
    }
}

} // namespace cw
