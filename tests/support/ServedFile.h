#pragma once
// A video file served by an HttpTestServer handler the way real file hosts misbehave: cut
// connections, a stall, ranges ignored, refused or answered wrongly, a file that changes.

#include "support/HttpTestServer.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace cwtest {

// A file served with Range support. Answer number i (from 0) sends at most Cuts[i] body bytes
// and then closes the connection (odd-numbered answers reset it); past the list, answers are whole.
// StallAt: after that many bytes of the whole file the server goes quiet until the client
// leaves. IgnoreRange: always the whole file with 200. RangeStatus: answer a Range with this
// status instead (416). WrongRange: a Range is answered with the whole file as a 206 from byte 0.
// A range with an end ("bytes=100-199") is answered with just those bytes. PieceBytes/PieceMs:
// each connection sends its body in pieces with a pause between them (a host that limits every
// connection). IgnoreRangeFrom: answers from that number on ignore Range. BusyFrom: answers from
// that number on (while another is still being sent) are 503. ContentType: sent when set (a
// direct media address is recognised by it).
struct ServedFile {
    std::mutex Lock;
    std::string Body;
    std::string ETag = "\"v1\"";
    std::string ContentType; // no Content-Type line when empty
    std::vector<std::size_t> Cuts;
    std::size_t StallAt = std::string::npos;
    bool IgnoreRange = false;
    int RangeStatus = 0;
    bool WrongRange = false;
    std::size_t PieceBytes = 0;
    int PieceMs = 0;
    int IgnoreRangeFrom = -1;
    int BusyFrom = -1;
    std::atomic<int> Answers{0};
    std::atomic<int> Sending{0};

    void Answer(const HttpTestRequest& rq, HttpTestConnection& c)
    {
        std::unique_lock<std::mutex> lock(Lock);
        const int i = Answers++;
        const std::string range = rq.Header("Range");
        std::size_t from = 0;
        std::size_t to = Body.size(); // one past the last byte sent
        std::string head;
        if (BusyFrom >= 0 && i >= BusyFrom && Sending.load() > 0) {
            lock.unlock();
            c.Reply(503, "Service Unavailable", {"Retry-After: 10"}, "busy", "HTTP/1.0");
            return;
        }
        if (!range.empty() && !IgnoreRange && (IgnoreRangeFrom < 0 || i < IgnoreRangeFrom)) {
            if (RangeStatus != 0) {
                lock.unlock();
                c.Reply(RangeStatus, "Range Not Satisfiable", {}, "no such range", "HTTP/1.0");
                return;
            }
            from = WrongRange ? 0 : std::stoull(range.substr(6));
            const std::size_t dash = range.find('-');
            if (!WrongRange && dash != std::string::npos && dash + 1 < range.size())
                to = std::min(to, static_cast<std::size_t>(std::stoull(range.substr(dash + 1))) + 1);
            head = "HTTP/1.0 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-" +
                   std::to_string(to - 1) + "/" + std::to_string(Body.size()) + "\r\n";
        } else {
            head = "HTTP/1.0 200 OK\r\n";
        }
        if (!ContentType.empty())
            head += "Content-Type: " + ContentType + "\r\n";
        head += "ETag: " + ETag + "\r\nContent-Length: " + std::to_string(to - from) + "\r\n\r\n";
        std::string rest = Body.substr(from, to - from);
        std::size_t send = rest.size();
        bool reset = false;
        if (static_cast<std::size_t>(i) < Cuts.size())
            send = std::min(send, Cuts[static_cast<std::size_t>(i)]), reset = i % 2 == 1;
        const bool stall = StallAt != std::string::npos && from <= StallAt;
        if (stall)
            send = std::min(send, StallAt - from);
        const std::size_t piece = PieceBytes;
        const int pieceMs = PieceMs;
        lock.unlock();
        ++Sending;
        if (piece > 0) {
            c.Send(head);
            c.SendSlowly(rest.substr(0, send), piece, pieceMs);
        } else {
            c.Send(head + rest.substr(0, send));
        }
        --Sending;
        if (stall)
            c.WaitForClientClose(30000);
        else if (send < rest.size())
            reset ? c.Reset() : c.Close();
    }
};

} // namespace cwtest
