// PLCs that stop answering, connections that never complete, and workers sharing a PLC.
#include "plugin/support/worker_exchange_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>

using namespace exchange_test;

namespace {

std::vector<plcsim::Request> sortedRequests(const PlcSimulator& sim, uint16_t command = 0)
{
    std::vector<plcsim::Request> out;
    for (const plcsim::Request& r : sim.Requests()) {
        if (r.hasHeader && (command == 0 || r.header.cmdId == command)) {
            out.push_back(r);
        }
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.received < b.received; });
    return out;
}

// Twelve subscriptions: 24 release requests, none of which may wait the 1 s time-out.
class SilentPlcTest : public ExchangeTest {
protected:
    void SetUp() override
    {
        ExchangeTest::SetUp();
        list = batchFor(deviceFor(40, *sim, "1000"));
        ASSERT_TRUE(readUntil(list));
        sim->SetSilent(true);
    }
    std::unique_ptr<PlcSimulator> sim = startSimulator();
    LogList list;
};

TEST_F(SilentPlcTest, StopPluginReturnsWithinSeconds)
{
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(plugin.stopPlugin());
    EXPECT_LT(secondsSince(start), 3.0);
    EXPECT_TRUE(logged("Done cleaning up Device 40"));
}

TEST_F(SilentPlcTest, CleanUpAfterATimedOutStatusReadCostsOneTimeOut)
{
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(HostState::instance().waitForLog(
        [](const tavhost::LogEntry& e) { return e.text == "Done cleaning up Device 40"; }, 10000));
    EXPECT_LT(secondsSince(start), 2.0);
    EXPECT_TRUE(logged("Error. Status for route Device 40 - " + list.device.address +
                       " failed. Timeout elapsed Code: 1861"));
    EXPECT_FALSE(plugin.readData(&list));
    EXPECT_EQ(list.device.error, "Timeout elapsed");
}

TEST_F(ExchangeTest, StopPluginReturnsWhileATcpConnectNeverCompletes)
{
    // Backlog 0 and one connection nobody accepts: later connection attempts hang.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof(addr);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), length), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length), 0);
    const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&addr), length), 0);

    plc::ads::SetConnectTimeout(500);
    auto sim = startSimulator();
    LogList list = batchFor(deviceFor(41, *sim), {{"MAIN.iInt", 6, ""}});
    list.device.address = QStringLiteral("127.0.0.1:%1").arg(ntohs(addr.sin_port));
    list.device.config["Target_AMS_NetId"] = "127.0.0.251.1.1";
    const auto first = std::chrono::steady_clock::now();
    EXPECT_FALSE(plugin.readData(&list));
    EXPECT_LT(secondsSince(first), 3.0);
    EXPECT_FALSE(list.device.error.isEmpty());

    // Stop while the second attempt hangs in its connect.
    ASSERT_TRUE(WaitUntil(
        [] { return HostState::instance().logTexts(tavhost::LogLevel::Debug).filter("Connecting for Device 41").size() > 1; },
        5s));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(plugin.stopPlugin());
    EXPECT_LT(secondsSince(start), 2.5);
    ::close(filler);
    ::close(listener);
}

TEST_F(ExchangeTest, TwoDevicesOnOnePlcNeverTalkToItAtTheSameTime)
{
    auto sim = startSimulator();
    LogList a = batchFor(deviceFor(42, *sim, "1000"), {{"MAIN.iInt", 6, ""}});
    LogList b = batchFor(deviceFor(43, *sim, "1000"), {{"MAIN.iInt", 6, ""}});
    ASSERT_TRUE(readUntil(a));
    ASSERT_TRUE(readUntil(b));

    // Every reply comes 40 ms late, so overlapping requests would arrive closer together.
    constexpr auto delay = 40ms;
    sim->ClearRequests();
    sim->InjectReplyFault(plcsim::ReplyFault::Delay(delay).Times(plcsim::ReplyFault::kForever));
    ASSERT_TRUE(sim->WaitForRequests([](const auto& r) { return r.size() >= 24; }, 5s));
    b.items[0].values["value"] = "5";
    ASSERT_TRUE(plugin.writeData(&b));
    sim->ClearReplyFaults();

    const auto requests = sortedRequests(*sim);
    std::set<uint16_t> ports;
    for (size_t i = 1; i < requests.size(); ++i) {
        ports.insert(requests[i].header.sourcePort);
        EXPECT_GE(requests[i].received - requests[i - 1].received, delay * 9 / 10) << "requests " << i << " overlap";
    }
    EXPECT_EQ(ports.size(), 2u);
}

TEST_F(ExchangeTest, DevicesOnDifferentPlcsDoNotWaitForEachOther)
{
    auto slow = startSimulator();
    auto fast = startSimulator();
    LogList a = batchFor(deviceFor(44, *slow, "1000"), {});
    LogList b = batchFor(deviceFor(45, *fast, "1000"), {});
    ASSERT_TRUE(plugin.readData(&a) && plugin.readData(&b));

    constexpr auto delay = 300ms;
    slow->InjectReplyFault(plcsim::ReplyFault::Delay(delay).For(ADS_CMD_READ_STATE).Times(plcsim::ReplyFault::kForever));
    slow->ClearRequests();
    fast->ClearRequests();
    ASSERT_TRUE(slow->WaitForRequests([](const auto& r) { return r.size() >= 4; }, 5s));
    slow->ClearReplyFaults();

    // Polls of the fast PLC go on about every 100 ms while a poll of the slow one is pending.
    const auto slowPolls = sortedRequests(*slow, ADS_CMD_READ_STATE);
    size_t during = 0;
    for (const plcsim::Request& f : sortedRequests(*fast, ADS_CMD_READ_STATE)) {
        during += std::any_of(slowPolls.begin(), slowPolls.end(), [&](const plcsim::Request& s) {
            return f.received > s.received && f.received < s.received + delay;
        });
    }
    EXPECT_GE(during, static_cast<size_t>((slowPolls.back().received - slowPolls.front().received) / 100ms) / 2);
}

} // namespace

namespace {

// A host that destroys the plug-in without stopping it first must not be left with workers
// that log through the destroyed host interface.
TEST(PluginLifetime, DestroyingThePluginStopsItsWorkers)
{
    HostState::instance().reset();
    auto sim = startSimulator();
    LogList list = batchFor(deviceFor(50, *sim), {kTyped[5]});
    {
        Ads_Plc plugin;
        ASSERT_TRUE(WaitUntil([&] { return plugin.readData(&list) && allValuesSet(list); }, 5s));
        EXPECT_EQ(sim->NotificationCount(), 1u);
    }
    EXPECT_TRUE(WaitUntil([&] { return sim->ConnectionCount() == 0; }, 5s));
    EXPECT_EQ(sim->NotificationCount(), 0u);
}

} // namespace
