// The receive path against the simulator's faults: a bad reply fails only its own request, a lost peer
// releases every waiter at once, a peer that stops reading cannot block a caller, all ports share one connection.
#include "support/stack.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <map>
#include <set>
#include <thread>
#include <tuple>

namespace stack {
namespace {

class ReceivePath : public StackTest {
protected:
    // Reads the port's cell on another thread: the result, the buffer and the bytes read.
    std::future<std::tuple<int32_t, std::vector<uint8_t>, uint32_t>> ReadAsync(int32_t from, uint32_t length = 4)
    {
        return std::async(std::launch::async, [this, from, length] {
            std::vector<uint8_t> buffer(length, 0xEE);
            uint32_t bytesRead = 99;
            const int32_t result = Read(from, buffer.data(), length, &bytesRead);
            return std::make_tuple(result, buffer, bytesRead);
        });
    }
    // Every request on the lost connection ends at once, unsent; a route added again connects anew.
    void ExpectLostThenReconnect(int32_t from, int32_t lostResult = ADS_ERR_SYNC_TIMEOUT)
    {
        ASSERT_TRUE(WaitUntil([&] { return Counters().connection == 0; }));
        const size_t sent = sim->RequestCount();
        const uint64_t reconnections = Counters().reconnections;
        AdsSyncSetTimeoutEx(from, 10000);
        uint8_t cell[4];
        const auto start = Clock::now();
        EXPECT_EQ(lostResult, Read(from, cell, 4));
        EXPECT_LT(ElapsedMs(start), 500);
        EXPECT_EQ(sent, sim->RequestCount());
        ASSERT_EQ(0, plc::ads::AddLocalRoute(kPlc, sim->HostString().c_str()));
        plc::ads::DelLocalRoute(kPlc);
        ExpectHealthy(from);
        EXPECT_EQ(reconnections + 1, Counters().reconnections);
    }
};

// Bad replies from the simulator's faults, or hand-made ones (the Drop fault: the test replies).
TEST_F(ReceivePath, BadRepliesFailOnlyTheirRequestAndTheStreamStaysAligned)
{
    LogCapture log;
    using Header = plc::ads::AoEHeader;
    const ReplyFault own = ReplyFault::Drop();
    struct Case {
        const char* what;
        ReplyFault fault;
        int32_t result;
        const char* logged;
        std::optional<uint32_t> amsLength = std::nullopt;
        size_t extra = 0;     // bytes after the data, counted by the AMS/TCP length only
        uint16_t firstTo = 0; // a reply to this local port first, with invoke id `firstId` (1: the request's)
        uint32_t firstId = 0;
        uint16_t cmdId = 0;   // the reply's command and state flags instead of the request's
        uint16_t flags = 0;
    };
    const Case cases[] = {
        {"AMS error", ReplyFault::AmsError(1793), 1793, ""},
        {"AMS error 2^32-1", ReplyFault::AmsError(0xFFFFFFFF), ADS_ERR_INVALID_RESPONSE, ""}, // not "no result yet"
        {"oversized", ReplyFault::Oversized(4), ADS_ERR_INVALID_SIZE, "Frame too long: 16>12"},
        {"undersized to 2", ReplyFault::Undersized(2), ADS_ERR_INVALID_SIZE, ""},
        {"undersized to 6", ReplyFault::Undersized(6), ADS_ERR_INVALID_SIZE, ""},
        {"unknown command", ReplyFault::UnknownCommand(100), ADS_ERR_SYNC_TIMEOUT, "Not the awaited reply: command 100"},
        {"another command's reply, same id", own, ADS_ERR_SYNC_TIMEOUT, "", std::nullopt, 0, 0, 0, ADS_CMD_WRITE},
        {"a request of the peer, same id", own, ADS_ERR_SYNC_TIMEOUT, "", std::nullopt, 0, 0, 0, 0, 0x0004},
        {"short packet before", ReplyFault::ShortFrameBefore(10), 0, "Frame to short to be AoE"},
        {"split into single bytes", ReplyFault::Split(), 0, ""},
        {"foreign invoke id", ReplyFault::WrongInvokeId(), ADS_ERR_SYNC_TIMEOUT, "No response pending"},
        {"bytes after the AMS length", own, 0, "", std::nullopt, 5},
        {"AMS length 2^32-1", own, ADS_ERR_INVALID_RESPONSE, "", 0xFFFFFFFFu},
        {"AMS length 2^32-8", own, ADS_ERR_INVALID_RESPONSE, "", 0xFFFFFFF8u},
        {"AMS length 13", own, ADS_ERR_INVALID_RESPONSE, "", 13u},
        {"a reply to a port out of range first", own, 0, "Port 0x7148 is out of range", std::nullopt, 0, 29000, 1},
        {"invoke id 0 to an idle port first", own, 0, "InvokeId mismatch: waiting for 0x0 received 0x0",
         std::nullopt, 0, 30050},
    };
    const int32_t other = OpenPort();
    const std::vector<uint8_t> cell = Words({Cell(port)});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim->ClearRequests();
        sim->InjectReplyFault(c.fault);
        AdsSyncSetTimeoutEx(port, c.result == ADS_ERR_SYNC_TIMEOUT ? 250 : 2000);
        auto pending = ReadAsync(port);
        if (c.fault.kind == own.kind) {
            const Header request = AwaitRequest(1);
            Header first = request;
            first.sourcePort = c.firstTo;
            first.invokeId = c.firstId ? request.invokeId : 0;
            ASSERT_TRUE(!c.firstTo || sim->SendRawToLatest(Reply(first, ReadData(cell))));
            auto reply = Reply(request, ReadData(cell), c.amsLength, c.extra);
            le::Write<uint16_t>(reply.data() + 6 + 16, c.cmdId ? c.cmdId : request.cmdId);
            le::Write<uint16_t>(reply.data() + 6 + 18, c.flags ? c.flags : uint16_t{0x0005});
            ASSERT_TRUE(sim->SendRawToLatest(reply));
        }
        const auto [result, buffer, bytesRead] = pending.get();
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(c.result ? std::vector<uint8_t>(4, 0xEE) : cell, buffer);
        EXPECT_EQ(c.result ? 0u : 4u, bytesRead);
        EXPECT_TRUE(log.Contains(c.logged));
        ExpectHealthy(port);
        ExpectHealthy(other);
    }
    EXPECT_EQ(6u, Counters().unmatchedReplies) << "foreign id or command, a request, the port out of range, id 0";
    sim->InjectReplyFault(ReplyFault::Undersized(2));
    EXPECT_EQ(ADS_ERR_INVALID_SIZE, AdsSyncWriteReqEx(port, &plc, kGroup, 4 * 127, 4, "abcd"));
    ExpectHealthy(port);
    EXPECT_TRUE(Counters().connection != 0);

