// One connection against the simulator: exact request bytes, replies straight into the
// caller's buffer, every result code, and every bad packet followed by a good exchange.
#include "support/transport_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

namespace transport {
namespace {

using plc::ads::AmsTcpHeader;
using plc::ads::AoEHeader;
using plcsim::ReplyFault;
namespace le = plc::ads::le;
using namespace std::chrono_literals;

std::string Hex(uint32_t value)
{
    std::ostringstream s;
    s << std::hex << value;
    return s.str();
}

TEST_F(ConnectionTest, ReadRequestIsFramedExactly)
{
    uint8_t cell[4];
    ASSERT_EQ(Read(30000, 0, 4, cell, sizeof(cell)), 0);
    const auto requests = sim->Requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& raw = requests[0].raw;
    ASSERT_EQ(raw.size(), 50u);

    const auto tcp = AmsTcpHeader::Decode(raw.data());
    EXPECT_EQ(tcp.reserved, 0);
    EXPECT_EQ(tcp.length, 44u);
    const auto ams = AoEHeader::Decode(raw.data() + 6);
    EXPECT_EQ(ams.targetNetId, target.amsNetId);
    EXPECT_EQ(ams.targetPort, 851);
    EXPECT_EQ(ams.sourceNetId, router.localNetId);
    EXPECT_EQ(ams.sourcePort, 30000);
    EXPECT_EQ(ams.cmdId, ADS_CMD_READ);
    EXPECT_EQ(ams.stateFlags, 4);
    EXPECT_EQ(ams.length, 12u);
    EXPECT_EQ(ams.errorCode, 0u);
    EXPECT_EQ(ams.invokeId, 1u);
    EXPECT_EQ(le::Read<uint32_t>(raw.data() + 38), kGroup);
    EXPECT_EQ(le::Read<uint32_t>(raw.data() + 42), 0u);
    EXPECT_EQ(le::Read<uint32_t>(raw.data() + 46), 4u);

    // The next id comes from the same counter, whatever the port.
    ExpectHealthy(30077);
    EXPECT_EQ(sim->Requests().back().header.invokeId, 2u);
}

TEST_F(ConnectionTest, InvokeIdsWrapPastZero)
{
    AmsConnectionTestAccess::SetInvokeId(*connection, 0xFFFFFFFFu);
    ExpectHealthy(30001);
    ExpectHealthy(30002);
    ExpectHealthy(30003);
    const auto requests = sim->Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].header.invokeId, 0xFFFFFFFFu);
    EXPECT_EQ(requests[1].header.invokeId, 1u);
    EXPECT_EQ(requests[2].header.invokeId, 2u);
}

TEST_F(ConnectionTest, RepliesLandInTheCallersBuffer)
{
    // A larger buffer receives only the reply's bytes.
    uint8_t buffer[8];
    std::memset(buffer, 0xEE, sizeof(buffer));
    uint32_t bytesRead = 99;
    ASSERT_EQ(Read(30005, 20, 4, buffer, sizeof(buffer), &bytesRead), 0);
    EXPECT_EQ(bytesRead, 4u);
    EXPECT_EQ(le::Read<uint32_t>(buffer), CellValue(30005));
    EXPECT_EQ(buffer[4], 0xEE);

    // A write reply carries no data.
    bytesRead = 99;
    ASSERT_EQ(Write(30006, 24, {1, 2, 3, 4}, &bytesRead), 0);
    EXPECT_EQ(bytesRead, 0u);
    EXPECT_EQ(sim->GetMemory(kGroup, 24, 4), (std::vector<uint8_t>{1, 2, 3, 4}));

    // Commands with the short reply header copy what follows it.
    AmsRequest state(target, 30007, ADS_CMD_READ_STATE, 0, 4, buffer, &bytesRead);
    sim->SetState(ADSSTATE_STOP, 0x1234);
    ASSERT_EQ(connection->AdsRequest(state, 2000), 0);
    EXPECT_EQ(bytesRead, 4u);
    EXPECT_EQ(le::Read<uint16_t>(buffer), ADSSTATE_STOP);
    EXPECT_EQ(le::Read<uint16_t>(buffer + 2), 0x1234);

    // A device error in the reply's result; nothing is copied.
    std::memset(buffer, 0xEE, sizeof(buffer));
    EXPECT_EQ(Read(30005, 4 * ADS_PORT_COUNT + 100, 4, buffer, 4), 0x703);
    EXPECT_EQ(buffer[0], 0xEE);

    // The room check cannot wrap: the largest buffer length still takes a 4-byte reply.
    bytesRead = 0;
    ASSERT_EQ(Read(30008, 32, 4, buffer, 0xFFFFFFFFu, &bytesRead), 0);
    EXPECT_EQ(bytesRead, 4u);
    EXPECT_EQ(le::Read<uint32_t>(buffer), CellValue(30008));
}

