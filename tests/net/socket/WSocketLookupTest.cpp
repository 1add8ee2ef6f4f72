// Name look-up: dotted addresses answered inside the call, the empty name with and without
// OnError, real asynchronous look-ups, cancelling, and an answer that arrives before the
// request handle is known.

#include "SocketTestUtil.h"

#include <gtest/gtest.h>

using namespace cw;
using namespace cwtest;

namespace {

// Restores the system resolver when a test leaves.
struct ResolverOverride {
    ResolverOverride(ws::LookupResolver r, bool inlineAnswer)
    {
        ws::SetLookupResolverForTests(std::move(r), inlineAnswer);
    }
    ~ResolverOverride() { ws::SetLookupResolverForTests({}); }
};

} // namespace

TEST(WSocketLookup, DottedAddressIsAnsweredInsideTheCall)
{
    TWSocket s;
    std::vector<std::string> seen;
    s.OnDnsLookupDone = [&](TObject* sender, std::uint16_t e) {
        EXPECT_EQ(sender, &s);
        seen.push_back(std::to_string(e) + " " + s.DnsResult());
    };
    s.DnsLookup("10.0.0.1");
    EXPECT_EQ(seen, std::vector<std::string>{"0 10.0.0.1"});
    EXPECT_EQ(s.DnsResultList(), std::vector<std::string>{"10.0.0.1"});
    PumpFor(20);
    EXPECT_EQ(seen.size(), 1u) << "no message follows";

    // Blanks around are allowed and the canonical text is kept.
    s.DnsLookup(" 192.168.010.1 ");
    EXPECT_EQ(s.DnsResult(), "192.168.10.1");
}

TEST(WSocketLookup, EmptyNameWithOnErrorReportsThenAnswers10022)
{
    TWSocket s;
    std::vector<std::string> order;
    s.OnError = [&](TObject*) { order.push_back("error"); };
    s.OnDnsLookupDone = [&](TObject*, std::uint16_t e) { order.push_back("dns " + std::to_string(e)); };
    s.DnsLookup("");
    EXPECT_EQ(order, (std::vector<std::string>{"error", "dns 10022"}));
}

TEST(WSocketLookup, EmptyNameWithoutOnErrorRaises)
{
    TWSocket s;
    int dns = 0;
    s.OnDnsLookupDone = [&](TObject*, std::uint16_t) { ++dns; };
    try {
        s.DnsLookup("");
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "DNS lookup: invalid host name.");
    }
    EXPECT_EQ(dns, 0);
}

TEST(WSocketLookup, LocalhostResolvesAsynchronously)
{
    TWSocket s;
    int done = -1;
    s.OnDnsLookupDone = [&](TObject*, std::uint16_t e) { done = e; };
    s.DnsLookup("localhost");
    EXPECT_EQ(done, -1) << "a name is looked up in the background";
    ASSERT_TRUE(WaitUntil([&] { return done >= 0; }));
    EXPECT_EQ(done, 0);
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    ASSERT_FALSE(s.DnsResultList().empty());
    EXPECT_EQ(s.DnsResultList().front(), s.DnsResult());
}

TEST(WSocketLookup, AllAddressesAreListedInOrderAndErrorsCarryTheirCode)
{
    ResolverOverride r(
        [](const std::string& name, ws::HostEnt& h) {
            if (name == "nowhere.test")
                return ws::WSAHOST_NOT_FOUND;
            h.Addresses = {ws::inet_addr("192.0.2.7"), ws::inet_addr("192.0.2.3"), ws::inet_addr("198.51.100.1")};
            return 0;
        },
        false);
    TWSocket s;
    int done = -1;
    s.OnDnsLookupDone = [&](TObject*, std::uint16_t e) { done = e; };
    s.DnsLookup("three.test");
    ASSERT_TRUE(WaitUntil([&] { return done >= 0; }));
    EXPECT_EQ(done, 0);
    EXPECT_EQ(s.DnsResultList(), (std::vector<std::string>{"192.0.2.7", "192.0.2.3", "198.51.100.1"}));
    EXPECT_EQ(s.DnsResult(), "192.0.2.7");

    done = -1;
    s.DnsLookup("nowhere.test");
    EXPECT_TRUE(s.DnsResultList().empty()) << "a new look-up clears the last results";
    ASSERT_TRUE(WaitUntil([&] { return done >= 0; }));
    EXPECT_EQ(done, 11001);
    EXPECT_EQ(s.DnsResult(), "");
    EXPECT_EQ(SocketErrorText(done), "Host not found");
}

TEST(WSocketLookup, CancelAnswers10004AtOnceAndTheLateAnswerIsIgnored)
{
    std::atomic<bool> release{false};
    ResolverOverride r(
        [&](const std::string&, ws::HostEnt& h) {
            while (!release)
                SleepMs(2);
            h.Addresses = {ws::inet_addr("192.0.2.1")};
            return 0;
        },
        false);
    TWSocket s;
    std::vector<int> answers;
    s.OnDnsLookupDone = [&](TObject*, std::uint16_t e) { answers.push_back(e); };
    s.DnsLookup("slow.test");
    s.CancelLookup();
    EXPECT_EQ(answers, std::vector<int>{10004});
    release = true;
    PumpFor(100);
    EXPECT_EQ(answers, std::vector<int>{10004});
    EXPECT_EQ(s.DnsResult(), "");
    s.CancelLookup(); // nothing pending: nothing happens
    EXPECT_EQ(answers.size(), 1u);
}