    // The deadline runs out inside a reply's data: only the rest of that packet is skipped.
    sim->ClearRequests();
    sim->InjectReplyFault(own);
    AdsSyncSetTimeoutEx(port, 150);
    auto cut = ReadAsync(port, 8);
    const Header request = AwaitRequest(1);
    const auto reply = Reply(request, ReadData({1, 2, 3, 4, 5, 6, 7, 8}));
    const size_t part = 6 + 32 + 8 + 3;
    ASSERT_TRUE(sim->SendRawToLatest(std::vector<uint8_t>(reply.begin(), reply.begin() + part)));
    EXPECT_EQ(ADS_ERR_SYNC_TIMEOUT, std::get<0>(cut.get()));
    EXPECT_TRUE(log.Contains("InvokeId of response: " + std::to_string(request.invokeId) + " timed out"));
    ASSERT_TRUE(sim->SendRawToLatest(std::vector<uint8_t>(reply.begin() + part, reply.end())));
    AdsSyncSetTimeoutEx(port, 2000);
    ExpectHealthy(port);
}

TEST_F(ReceivePath, ASilentPortTimesOutAloneButASilentPeerIsGivenUp)
{
    using Header = plc::ads::AoEHeader;
    LogCapture log;
    // Another port's reply meanwhile shows the peer alive; a notification granted too late is deleted.
    const int32_t other = OpenPort();
    sim->InjectReplyFault(ReplyFault::Delay(450ms).For(ADS_CMD_ADD_DEVICE_NOTIFICATION));
    sim->InjectReplyFault(ReplyFault::Delay(50ms));
    AdsSyncSetTimeoutEx(port, 300);
    const AdsNotificationAttrib attrib{4, ADS_TRANS_SERVER_ON_CHANGE, 0, 0};
    uint32_t handle = 0;
    const auto start = Clock::now();
    auto silent = std::async(std::launch::async, [&] {
        return AdsSyncAddDeviceNotificationReqEx(port, &plc, kGroup, 0, &attrib, &Recorder::Callback, 0, &handle);
    });
    AwaitRequest(1);
    uint8_t cell[4];
    const auto refused = Clock::now();
    EXPECT_EQ(-1, Read(port, cell, 4)) << "a port that already waits is refused at once";
    EXPECT_LT(ElapsedMs(refused), 200);
    EXPECT_TRUE(log.Contains("Port: " + std::to_string(port) + " already in use as 0x"));
    auto alive = ReadAsync(other);
    EXPECT_EQ(ADS_ERR_SYNC_TIMEOUT, silent.get());
    EXPECT_GE(ElapsedMs(start), 295);
    EXPECT_LT(ElapsedMs(start), 2000) << "the port's own time-out bounds the wait";
    EXPECT_EQ(0, std::get<0>(alive.get()));
    EXPECT_TRUE(WaitUntil([&] { return Sent(ADS_CMD_DEL_DEVICE_NOTIFICATION) == 1 && !sim->NotificationCount(); }));
    // Nobody waits for the late grant: it is counted. The reply to its delete is expected and is not.
    EXPECT_TRUE(WaitUntil([&] { return Sent(ADS_CMD_DEL_DEVICE_NOTIFICATION) == 1; }));
    EXPECT_FALSE(WaitUntil([&] { return Counters().unmatchedReplies != 1; }, 200ms));
    ExpectHealthy(port);

    // Copies of a live grant (another invoke id, or id 0) leave it alone; one of a handle nobody holds is deleted.
    AdsSyncSetTimeoutEx(port, 2000);
    sim->ClearRequests();
    ASSERT_EQ(0, AdsSyncAddDeviceNotificationReqEx(port, &plc, kGroup, 0, &attrib, &Recorder::Callback, 0, &handle));
    Header grant = AwaitRequest(1);
    for (const auto& [id, granted] : {std::pair{grant.invokeId + 1000, handle}, {0u, handle}, {0u, handle + 1}}) {
        grant.invokeId = id;
        ASSERT_TRUE(sim->SendRawToLatest(Reply(grant, Words({0, granted}))));
    }
    EXPECT_TRUE(WaitUntil([&] { return Counters().unmatchedReplies == 4; })) << "but not the reply to the delete";
    EXPECT_TRUE(WaitUntil([&] { return Sent(ADS_CMD_DEL_DEVICE_NOTIFICATION) == 1; }));
    EXPECT_EQ(1u, sim->NotificationCount());
    EXPECT_EQ(0, AdsSyncDelDeviceNotificationReqEx(port, &plc, handle));

    sim->InjectReplyFault(ReplyFault::Drop());
    AdsSyncSetTimeoutEx(port, 60);
    EXPECT_EQ(ADS_ERR_SYNC_TIMEOUT, Read(port, cell, 4));
    EXPECT_TRUE(log.Contains("nothing received for 60 ms, giving up the connection"));
    ExpectLostThenReconnect(other);
}

TEST_F(ReceivePath, LosingThePeerReleasesEveryWaiterAtOnce)
{
    LogCapture log(LOG_LEVEL_INFO);
    while (ports.size() < 16) {
        OpenPort();
    }
    // Without a fault of the peer, the connection is aborted here.
    const std::pair<const char*, std::optional<ReplyFault>> cases[] = {
        {"close inside a reply", ReplyFault::CloseInside()},
        {"reset inside a reply", ReplyFault::ResetInside()},
        {"close inside the AMS header", ReplyFault::CloseInside(6 + 32 + 3)},
        {"close before a reply", ReplyFault::CloseBefore()},
        {"reset before a reply", ReplyFault::ResetBefore()},
        {"connection aborted", std::nullopt},
    };
    for (const auto& [what, fault] : cases) {
        SCOPED_TRACE(what);
        sim->ClearRequests();
        // The last request's reply carries the fault, so that every request is on the wire first.
        sim->InjectReplyFault(ReplyFault::Drop().Times(static_cast<uint32_t>(ports.size() - (fault ? 1 : 0))));
        if (fault) {
            sim->InjectReplyFault(*fault);
        }
        std::vector<decltype(ReadAsync(port))> waiting;
        for (const int32_t p : ports) {
            AdsSyncSetTimeoutEx(p, 10000);
            waiting.push_back(ReadAsync(p));
        }
        AwaitRequest(ports.size());
        const auto start = Clock::now();
        if (!fault) {
            plc::ads::AbortConnection(kPlc);
        }
        // Closed by the peer says so; only a connection given up here ends like a time-out.
        const int32_t lostResult = fault ? ADS_ERR_CONNECTION_CLOSED : ADS_ERR_SYNC_TIMEOUT;
        for (auto& pending : waiting) {
            ASSERT_EQ(std::future_status::ready, pending.wait_for(2s));
            EXPECT_EQ(lostResult, std::get<0>(pending.get()));
        }
        EXPECT_LT(ElapsedMs(start), 2000);
        sim->ClearReplyFaults();
        ExpectLostThenReconnect(port, lostResult);
    }
    EXPECT_TRUE(log.Contains("Info: connection closed"));
}

// Bytes waiting to be sent on the fullest socket of this process.
int FullestSendQueue()
{
    int fullest = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        int queued = 0;
        if (::ioctl(fd, SIOCOUTQ, &queued) == 0) {
            fullest = std::max(fullest, queued);
        }
    }
    return fullest;
}