TEST_F(ConnectionTest, ResultCodesOfFailedRequests)
{
    LogCapture log(LOG_LEVEL_WARN);
    uint8_t buffer[4];

    // AMS error code: passed through, buffer untouched.
    sim->InjectReplyFault(ReplyFault::AmsError(1793));
    std::memset(buffer, 0xEE, sizeof(buffer));
    EXPECT_EQ(Read(30000, 0, 4, buffer, 4), 1793);
    EXPECT_EQ(buffer[0], 0xEE);
    ExpectHealthy();

    // An error code with all bits set must not read as "no result yet".
    sim->InjectReplyFault(ReplyFault::AmsError(0xFFFFFFFFu));
    EXPECT_EQ(Read(30000, 0, 4, buffer, 4, nullptr, 5000), ADS_ERR_INVALID_RESPONSE);
    ExpectHealthy();

    // Port the router does not know: its error, nothing sent.
    const size_t sent = sim->RequestCount();
    EXPECT_EQ(Read(29999, 0, 4, buffer, 4), ADS_ERR_PORT_NOT_OPEN);
    EXPECT_EQ(sim->RequestCount(), sent);

    // No reply, while another port's reply shows the connection alive: the port times out,
    // its slot is free again, and the connection stays.
    sim->InjectReplyFault(ReplyFault::Drop());
    sim->InjectReplyFault(ReplyFault::Delay(50ms));
    const auto start = std::chrono::steady_clock::now();
    auto silent = ReadAsync(30000, 300);
    AwaitRequest(silent.requestsBefore + 1);
    auto alive = ReadAsync(30001, 2000);
    EXPECT_EQ(silent.result.get(), ADS_ERR_SYNC_TIMEOUT);
    EXPECT_GE(ElapsedMs(start), 295);
    EXPECT_EQ(alive.result.get(), 0);
    ExpectHealthy(30000);

    // More data than the buffer holds.
    sim->InjectReplyFault(ReplyFault::Oversized(4));
    std::memset(buffer, 0xEE, sizeof(buffer));
    EXPECT_EQ(Read(30000, 0, 4, buffer, 4), ADS_ERR_INVALID_SIZE);
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_TRUE(log.Contains("Frame too long: 16>12"));
    ExpectHealthy();

    // Unknown command id in the reply.
    sim->InjectReplyFault(ReplyFault::UnknownCommand(100));
    EXPECT_EQ(Read(30000, 0, 4, buffer, 4), ADS_ERR_INVALID_RESPONSE);
    EXPECT_TRUE(log.Contains("Unkown AMS command id"));
    ExpectHealthy();

    // A second request from a port that already waits: refused at once.
    sim->InjectReplyFault(ReplyFault::Delay(300ms));
    auto first = ReadAsync(30000, 2000);
    AwaitRequest(first.requestsBefore + 1);
    const auto refused = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(30000, 0, 4, buffer, 4), -1);
    EXPECT_LT(ElapsedMs(refused), 200);
    EXPECT_TRUE(log.Contains("Port: 30000 already in use as 0x"));
    EXPECT_EQ(first.result.get(), 0);
    EXPECT_EQ(le::Read<uint32_t>(first.buffer->data()), CellValue(30000));

    // Nothing at all for a whole time-out: the connection is dead and given up for every port.
    sim->InjectReplyFault(ReplyFault::Drop());
    EXPECT_EQ(Read(30000, 0, 4, buffer, 4, nullptr, 60), ADS_ERR_SYNC_TIMEOUT);
    EXPECT_TRUE(log.WaitFor("nothing received for 60 ms, giving up the connection"));
    EXPECT_TRUE(plcsim::WaitUntil([&] { return connection->IsLost(); }, 2s));
    EXPECT_EQ(Read(30001, 0, 4, buffer, 4), ADS_ERR_SYNC_TIMEOUT);
}

