// A connection's life: a lost peer never leaves a caller hanging, shutdown is prompt,
// and many ports share one connection without losing or crossing replies.
#include "support/transport_fixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <iostream>
#include <thread>

namespace transport {
namespace {

using plcsim::ReplyFault;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Every request on a lost connection ends at once, without being sent.
void ExpectLostForGood(AmsConnection& connection, plcsim::PlcSimulator& sim)
{
    ASSERT_TRUE(plcsim::WaitUntil([&] { return connection.IsLost(); }, 2s));
    const size_t sent = sim.RequestCount();
    const uint8_t payload[4] = {};
    AmsRequest request(AmsAddr{sim.Options().netId, 851}, 30010, ADS_CMD_WRITE, sizeof(payload));
    request.frame.prepend(payload, sizeof(payload));
    const auto start = Clock::now();
    EXPECT_EQ(connection.AdsRequest(request, 10000), ADS_ERR_SYNC_TIMEOUT);
    EXPECT_LT(ElapsedMs(start), 500);
    EXPECT_EQ(sim.RequestCount(), sent);
}

TEST_F(ConnectionTest, PeerLeavingMidReplyCompletesTheCallerAtOnce)
{
    const ReplyFault faults[] = {ReplyFault::CloseInside(), ReplyFault::ResetInside(), ReplyFault::CloseInside(6 + 32 + 3),
                                 ReplyFault::CloseBefore(), ReplyFault::ResetBefore()};
    for (const auto& fault : faults) {
        SCOPED_TRACE(static_cast<int>(fault.kind));
        LogCapture log(LOG_LEVEL_INFO);
        auto fresh = Connect();
        sim->InjectReplyFault(fault);
        uint8_t buffer[4];
        const auto start = Clock::now();
        EXPECT_EQ(Read(30000, 0, 4, buffer, 4, nullptr, 10000, fresh.get()), ADS_ERR_SYNC_TIMEOUT);
        EXPECT_LT(ElapsedMs(start), 2000);
        ExpectLostForGood(*fresh, *sim);
        EXPECT_TRUE(log.Contains("Info: connection closed by remote") || log.Contains("Info: connection closed"));
    }
}

TEST_F(ConnectionTest, EveryWaiterIsReleasedWhenTheConnectionGoes)
{
    sim->InjectReplyFault(ReplyFault::Drop().Times(ReplyFault::kForever));
    std::vector<PendingRead> waiting;
    for (uint16_t port = 30000; port < 30016; ++port) {
        waiting.push_back(ReadAsync(port, 10000));
    }
    AwaitRequest(16);
    const auto start = Clock::now();
    sim->DropConnections();
    for (auto& pending : waiting) {
        ASSERT_EQ(pending.result.wait_for(2s), std::future_status::ready);
        EXPECT_EQ(pending.result.get(), ADS_ERR_SYNC_TIMEOUT);
    }
    EXPECT_LT(ElapsedMs(start), 2000);
    ExpectLostForGood(*connection, *sim);
}

TEST_F(ConnectionTest, AbortWakesWaitersAndFailsLaterRequests)
{
    sim->InjectReplyFault(ReplyFault::Drop().Times(2));
    auto first = ReadAsync(30000, 10000);
    auto second = ReadAsync(30001, 10000);
    AwaitRequest(2);
    const auto start = Clock::now();
    connection->Abort();
    EXPECT_EQ(first.result.get(), ADS_ERR_SYNC_TIMEOUT);
    EXPECT_EQ(second.result.get(), ADS_ERR_SYNC_TIMEOUT);
    EXPECT_LT(ElapsedMs(start), 2000);
    ExpectLostForGood(*connection, *sim);
}

TEST_F(ConnectionTest, DestructionIsPrompt)
{
    // Idle receive thread.
    auto start = Clock::now();
    connection.reset();
    EXPECT_LT(ElapsedMs(start), 1000);

    // Receive thread in the middle of a reply whose data never comes.
    auto fresh = Connect();
    sim->InjectReplyFault(ReplyFault::Drop());
    auto pending = std::async(std::launch::async, [&] {
        uint8_t buffer[8];
        return Read(30000, 0, 8, buffer, sizeof(buffer), nullptr, 10000, fresh.get());
    });
    const auto request = AwaitRequest(1);
    auto reply = Reply(request, ReadReplyData(0, {1, 2, 3, 4, 5, 6, 7, 8}));
    reply.resize(6 + 32 + 8 + 2);
    ASSERT_TRUE(sim->SendRawToLatest(reply));
    start = Clock::now();
    fresh->Abort();
    EXPECT_EQ(pending.get(), ADS_ERR_SYNC_TIMEOUT);
    fresh.reset();
    EXPECT_LT(ElapsedMs(start), 2000);
}

TEST(ConnectionWrite, PeerThatStopsReadingCannotBlockTheCaller)
{
    // A listener that completes handshakes but never reads.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    socklen_t length = sizeof(addr);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
    ASSERT_EQ(::listen(listener, 4), 0);

    LogCapture log(LOG_LEVEL_ERROR);
    TestRouter router;
    {
        const auto addresses = plc::ads::GetListOfAddresses("127.0.0.1", std::to_string(ntohs(addr.sin_port)));
        AmsConnection connection(router, addresses.get());
        const AmsAddr target{AmsNetId{127, 0, 0, 1, 1, 1}, 851};
        constexpr size_t kPayload = 32 * 1024 * 1024; // beyond both socket buffers
        AmsRequest big(target, 30000, ADS_CMD_WRITE, kPayload);
        std::memset(big.frame.rawData(), 0x55, big.frame.capacity());
        big.frame.limit(big.frame.capacity()).remove(38);
        const auto start = Clock::now();
        EXPECT_EQ(connection.AdsRequest(big, 200), -1);
        EXPECT_LT(ElapsedMs(start), 2000);
        EXPECT_TRUE(log.Contains("frame written partially: "));
        // Half a frame is on the stream: the connection is given up.
        ASSERT_TRUE(plcsim::WaitUntil([&] { return connection.IsLost(); }, 2s));
        AmsRequest small(target, 30001, ADS_CMD_READ_STATE, 0);
        EXPECT_EQ(connection.AdsRequest(small, 10000), ADS_ERR_SYNC_TIMEOUT);
    }
    ::close(listener);
}

TEST_F(ConnectionTest, ManyPortsShareOneConnection)
{
    constexpr int kPerPort = 800; // 128 * 800 = 102400 requests
    sim->SetRecordLimit(1000);
    std::atomic<int> failures{0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (uint16_t i = 0; i < ADS_PORT_COUNT; ++i) {
        threads.emplace_back([&, i] {
            const uint16_t port = ADS_PORT_BASE + i;
            for (int n = 0; n < kPerPort; ++n) {
                uint8_t cell[4] = {};
                uint32_t bytesRead = 0;
                if (Read(port, 4u * i, 4, cell, sizeof(cell), &bytesRead, 10000) != 0) {
                    ++failures;
                } else if (bytesRead != 4 || plc::ads::le::Read<uint32_t>(cell) != CellValue(port)) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    const double rate = ADS_PORT_COUNT * kPerPort / seconds;
    RecordProperty("requests_per_second", static_cast<int>(rate));
    std::cout << "128 ports, " << ADS_PORT_COUNT * kPerPort << " requests in " << seconds << " s: " << rate
              << " requests/s\n";
    ExpectHealthy();
}

} // namespace
} // namespace transport
