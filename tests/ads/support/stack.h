// Helpers of the stack tests: a routed simulator, a recording callback, a log capture, hand-made replies.
#pragma once

#include "ads/AdsDevice.h"
#include "ads/AdsRequests.h"
#include "ads/AmsRouter.h"
#include "ads/LittleEndian.h"
#include "ads/Log.h"
#include "tools/sim/PlcSimulator.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <streambuf>
#include <string>
#include <vector>

namespace stack {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using plcsim::ReplyFault;
namespace le = plc::ads::le;

constexpr uint32_t kGroup = 0x4020;

inline bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 5s)
{
    return plcsim::WaitUntil(pred, timeout);
}

inline long ElapsedMs(Clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The stack's log lines of `level` and above, while it lives.
class LogCapture : std::streambuf {
public:
    explicit LogCapture(uint32_t level = LOG_LEVEL_WARN) : stream(this), previous(Logger::logLevel)
    {
        Logger::SetStream(&stream);
        Logger::logLevel = level;
    }
    ~LogCapture() override
    {
        Logger::logLevel = previous;
        Logger::SetStream(nullptr);
    }
    std::string Text() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return text;
    }
    // Lines of other threads may still be on their way: waits for the text, within a bound.
    bool Contains(const std::string& needle) const
    {
        return WaitUntil([&] { return Text().find(needle) != std::string::npos; });
    }

private:
    // The logger inserts each line whole, so only this is ever called.
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        text.append(s, static_cast<size_t>(n));
        return n;
    }
    mutable std::mutex mutex;
    std::string text;
    std::ostream stream;
    uint32_t previous;
};

struct Sample {
    AmsAddr source;
    uint32_t handle, user;
    uint64_t time;
    std::vector<uint8_t> data;
};

// Records every sample. While held, a callback waits inside the dispatcher thread.
struct Recorder {
    static void Callback(const AmsAddr* source, const AdsNotificationHeader* header, uint32_t user)
    {
        std::unique_lock<std::mutex> lock(mutex);
        const auto* data = reinterpret_cast<const uint8_t*>(header + 1);
        samples.push_back(Sample{*source, header->sourceHandle, user, header->sampleTime,
                                 std::vector<uint8_t>(data, data + header->dataSize)});
        cv.notify_all();
        cv.wait(lock, [] { return !held; });
    }
    static void Hold(bool on)
    {
        std::lock_guard<std::mutex> lock(mutex);
        held = on;
        cv.notify_all();
    }
    static std::vector<Sample> Samples()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return samples;
    }
    static bool WaitForCount(size_t n)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, 5s, [&] { return samples.size() >= n; });
    }
    static void Reset()
    {
        Hold(false);
        std::lock_guard<std::mutex> lock(mutex);
        samples.clear();
    }
    static inline std::mutex mutex;
    static inline std::condition_variable cv;
    static inline std::vector<Sample> samples;
    static inline bool held = false;
};

// A loopback socket on an ephemeral port: only bound (connects are refused) or listening.
struct Loopback {
    explicit Loopback(bool listening, int backlog = 0) : fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(addr);
        EXPECT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
        EXPECT_EQ(0, ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length));
        EXPECT_TRUE(!listening || ::listen(fd, backlog) == 0);
        port = ntohs(addr.sin_port);
    }
    ~Loopback() { ::close(fd); }
    std::string Host() const { return "127.0.0.1:" + std::to_string(port); }
    int fd;
    uint16_t port = 0;
};

// A simulator with a route to it and one open local port; every local port reads its own
// 4-byte cell at 4 * (port - 30000) of kGroup, so a read shows whether the stream is aligned.
class StackTest : public ::testing::Test {
protected:
    static uint32_t Cell(int32_t port) { return 0xC0DE0000u | static_cast<uint32_t>(port * 7); }

