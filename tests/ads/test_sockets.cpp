// The socket layer: host strings, candidate fallback, bounded connect, waits that
// work for any descriptor number, and failures turned into exceptions or 0.
#include "ads/Sockets.h"

#include "support/transport_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long ElapsedMs(Clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
}

// A plain loopback socket on an ephemeral port, listening or only bound.
class RawServer {
public:
    explicit RawServer(int backlog = 8, bool listening = true)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        socklen_t length = sizeof(addr);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
        port = ntohs(addr.sin_port);
        if (listening) {
            EXPECT_EQ(::listen(fd, backlog), 0);
        }
    }
    ~RawServer()
    {
        for (int peer : peers) {
            ::close(peer);
        }
        ::close(fd);
    }
    int Accept()
    {
        const int peer = ::accept(fd, nullptr, nullptr);
        peers.push_back(peer);
        return peer;
    }
    plc::ads::AddressList Addresses() const
    {
        return plc::ads::GetListOfAddresses("127.0.0.1", std::to_string(port));
    }

    int fd;
    uint16_t port = 0;
    std::vector<int> peers;
};

// A TCP client connected to a RawServer, with the server's end of the connection.
struct Pair {
    Pair() : client(server.Addresses().get()), peer(server.Accept()) {}
    RawServer server;
    TcpSocket client;
    int peer;
};

uint16_t PortOf(const addrinfo* entry)
{
    if (entry->ai_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in6*>(entry->ai_addr)->sin6_port);
}

std::string AddressOf(const addrinfo* entry)
{
    char text[INET6_ADDRSTRLEN] = {};
    const void* raw = entry->ai_family == AF_INET
                          ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr)
                          : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(entry->ai_addr)->sin6_addr);
    inet_ntop(entry->ai_family, raw, text, sizeof(text));
    return text;
}

std::string ErrorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

TEST(Sockets, HostTextsAreSplitIntoHostAndPort)
{
    struct Case {
        const char* host;
        int family;
        const char* address;
        uint16_t port;
    } cases[] = {
        {"127.0.0.1", AF_INET, "127.0.0.1", 48898},
        {"127.0.0.1:801", AF_INET, "127.0.0.1", 801},
        {"[::1]", AF_INET6, "::1", 48898},
        {"[::1]:851", AF_INET6, "::1", 851},
        {"::1", AF_INET6, "::1", 48898},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        const auto list = plc::ads::GetListOfAddresses(c.host, "48898");
        ASSERT_TRUE(list);
        EXPECT_EQ(list->ai_family, c.family);
        EXPECT_EQ(AddressOf(list.get()), c.address);
        EXPECT_EQ(PortOf(list.get()), c.port);
    }
    // The error names the host as it was resolved: without brackets and port.
    EXPECT_EQ(ErrorOf([] { plc::ads::GetListOfAddresses("[::1]:no-such-service", "48898"); }),
              "Invalid or unknown host: ::1");
    EXPECT_EQ(ErrorOf([] { plc::ads::GetListOfAddresses("127.0.0.1:no-such-service", "48898"); }),
              "Invalid or unknown host: 127.0.0.1");
}

TEST(Sockets, Ipv4Values)
{
    EXPECT_EQ(plc::ads::getIpv4("127.0.0.1"), 0x7F000001u);
    EXPECT_TRUE(IpV4("10.0.0.1") < IpV4("10.0.0.2"));
    EXPECT_TRUE(IpV4("10.0.0.1") == IpV4(167772161u));
    EXPECT_EQ(ErrorOf([] { plc::ads::getIpv4("::1"); }), "Invalid IPv4 address or unknown hostname: ::1");
}

TEST(Sockets, RefusedCandidateFallsBackToTheNextOne)
{
    RawServer refusing(0, false); // bound, not listening: the connect is refused
    RawServer accepting;
    sockaddr_in first{}, second{};
    first.sin_family = second.sin_family = AF_INET;
    first.sin_addr.s_addr = second.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    first.sin_port = htons(refusing.port);
    second.sin_port = htons(accepting.port);
    addrinfo secondEntry{};
    secondEntry.ai_family = AF_INET;
    secondEntry.ai_addrlen = sizeof(second);
    secondEntry.ai_addr = reinterpret_cast<sockaddr*>(&second);
    addrinfo firstEntry = secondEntry;
    firstEntry.ai_addr = reinterpret_cast<sockaddr*>(&first);
    firstEntry.ai_next = &secondEntry;

    transport::LogCapture log(LOG_LEVEL_WARN);
    TcpSocket socket(&firstEntry);
    EXPECT_EQ(log.Count("Socket(): connect failed"), 1u);
    EXPECT_EQ(socket.Connect(), 0x7F000001u);
    EXPECT_TRUE(socket.IsConnectedTo(&firstEntry)); // the second entry of the list matches
    addrinfo otherPort = firstEntry;
    otherPort.ai_next = nullptr;
    EXPECT_FALSE(socket.IsConnectedTo(&otherPort));
    EXPECT_FALSE(socket.IsConnectedTo(nullptr));

    // No candidate at all: logged and thrown as a system error.
    firstEntry.ai_next = nullptr;
    EXPECT_THROW(TcpSocket{&firstEntry}, std::system_error);
    EXPECT_TRUE(log.Contains("Unable to create socket"));
}