TEST_F(ReceivePath, APeerThatStopsReadingCannotBlockTheCaller)
{
    const Loopback deafPeer(true, 4); // the kernel completes the handshake; nobody ever reads
    const AmsNetId deaf{10, 20, 0, 9, 1, 1};
    const AmsAddr target{deaf, 851};
    ASSERT_EQ(0, plc::ads::AddLocalRoute(deaf, deafPeer.Host().c_str()));
    {
        LogCapture log(LOG_LEVEL_ERROR);
        const std::vector<uint8_t> big(32u << 20, 0x55); // beyond both socket buffers
        AdsSyncSetTimeoutEx(port, 300);
        const auto start = Clock::now();
        EXPECT_EQ(-1, AdsSyncWriteReqEx(port, &target, kGroup, 0, static_cast<uint32_t>(big.size()), big.data()));
        EXPECT_LT(ElapsedMs(start), 2000);
        EXPECT_TRUE(log.Contains("frame written partially: "));
        // Half a frame is on the stream: nothing after it could be parsed, so the connection is given up.
        EXPECT_TRUE(WaitUntil([&] { return plc::ads::GetConnectionCounters(deaf).connection == 0; }));
        uint16_t adsState = 0;
        uint16_t devState = 0;
        EXPECT_EQ(ADS_ERR_SYNC_TIMEOUT, AdsSyncReadStateReqEx(port, &target, &adsState, &devState));
    }
    plc::ads::DelLocalRoute(deaf);
}