TEST_F(ConnectionTest, SkippedPacketsKeepTheStreamAligned)
{
    LogCapture log(LOG_LEVEL_WARN);
    uint8_t buffer[4];

    // A packet too short for an AMS header before the reply.
    sim->InjectReplyFault(ReplyFault::ShortFrameBefore(10));
    ExpectHealthy();
    EXPECT_TRUE(log.Contains("Frame to short to be AoE"));

    // A reply one byte per segment.
    sim->InjectReplyFault(ReplyFault::Split());
    ExpectHealthy();

    // A reply with a foreign invoke id is not taken.
    sim->InjectReplyFault(ReplyFault::WrongInvokeId());
    EXPECT_EQ(Read(30000, 0, 4, buffer, 4, nullptr, 80), ADS_ERR_SYNC_TIMEOUT);
    const uint32_t id = sim->Requests().back().header.invokeId;
    EXPECT_TRUE(log.WaitFor("InvokeId mismatch: waiting for 0x" + Hex(id) + " received 0x" + Hex(id ^ 0x80000000u)));
    EXPECT_TRUE(log.Contains("No response pending"));
    ExpectHealthy();

    // A reply that comes after its requester gave up (another port's reply keeps the connection).
    sim->InjectReplyFault(ReplyFault::Delay(400ms));
    sim->InjectReplyFault(ReplyFault::Delay(50ms));
    auto late = ReadAsync(30000, 150);
    const uint32_t lateId = AwaitRequest(late.requestsBefore + 1).invokeId;
    auto alive = ReadAsync(30001, 2000);
    EXPECT_EQ(late.result.get(), ADS_ERR_SYNC_TIMEOUT);
    EXPECT_EQ(alive.result.get(), 0);
    EXPECT_TRUE(log.WaitFor("InvokeId mismatch: waiting for 0x0 received 0x" + Hex(lateId)));
    ExpectHealthy(30000);

    // A reply for a port outside the local range.
    sim->InjectReplyFault(ReplyFault::Drop());
    auto pending = ReadAsync(30000, 2000);
    auto request = AwaitRequest(pending.requestsBefore + 1);
    auto foreign = request;
    foreign.sourcePort = 29000;
    ASSERT_TRUE(sim->SendRawToLatest(Reply(foreign, ReadReplyData(0, {1, 2, 3, 4}))));
    EXPECT_TRUE(log.WaitFor("Port 0x7148 is out of range"));
    ASSERT_TRUE(sim->SendRawToLatest(Reply(request, ReadReplyData(0, {9, 8, 7, 6}))));
    EXPECT_EQ(pending.result.get(), 0);
    EXPECT_EQ(*pending.buffer, (std::vector<uint8_t>{9, 8, 7, 6}));

    // Invoke id 0 to an idle port: nobody waits there, so nothing may be taken.
    auto idle = request;
    idle.sourcePort = 30050;
    idle.invokeId = 0;
    ASSERT_TRUE(sim->SendRawToLatest(Reply(idle, ReadReplyData(0, {1, 2, 3, 4}))));
    EXPECT_TRUE(log.WaitFor("InvokeId mismatch: waiting for 0x0 received 0x0"));
    ExpectHealthy();
}

TEST_F(ConnectionTest, UndersizedRepliesAreRejectedAndSkippedExactly)
{
    LogCapture log(LOG_LEVEL_WARN);
    uint8_t buffer[4];
    for (uint32_t length : {2u, 6u}) {
        SCOPED_TRACE(length);
        sim->InjectReplyFault(ReplyFault::Undersized(length));
        std::memset(buffer, 0xEE, sizeof(buffer));
        EXPECT_EQ(Read(30000, 0, 4, buffer, 4), ADS_ERR_INVALID_SIZE);
        EXPECT_EQ(buffer[0], 0xEE);
        ExpectHealthy();
    }
    sim->InjectReplyFault(ReplyFault::Undersized(2));
    EXPECT_EQ(Write(30000, 0, {1, 2, 3, 4}), ADS_ERR_INVALID_SIZE);
    ExpectHealthy();
}

TEST_F(ConnectionTest, LengthFieldsThatDisagreeOrAreHuge)
{
    LogCapture log(LOG_LEVEL_WARN);

    // AMS/TCP length beyond the AMS length: the reply is used, the excess skipped.
    sim->InjectReplyFault(ReplyFault::Drop());
    auto pending = ReadAsync(30000, 2000);
    auto request = AwaitRequest(pending.requestsBefore + 1);
    ASSERT_TRUE(sim->SendRawToLatest(Reply(request, ReadReplyData(0, {1, 2, 3, 4}), std::nullopt, 5)));
    EXPECT_EQ(pending.result.get(), 0);
    EXPECT_EQ(*pending.buffer, (std::vector<uint8_t>{1, 2, 3, 4}));
    ExpectHealthy();

    // An AMS length near 2^32 in a small packet: rejected at once, the packet skipped.
    for (uint32_t claimed : {0xFFFFFFFFu, 0xFFFFFFF8u, 13u}) {
        SCOPED_TRACE(claimed);
        sim->InjectReplyFault(ReplyFault::Drop());
        pending = ReadAsync(30000, 5000);
        request = AwaitRequest(pending.requestsBefore + 1);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(sim->SendRawToLatest(Reply(request, ReadReplyData(0, {1, 2, 3, 4}), claimed)));
        EXPECT_EQ(pending.result.get(), ADS_ERR_INVALID_RESPONSE);
        EXPECT_LT(ElapsedMs(start), 2000);
        ExpectHealthy();
    }
}