TEST(Sockets, ConnectToAPeerThatNeverCompletesTheHandshakeIsBounded)
{
    // Backlog 0 and an accept queue that nobody drains: further handshakes are not answered.
    RawServer stuck(0);
    const auto addresses = stuck.Addresses();
    std::vector<std::unique_ptr<TcpSocket>> fillers;
    transport::LogCapture log(LOG_LEVEL_WARN);
    bool timedOut = false;
    for (int attempt = 0; attempt < 8 && !timedOut; ++attempt) {
        const auto start = Clock::now();
        try {
            fillers.push_back(std::make_unique<TcpSocket>(addresses.get(), milliseconds(200)));
        } catch (const std::system_error&) {
            const long elapsed = ElapsedMs(start);
            EXPECT_GE(elapsed, 150);
            // One bounded attempt: the address is not tried again once per socket type.
            EXPECT_LT(elapsed, 450);
            timedOut = true;
        }
    }
    EXPECT_TRUE(timedOut);
    EXPECT_TRUE(log.Contains("Socket(): connect failed"));
}

TEST(Sockets, ReadTimesOutWithinTheSharedBound)
{
    Pair pair;
    transport::LogCapture log(LOG_LEVEL_ERROR);
    uint8_t byte = 0;
    timeval bound{0, 60000};
    auto start = Clock::now();
    EXPECT_THROW(pair.client.read(&byte, 1, &bound), Socket::TimeoutEx);
    EXPECT_GE(ElapsedMs(start), 55);
    EXPECT_EQ(bound.tv_sec, 0);
    EXPECT_EQ(bound.tv_usec, 0);
    EXPECT_TRUE(log.Contains("select() timeout"));

    // A used-up bound stays used up; a zero bound does not wait.
    start = Clock::now();
    EXPECT_THROW(pair.client.read(&byte, 1, &bound), Socket::TimeoutEx);
    EXPECT_LT(ElapsedMs(start), 50);

    // Pending data is read at once, into a buffer or a frame.
    ASSERT_EQ(::send(pair.peer, "ab", 2, 0), 2);
    timeval shared{1, 0};
    EXPECT_EQ(pair.client.read(&byte, 1, &shared), 1u);
    EXPECT_EQ(byte, 'a');
    Frame frame(16, nullptr);
    EXPECT_EQ(pair.client.read(frame, &shared), 1u);
    EXPECT_EQ(frame.size(), 1u);
    EXPECT_EQ(frame[0], 'b');
}

TEST(Sockets, ReadEndsWhenThePeerClosesOrOnShutdown)
{
    {
        Pair pair;
        auto reader = std::async(std::launch::async, [&] {
            uint8_t byte;
            return ErrorOf([&] { pair.client.read(&byte, 1, nullptr); });
        });
        ::shutdown(pair.peer, SHUT_RDWR);
        ASSERT_EQ(reader.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_EQ(reader.get(), "connection closed by remote");
    }
    {
        Pair pair;
        std::promise<void> started;
        auto reader = std::async(std::launch::async, [&] {
            uint8_t byte;
            started.set_value();
            return ErrorOf([&] { pair.client.read(&byte, 1, nullptr); });
        });
        started.get_future().wait();
        pair.client.Shutdown();
        ASSERT_EQ(reader.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_EQ(reader.get(), "connection closed by remote");
    }
}

// A socket class that reads through an arbitrary descriptor number.
struct MovedSocket : TcpSocket {
    MovedSocket(const addrinfo* candidates, int target) : TcpSocket(candidates)
    {
        if (::dup2(descriptor, target) == target) {
            ::close(descriptor);
            descriptor = target;
        }
    }
    int Descriptor() const { return descriptor; }
};

TEST(Sockets, WaitsWorkForDescriptorsAboveTheSelectLimit)
{
    constexpr int kHigh = 1500;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit saved = limit;
    if (limit.rlim_cur <= static_cast<rlim_t>(kHigh)) {
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= static_cast<rlim_t>(kHigh)) {
            GTEST_SKIP() << "descriptor limit too low";
        }
        limit.rlim_cur = kHigh + 1;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    {
        RawServer server;
        MovedSocket socket(server.Addresses().get(), kHigh);
        ASSERT_EQ(socket.Descriptor(), kHigh);
        const int peer = server.Accept();

        uint8_t byte = 0;
        timeval bound{0, 20000};
        EXPECT_THROW(socket.read(&byte, 1, &bound), Socket::TimeoutEx);
        ASSERT_EQ(::send(peer, "x", 1, 0), 1);
        timeval wait{2, 0};
        EXPECT_EQ(socket.read(&byte, 1, &wait), 1u);
        EXPECT_EQ(byte, 'x');
    }
    setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(Sockets, SendingToAVanishedPeerFailsWithoutASignal)
{
    Pair pair;
    ::close(pair.peer);
    pair.server.peers.clear();
    transport::LogCapture log(LOG_LEVEL_ERROR);
    const uint8_t bytes[64] = {};
    const Frame frame(sizeof(bytes), bytes);
    // The first send may still be accepted; the reset it provokes fails a later one.
    size_t sent = frame.size();
    for (int i = 0; i < 100 && sent != 0; ++i) {
        sent = pair.client.write(frame);
        if (sent != 0) {
            std::this_thread::yield();
        }
    }
    EXPECT_EQ(sent, 0u);
    EXPECT_TRUE(log.Contains("write frame failed with error: "));
}

TEST(Sockets, BoundedWriteToAPeerThatDoesNotReadReturnsWhatWasSent)
{
    Pair pair;
    transport::LogCapture log(LOG_LEVEL_ERROR);
    constexpr size_t kLength = 32 * 1024 * 1024; // far beyond both socket buffers
    Frame big(kLength, nullptr);
    std::memset(big.rawData(), 0x55, kLength);
    big.limit(kLength);
    timeval bound{0, 150000};
    const auto start = Clock::now();
    const size_t sent = pair.client.write(big, &bound);
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, big.size());
    EXPECT_LT(ElapsedMs(start), 2000);
    EXPECT_TRUE(log.Contains("write frame timed out"));
}

} // namespace
