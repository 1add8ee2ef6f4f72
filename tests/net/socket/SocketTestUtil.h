#pragma once
// Event journal for socket tests: every event of a socket appended as a short line, so a test
// can assert the exact order ("state 0->1", "connected 0", "data 0", "closed 0", ...).

#include "net/socket/WSocketComponent.h"
#include "support/SocketPeers.h"

#include <algorithm>
#include <string>
#include <vector>

namespace cwtest {

inline const char* StateName(cw::TSocketState s)
{
    static const char* const names[] = {"invalid",   "opened",    "bound",     "connecting", "socksconnected",
                                        "connected", "accepting", "listening", "closed"};
    return names[s];
}

class EventLog {
public:
    // Hooks every event except OnDataAvailable and OnError, which tests usually own; pass
    // readAll to also drain data into Received().
    explicit EventLog(cw::TWSocket& s, bool readAll = false) : FSocket(s)
    {
        s.OnChangeState = [this](cw::TObject*, cw::TSocketState o, cw::TSocketState n) {
            Add(std::string("state ") + StateName(o) + "->" + StateName(n));
        };
        s.OnSessionConnected = [this](cw::TObject*, std::uint16_t e) { Add("connected " + std::to_string(e)); };
        s.OnSessionClosed = [this](cw::TObject*, std::uint16_t e) { Add("closed " + std::to_string(e)); };
        s.OnDataSent = [this](cw::TObject*, std::uint16_t e) { Add("sent " + std::to_string(e)); };
        s.OnDnsLookupDone = [this](cw::TObject*, std::uint16_t e) { Add("dns " + std::to_string(e)); };
        if (readAll) {
            s.OnDataAvailable = [this](cw::TObject*, std::uint16_t e) {
                char buf[8192];
                int n = FSocket.Receive(buf, sizeof(buf));
                if (n > 0)
                    Received.append(buf, static_cast<size_t>(n));
                if (Lines.empty() || Lines.back() != "data " + std::to_string(e))
                    Add("data " + std::to_string(e));
            };
        }
    }

    void Add(const std::string& line) { Lines.push_back(line); }
    bool Has(const std::string& line) const { return std::find(Lines.begin(), Lines.end(), line) != Lines.end(); }
    int Count(const std::string& line) const { return static_cast<int>(std::count(Lines.begin(), Lines.end(), line)); }
    int IndexOf(const std::string& line) const
    {
        auto it = std::find(Lines.begin(), Lines.end(), line);
        return it == Lines.end() ? -1 : static_cast<int>(it - Lines.begin());
    }
    std::string Text() const
    {
        std::string t;
        for (const auto& l : Lines)
            t += l + "\n";
        return t;
    }

    std::vector<std::string> Lines;
    std::string Received;

private:
    cw::TWSocket& FSocket;
};

// A pattern that shows corruption or reordering: byte i is (i * 7 + i / 251) & 0xFF.
inline std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return s;
}

} // namespace cwtest