// A peer with a small receive buffer that reads slowly and never answers: sends to it are partial.
// It gives back all it read once the connection ends (or has been silent for 5 s).
struct SlowPeer {
    SlowPeer()
    {
        const int tiny = 4096;
        const timeval bound{5, 0};
        ::setsockopt(listener.fd, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof(tiny));
        ::setsockopt(listener.fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound));
        stream = std::async(std::launch::async, [this, bound] {
            const int fd = ::accept(listener.fd, nullptr, nullptr);
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound));
            std::vector<uint8_t> bytes;
            uint8_t chunk[1024];
            for (ssize_t n; fd >= 0 && (n = ::recv(fd, chunk, sizeof(chunk), 0)) > 0;) {
                bytes.insert(bytes.end(), chunk, chunk + n);
                std::this_thread::sleep_for(4ms); // a slow link: about 256 KB/s
            }
            ::close(fd);
            return bytes;
        });
    }
    const Loopback listener{true, 4};
    std::future<std::vector<uint8_t>> stream;
};

// A write's data: its stamp, then a pattern that shows any byte out of place.
std::vector<uint8_t> Stamped(uint32_t stamp, size_t size)
{
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<uint8_t>(stamp + i * 7 + i / 251);
    }
    le::Write<uint32_t>(data.data(), stamp);
    return data;
}