    void SetUp() override
    {
        plcsim::SimOptions options;
        options.defaultSymbols = false;
        sim = std::make_unique<plcsim::PlcSimulator>(options);
        sim->Start();
        std::vector<uint8_t> cells(4 * ADS_PORT_COUNT);
        for (int i = 0; i < ADS_PORT_COUNT; ++i) {
            le::Write<uint32_t>(cells.data() + 4 * i, Cell(ADS_PORT_BASE + i));
        }
        sim->SetMemory(kGroup, 0, cells);
        Recorder::Reset();
        ASSERT_EQ(0, plc::ads::AddLocalRoute(kPlc, sim->HostString().c_str()));
        port = OpenPort();
    }
    void TearDown() override
    {
        Recorder::Hold(false);
        for (const int32_t p : ports) {
            AdsPortCloseEx(p);
        }
        plc::ads::DelLocalRoute(kPlc);
        EXPECT_EQ(0u, GetRouter().ConnectionCount());
    }

    int32_t OpenPort(uint32_t timeoutMs = 2000)
    {
        const int32_t p = AdsPortOpenEx();
        AdsSyncSetTimeoutEx(p, timeoutMs);
        ports.push_back(p);
        return p;
    }
    int32_t Read(int32_t from, void* buffer, uint32_t length, uint32_t* bytesRead = nullptr)
    {
        return AdsSyncReadReqEx2(from, &plc, kGroup, 4u * static_cast<uint32_t>(from - ADS_PORT_BASE), length,
                                 buffer, bytesRead);
    }
    // The port's own cell comes back right: the stream is still aligned.
    void ExpectHealthy(int32_t from)
    {
        uint8_t cell[4] = {};
        uint32_t bytesRead = 0;
        ASSERT_EQ(0, Read(from, cell, 4, &bytesRead));
        EXPECT_EQ(4u, bytesRead);
        EXPECT_EQ(Cell(from), le::Read<uint32_t>(cell));
    }
    plc::ads::ConnectionCounters Counters() { return plc::ads::GetConnectionCounters(kPlc); }
    size_t Sent(uint16_t cmdId)
    {
        const auto all = sim->Requests();
        return static_cast<size_t>(
            std::count_if(all.begin(), all.end(), [&](const plcsim::Request& r) { return r.header.cmdId == cmdId; }));
    }
    // The newest request the simulator got, once it has `count`.
    plc::ads::AoEHeader AwaitRequest(size_t count)
    {
        std::vector<plcsim::Request> seen;
        EXPECT_TRUE(sim->WaitForRequests(
            [&](const std::vector<plcsim::Request>& all) { return (seen = all).size() >= count; }, 5s));
        return seen.empty() ? plc::ads::AoEHeader{} : seen.back().header;
    }

    const AmsNetId kPlc{10, 20, 0, 1, 1, 1};
    const AmsAddr plc{kPlc, 851};
    std::unique_ptr<plcsim::PlcSimulator> sim;
    std::vector<int32_t> ports;
    int32_t port = 0;
};

// A reply to `request` with `data`; the AMS length may claim another size; `extra` bytes follow the data.
inline std::vector<uint8_t> Reply(const plc::ads::AoEHeader& request, std::vector<uint8_t> data,
                                  std::optional<uint32_t> amsLength = std::nullopt, size_t extra = 0)
{
    std::vector<uint8_t> packet(6 + 32);
    plc::ads::AmsTcpHeader tcp;
    tcp.length = static_cast<uint32_t>(32 + data.size() + extra);
    tcp.Encode(packet.data());
    request.ResponseTo(amsLength.value_or(static_cast<uint32_t>(data.size()))).Encode(packet.data() + 6);
    data.resize(data.size() + extra, 0);
    packet.insert(packet.end(), data.begin(), data.end());
    return packet;
}

// Little-endian 32-bit words, then `tail`.
inline std::vector<uint8_t> Words(std::initializer_list<uint32_t> words, std::vector<uint8_t> tail = {})
{
    std::vector<uint8_t> out(words.size() * 4);
    size_t at = 0;
    for (const uint32_t w : words) {
        le::Write<uint32_t>(out.data() + at, w);
        at += 4;
    }
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

// Read reply data: result 0, the length, the bytes.
inline std::vector<uint8_t> ReadData(const std::vector<uint8_t>& bytes)
{
    return Words({0, static_cast<uint32_t>(bytes.size())}, bytes);
}

} // namespace stack