TEST_F(ConnectionTest, DeadlineDuringReplyDataSkipsOnlyTheRest)
{
    LogCapture log(LOG_LEVEL_WARN);
    sim->InjectReplyFault(ReplyFault::Drop());
    auto pending = ReadAsync(30000, 150, 8);
    const auto request = AwaitRequest(1);
    const auto reply = Reply(request, ReadReplyData(0, {1, 2, 3, 4, 5, 6, 7, 8}));
    // Headers, reply header and three data bytes now; the rest after the deadline.
    const size_t cut = 6 + 32 + 8 + 3;
    ASSERT_TRUE(sim->SendRawToLatest(std::vector<uint8_t>(reply.begin(), reply.begin() + cut)));
    EXPECT_EQ(pending.result.get(), ADS_ERR_SYNC_TIMEOUT);
    EXPECT_TRUE(log.Contains("InvokeId of response: " + std::to_string(request.invokeId) + " timed out"));
    ASSERT_TRUE(sim->SendRawToLatest(std::vector<uint8_t>(reply.begin() + cut, reply.end())));
    ExpectHealthy();
    ExpectHealthy(30000);
}

// ---- notifications arriving on the connection ----

struct Received {
    std::mutex mutex;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> samples;
    static Received& Get()
    {
        static Received instance;
        return instance;
    }
    static void Callback(const AmsAddr*, const AdsNotificationHeader* header, uint32_t user)
    {
        auto& self = Get();
        const auto* data = reinterpret_cast<const uint8_t*>(header + 1);
        std::lock_guard<std::mutex> lock(self.mutex);
        self.samples.emplace_back(user, std::vector<uint8_t>(data, data + header->dataSize));
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return samples.size();
    }
};

TEST_F(ConnectionTest, NotificationsReachTheirDispatcherAndBadOnesAreSkipped)
{
    LogCapture log(LOG_LEVEL_WARN);
    Received::Get().samples.clear();
    ExpectHealthy(30000); // lets the simulator know where to send
    auto notification = std::make_shared<Notification>(&Received::Callback, 42, 4, target, 30000);
    const auto dispatcher = connection->CreateNotifyMapping(7, notification);
    EXPECT_EQ(connection->DispatcherListAdd(DispatcherKey(30000, target)), dispatcher);
    EXPECT_NE(connection->DispatcherListAdd(DispatcherKey(30001, target)), dispatcher);

    plcsim::NotificationFrame frame;
    frame.target = AmsAddr{router.localNetId, 30000};
    frame.source = target;
    frame.stamps.push_back(plcsim::RawStamp{1, {plcsim::RawSample{7, {1, 2, 3, 4}, std::nullopt}}, std::nullopt});
    const auto good = plcsim::BuildNotificationFrame(frame);

    // Unknown pair, a frame larger than the ring, an AMS length beyond the packet:
    // each skipped, and the good frame after them still arrives.
    auto unknown = frame;
    unknown.target.amsPort = 30099;
    auto huge = frame;
    huge.stamps[0].samples[0].data.assign(NotificationDispatcher::DEFAULT_RING_CAPACITY, 0x11);
    auto lying = frame;
    lying.claimedAmsLength = 0xFFFFFFFCu;
    for (const auto& bad : {unknown, huge, lying}) {
        ASSERT_TRUE(sim->SendRawToLatest(plcsim::BuildNotificationFrame(bad)));
        ASSERT_TRUE(sim->SendRawToLatest(good));
    }
    ASSERT_TRUE(plcsim::WaitUntil([] { return Received::Get().Count() >= 3; }, 5s));
    {
        std::lock_guard<std::mutex> lock(Received::Get().mutex);
        EXPECT_EQ(Received::Get().samples.size(), 3u);
        for (const auto& sample : Received::Get().samples) {
            EXPECT_EQ(sample.first, 42u);
            EXPECT_EQ(sample.second, (std::vector<uint8_t>{1, 2, 3, 4}));
        }
    }
    EXPECT_TRUE(log.Contains("No dispatcher found for notification"));
    EXPECT_TRUE(log.Contains("port 30000 receive buffer was full"));
    ExpectHealthy();

    // Deleting sends command 7 with the handle as its only payload.
    connection->DeleteNotification(target, 0xA1B2C3D4u, 2000, 30000);
    const auto raw = sim->Requests().back().raw;
    ASSERT_EQ(raw.size(), 42u);
    EXPECT_EQ(AoEHeader::Decode(raw.data() + 6).cmdId, ADS_CMD_DEL_DEVICE_NOTIFICATION);
    EXPECT_EQ(le::Read<uint32_t>(raw.data() + 38), 0xA1B2C3D4u);
}

} // namespace
} // namespace transport