TEST_F(ReceivePath, ASlowPeerGetsEveryByteAndNoCallerWaitsForAnothersTimeOut)
{
    SlowPeer peer;
    const AmsAddr target{AmsNetId{10, 20, 0, 7, 1, 1}, 851};
    ASSERT_EQ(0, plc::ads::AddLocalRoute(target.amsNetId, peer.listener.Host().c_str()));
    // A small fixed send buffer too, as on a congested link (the system would grow it to megabytes).
    const int small = 8 << 10;
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in addr{};
        socklen_t length = sizeof(addr);
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0 && addr.sin_family == AF_INET &&
            ntohs(addr.sin_port) == peer.listener.port) {
            EXPECT_EQ(0, ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)));
        }
    }
    const auto write = [&](int32_t from, uint32_t stamp, size_t size) {
        return AdsSyncWriteReqEx(from, &target, kGroup, 0, static_cast<uint32_t>(size), Stamped(stamp, size).data());
    };
    // A short request holds the write lock while its frame goes out in parts, and then sends the
    // long requests' frames left meanwhile: more than its own time-out can carry.
    std::promise<void> go;
    const std::shared_future<void> released = go.get_future().share();
    std::map<uint32_t, std::future<int32_t>> longWrites;
    for (uint32_t stamp = 100; ports.size() < ADS_PORT_COUNT - 7; ++stamp) {
        const int32_t p = OpenPort(5000);
        longWrites[stamp] = std::async(std::launch::async, [&write, released, p, stamp] {
            released.wait();
            return write(p, stamp, 4000);
        });
    }
    const int32_t shortPort = OpenPort(800);
    const auto start = Clock::now();
    auto shortWrite = std::async(std::launch::async, [&] { return write(shortPort, 1, 48 << 10); });
    EXPECT_TRUE(WaitUntil([] { return FullestSendQueue() >= (8 << 10); }));
    go.set_value();
    EXPECT_EQ(ADS_ERR_SYNC_TIMEOUT, shortWrite.get()) << "sent whole, never answered";
    std::map<uint32_t, int32_t> results;
    for (auto& [stamp, pending] : longWrites) {
        results[stamp] = pending.get();
    }
    EXPECT_LT(ElapsedMs(start), 800 + 400) << "within the short time-out, whatever the others asked for";
    EXPECT_EQ(ADS_ERR_SYNC_TIMEOUT, write(shortPort, 2, 4)) << "at once on the connection given up";
    plc::ads::DelLocalRoute(target.amsNetId);
    // Every frame on the stream is whole and intact up to where the connection was cut.
    const std::vector<uint8_t> stream = peer.stream.get();
    std::set<uint32_t> whole;
    for (size_t at = 0; at + 6 + 32 + 16 <= stream.size();) {
        const uint8_t* packet = stream.data() + at;
        const uint32_t size = le::Read<uint32_t>(packet + 6 + 32 + 8);
        ASSERT_EQ(32 + 12 + size, le::Read<uint32_t>(packet + 2)) << "aligned at " << at;
        if (at + 6 + 32 + 12 + size > stream.size()) {
            break;
        }
        const uint32_t stamp = le::Read<uint32_t>(packet + 6 + 32 + 12);
        ASSERT_EQ(Stamped(stamp, size), std::vector<uint8_t>(packet + 50, packet + 50 + size)) << stamp;
        whole.insert(stamp);
        at += 6 + 32 + 12 + size;
    }
    EXPECT_EQ(1u, whole.count(1));
    // Frames sent whole may be acted on: they end unanswered, never as unwritten; the rest as unwritten
    // (or unanswered, when they came after the connection was given up).
    std::set<int32_t> outcomes;
    for (const auto& [stamp, result] : results) {
        outcomes.insert(result);
        EXPECT_TRUE(result == ADS_ERR_SYNC_TIMEOUT || (result == -1 && !whole.count(stamp))) << stamp;
    }
    EXPECT_EQ((std::set<int32_t>{-1, ADS_ERR_SYNC_TIMEOUT}), outcomes) << "some frames sent whole, some not";
}

