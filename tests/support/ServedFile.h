#pragma once
// A video file served by an HttpTestServer handler the way real file hosts misbehave: cut
// connections, a stall, ranges ignored, refused or answered wrongly, a file that changes.

#include "support/HttpTestServer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
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
// direct media address is recognised by it). StallAnswers: how many answers stall at StallAt
// (-1: all). OutageAt/OutageMs: answer number OutageAt starts an outage of OutageMs during which
// every new request is answered 503 (answers already under way go on). A range that starts at or
// past the end is answered 416 with "bytes */size", as strict servers do. BytesSent: body bytes
// sent in all.
struct ServedFile {
    std::mutex Lock;
    std::string Body;
    std::string ETag = "\"v1\"";
    std::string LastModified; // no Last-Modified line when empty
    std::string ContentType;  // no Content-Type line when empty
    std::vector<std::size_t> Cuts;
    std::size_t StallAt = std::string::npos;
    bool IgnoreRange = false;
    int RangeStatus = 0;
    int AlwaysStatus = 0; // every request answered with this status and no body (416 to anything)
    bool WrongRange = false;
    std::size_t PieceBytes = 0;
    int PieceMs = 0;
    int IgnoreRangeFrom = -1;
    int BusyFrom = -1;
    int StallAnswers = -1;
    int OutageAt = -1;
    int OutageMs = 0;
    std::chrono::steady_clock::time_point DownUntil{};
    std::atomic<std::size_t> BytesSent{0};
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
        const auto now = std::chrono::steady_clock::now();
        if (i == OutageAt)
            DownUntil = now + std::chrono::milliseconds(OutageMs);
        if (now < DownUntil) {
            lock.unlock();
            c.Reply(503, "Service Unavailable", {}, "down for maintenance", "HTTP/1.0");
            return;
        }
        if (BusyFrom >= 0 && i >= BusyFrom && Sending.load() > 0) {
            lock.unlock();
            c.Reply(503, "Service Unavailable", {"Retry-After: 10"}, "busy", "HTTP/1.0");
            return;
        }
        if (AlwaysStatus != 0) {
            lock.unlock();
            c.Reply(AlwaysStatus, "Range Not Satisfiable", {}, "", "HTTP/1.0");
            return;
        }
        if (!range.empty() && !IgnoreRange && (IgnoreRangeFrom < 0 || i < IgnoreRangeFrom)) {
            if (RangeStatus != 0) {
                lock.unlock();
                c.Reply(RangeStatus, "Range Not Satisfiable", {}, "no such range", "HTTP/1.0");
                return;
            }
            from = WrongRange ? 0 : std::stoull(range.substr(6));
            if (from >= Body.size()) {
                const std::string size = std::to_string(Body.size());
                lock.unlock();
                c.Reply(416, "Range Not Satisfiable", {"Content-Range: bytes */" + size}, "", "HTTP/1.0");
                return;
            }
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
        if (!IgnoreRange)
            head += "Accept-Ranges: bytes\r\n";
        if (!LastModified.empty())
            head += "Last-Modified: " + LastModified + "\r\n";
        head += "ETag: " + ETag + "\r\nContent-Length: " + std::to_string(to - from) + "\r\n\r\n";
        std::string rest = Body.substr(from, to - from);
        std::size_t send = rest.size();
        bool reset = false;
        if (static_cast<std::size_t>(i) < Cuts.size())
            send = std::min(send, Cuts[static_cast<std::size_t>(i)]), reset = i % 2 == 1;
        const bool stall = StallAt != std::string::npos && from <= StallAt && StallAt < to && StallAnswers != 0;
        if (stall && StallAnswers > 0)
            --StallAnswers;
        if (stall)
            send = std::min(send, StallAt - from);
        const std::size_t piece = PieceBytes;
        const int pieceMs = PieceMs;
        lock.unlock();
        ++Sending;
        // Sent in pieces, each counted once the system took it: what a server's log would say.
        const std::size_t step = piece > 0 ? piece : 64 * 1024;
        bool open = c.Send(head);
        for (std::size_t at = 0; open && at < send; at += step) {
            if (at > 0 && pieceMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(pieceMs));
            const std::string bytes = rest.substr(at, std::min(step, send - at));
            open = c.Send(bytes);
            if (open)
                BytesSent += bytes.size();
        }
        --Sending;
        if (stall)
            c.WaitForClientClose(30000);
        else if (send < rest.size())
            reset ? c.Reset() : c.Close();
    }
};

} // namespace cwtest