TEST(WSocketLookup, NewLookupSilentlyReplacesAPendingOne)
{
    std::atomic<bool> release{false};
    ResolverOverride r(
        [&](const std::string& name, ws::HostEnt& h) {
            if (name == "first.test")
                while (!release)
                    SleepMs(2);
            h.Addresses = {ws::inet_addr(name == "first.test" ? "192.0.2.1" : "192.0.2.2")};
            return 0;
        },
        false);
    TWSocket s;
    std::vector<std::string> answers;
    s.OnDnsLookupDone = [&](TObject*, std::uint16_t e) { answers.push_back(std::to_string(e) + " " + s.DnsResult()); };
    s.DnsLookup("first.test");
    s.DnsLookup("second.test");
    ASSERT_TRUE(WaitUntil([&] { return !answers.empty(); }));
    release = true;
    PumpFor(100);
    EXPECT_EQ(answers, std::vector<std::string>{"0 192.0.2.2"});
}

TEST(WSocketLookup, AnswerBeforeTheHandleIsStoredIsHandledOnce)
{
    ResolverOverride r(
        [](const std::string&, ws::HostEnt& h) {
            h.Addresses = {ws::inet_addr("203.0.113.9")};
            return 0;
        },
        true);
    TWSocket s;
    std::vector<std::string> answers;
    s.OnDnsLookupDone = [&](TObject*, std::uint16_t e) { answers.push_back(std::to_string(e) + " " + s.DnsResult()); };
    s.DnsLookup("early.test");
    EXPECT_EQ(answers, std::vector<std::string>{"0 203.0.113.9"});
    PumpFor(30);
    EXPECT_EQ(answers.size(), 1u);
}

TEST(WSocketLookup, DestroyingWithALookupPendingFiresNothing)
{
    std::atomic<bool> release{false};
    ResolverOverride r(
        [&](const std::string&, ws::HostEnt& h) {
            while (!release)
                SleepMs(2);
            h.Addresses = {ws::inet_addr("192.0.2.1")};
            return 0;
        },
        false);
    int answers = 0;
    {
        TWSocket s;
        s.OnDnsLookupDone = [&](TObject*, std::uint16_t) { ++answers; };
        s.DnsLookup("pending.test");
    }
    release = true;
    PumpFor(50);
    EXPECT_EQ(answers, 0);
}

TEST(WSocketLookup, ReverseLookupFillsTheNames)
{
    TWSocket s;
    int done = -1;
    s.OnDnsLookupDone = [&](TObject*, std::uint16_t e) { done = e; };
    s.ReverseDnsLookup("127.0.0.1");
    ASSERT_TRUE(WaitUntil([&] { return done >= 0; }));
    ASSERT_EQ(done, 0);
    EXPECT_FALSE(s.DnsResult().empty());
    EXPECT_EQ(s.DnsResultList().front(), s.DnsResult());
}

TEST(WSocketLookup, DottedAddressRules)
{
    EXPECT_TRUE(WSocketIsDottedIP("1.2.3.4"));
    EXPECT_TRUE(WSocketIsDottedIP("  255.255.255.255  "));
    EXPECT_FALSE(WSocketIsDottedIP(".1.2.3"));
    EXPECT_FALSE(WSocketIsDottedIP("1.2.3"));
    EXPECT_FALSE(WSocketIsDottedIP("1.2.3.4.5"));
    EXPECT_FALSE(WSocketIsDottedIP("1.2.3."));
    EXPECT_FALSE(WSocketIsDottedIP("1..2.3"));
    EXPECT_FALSE(WSocketIsDottedIP("256.1.1.1"));
    EXPECT_FALSE(WSocketIsDottedIP("1.2.3.4x"));
    EXPECT_FALSE(WSocketIsDottedIP("host.example"));
    EXPECT_FALSE(WSocketIsDottedIP(""));
}

TEST(WSocketLookup, ResolverTexts)
{
    auto message = [](const std::function<void()>& f) {
        try {
            f();
        } catch (const ESocketException& e) {
            return std::string(e.what());
        }
        return std::string("no exception");
    };
    EXPECT_EQ(message([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
    EXPECT_EQ(message([] { WSocketResolveHost(std::string(257, 'a')); }),
              "WSocketResolveHost: '" + std::string(257, 'a') + "' Invalid Hostname.");
    EXPECT_EQ(message([] { WSocketResolvePort("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(message([] { WSocketResolvePort("80", ""); }), "WSocketResolvePort: Invalid Proto.");
    EXPECT_EQ(message([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(message([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(message([] { WSocketResolveProto("nosuchproto"); }),
              "WSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #11004");

    EXPECT_EQ(ntohs(WSocketResolvePort(" 8080 ", "tcp")), 8080) << "blanks around the number skipped";
    EXPECT_EQ(message([] { WSocketResolvePort(" 8080xyz", "tcp"); }),
              "WSocketResolvePort: invalid port ' 8080xyz', a port is a number up to 65535 (Error #10022)");
    EXPECT_EQ(ntohs(WSocketResolvePort("http", "tcp")), 80);
    EXPECT_EQ(WSocketResolveProto("TCP"), 6);
    EXPECT_EQ(WSocketResolveProto("udp"), 17);
    EXPECT_EQ(WSocketResolveProto("raw"), 255);
    EXPECT_EQ(WSocketResolveProto("17"), 17);
    EXPECT_EQ(WSocketResolveHost("127.0.0.1"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(WSocketResolveHost("localhost"), htonl(INADDR_LOOPBACK));
    EXPECT_FALSE(LocalHostName().empty());
}