TEST_F(ReceivePath, AllPortsShareOneConnectionWithoutLosingOrCrossingReplies)
{
    for (int32_t expected = ADS_PORT_BASE + 1; expected < ADS_PORT_BASE + ADS_PORT_COUNT; ++expected) {
        ASSERT_EQ(expected, OpenPort(10000)) << "lowest first";
    }
    EXPECT_EQ(0, AdsPortOpenEx());
    sim->SetRecordLimit(1000);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (const int32_t p : ports) {
        threads.emplace_back([&, p] {
            for (int n = 0; n < 200; ++n) {
                uint8_t cell[4] = {};
                uint32_t bytesRead = 0;
                if (Read(p, cell, 4, &bytesRead) != 0 || bytesRead != 4 || le::Read<uint32_t>(cell) != Cell(p)) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(1u, sim->AcceptedCount());

    // A closed port is closed once, has no address, and comes back first with the default time-out.
    EXPECT_EQ(0, AdsPortCloseEx(30005));
    EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, AdsPortCloseEx(30005));
    AmsAddr untouched{AmsNetId{9, 9, 9, 9, 9, 9}, 9};
    EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, AdsGetLocalAddressEx(30005, &untouched));
    EXPECT_EQ((AmsAddr{AmsNetId{9, 9, 9, 9, 9, 9}, 9}), untouched);
    EXPECT_EQ(30005, AdsPortOpenEx());
    uint32_t timeout = 0;
    EXPECT_EQ(0, AdsSyncGetTimeoutEx(30005, &timeout));
    EXPECT_EQ(ADS_DEFAULT_TIMEOUT_MS, timeout);
    EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, AdsSyncGetTimeoutEx(30128, &timeout));
    EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, AdsSyncSetTimeoutEx(29999, 5));
}

// The receive thread's bounded reads must not use select(), whose sets end at descriptor 1023.
TEST_F(ReceivePath, RepliesArriveOnDescriptorsAboveTheSelectLimit)
{
    rlimit limit{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
    const rlimit saved = limit;
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, 1200);
    if (limit.rlim_max < 1200 || setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        GTEST_SKIP() << "descriptor limit too low";
    }
    std::vector<int> filler;
    while (filler.empty() || (filler.back() >= 0 && filler.back() < 1100)) {
        filler.push_back(::open("/dev/null", O_RDONLY));
    }
    plcsim::PlcSimulator high;
    high.Start();
    const AmsAddr target{AmsNetId{10, 20, 0, 8, 1, 1}, 851};
    ASSERT_EQ(0, plc::ads::AddLocalRoute(target.amsNetId, high.HostString().c_str()));
    uint16_t state[2] = {};
    EXPECT_EQ(0, AdsSyncReadStateReqEx(port, &target, &state[0], &state[1]));
    plc::ads::DelLocalRoute(target.amsNetId);
    for (const int fd : filler) {
        ::close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &saved);
}

} // namespace
} // namespace stack
