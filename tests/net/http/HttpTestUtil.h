#pragma once
// Helpers shared by the HTTP client tests: run a request with a time limit (a broken client
// makes a test fail, never hang), and record the events a request fires.

#include "net/http/HttpProt.h"
#include "platform/Application.h"
#include "platform/TickCount.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace httptest {

struct GetOutcome {
    bool Raised = false;
    std::string Message;
    int Code = 0;
    bool WatchdogFired = false;
};

// Get with a watchdog: when the request is still running after limitMs, the watchdog aborts
// it (and says so in the outcome).
inline GetOutcome RunGet(cw::THttpCli& cli, int limitMs = 20000)
{
    GetOutcome out;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        out.WatchdogFired = true;
        cli.Abort();
    });
    watchdog.start(limitMs);
    try {
        cli.Get();
    } catch (const cw::EHttpException& e) {
        out.Raised = true;
        out.Message = e.what();
        out.Code = e.ErrorCode();
    }
    watchdog.stop();
    // Every move the request made was one its table lists.
    EXPECT_EQ(cli.RefusedMoves(), 0);
    return out;
}

// Start an asynchronous request and pump messages until OnRequestDone (true) or the limit.
inline bool RunAsync(cw::THttpCli& cli, cw::THttpRequest rq, int limitMs = 20000, std::uint16_t* errCode = nullptr)
{
    bool done = false;
    auto previous = cli.OnRequestDone;
    cli.OnRequestDone = [&](cw::TObject* s, cw::THttpRequest r, std::uint16_t e) {
        done = true;
        if (errCode)
            *errCode = e;
        if (previous)
            previous(s, r, e);
    };
    cli.DoRequestAsync(rq);
    std::uint32_t start = cw::GetTickCount();
    while (!done && cw::GetTickCount() - start < static_cast<std::uint32_t>(limitMs))
        cw::Application::WaitMessage(50);
    cli.OnRequestDone = previous;
    EXPECT_EQ(cli.RefusedMoves(), 0);
    return done;
}

// Pump messages for a while (lets posted closes and late events arrive).
inline void Pump(int ms)
{
    std::uint32_t start = cw::GetTickCount();
    while (cw::GetTickCount() - start < static_cast<std::uint32_t>(ms))
        cw::Application::WaitMessage(10);
}

// Records every event of a request as a short name, in order.
struct EventLog {
    std::vector<std::string> Names;
    void Attach(cw::THttpCli& cli)
    {
        cli.OnHeaderBegin = [this](cw::TObject*) { Names.push_back("HeaderBegin"); };
        cli.OnHeaderData = [this](cw::TObject*) { Names.push_back("HeaderData"); };
        cli.OnHeaderEnd = [this](cw::TObject*) { Names.push_back("HeaderEnd"); };
        cli.OnDocBegin = [this](cw::TObject*) { Names.push_back("DocBegin"); };
        cli.OnDocData = [this](cw::TObject*, const char*, int) { Names.push_back("DocData"); };
        cli.OnDocEnd = [this](cw::TObject*) { Names.push_back("DocEnd"); };
        cli.OnRequestDone = [this](cw::TObject*, cw::THttpRequest, std::uint16_t) { Names.push_back("RequestDone"); };
        cli.OnLocationChange = [this](cw::TObject*) { Names.push_back("LocationChange"); };
    }
    // The names with runs of the same name folded into one ("HeaderData" x 4 -> "HeaderData").
    std::string Folded() const
    {
        std::string out;
        std::string last;
        for (const auto& n : Names) {
            if (n == last)
                continue;
            if (!out.empty())
                out += " ";
            out += n;
            last = n;
        }
        return out;
    }
};

} // namespace httptest
