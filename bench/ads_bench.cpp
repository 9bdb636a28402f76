// Request and notification costs of the stack against the simulator on loopback, next to
// a plain TCP ping-pong of the same packet sizes as the floor no request can beat.
#include "ads/AdsDevice.h"
#include "ads/AmsHeader.h"
#include "ads/LittleEndian.h"
#include "tools/sim/PlcSimulator.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace {

namespace le = plc::ads::le;

const AmsNetId kPlc{10, 60, 0, 1, 1, 1};
constexpr uint32_t kGroup = 0x4020;
// A 4-byte Read: 6 + 32 + 12 bytes out, 6 + 32 + 8 + 4 bytes back.
constexpr size_t kRequestBytes = 50;
constexpr size_t kReplyBytes = 50;

// Started before and stopped after all benchmarks, so no simulator thread outlives main.
std::unique_ptr<plcsim::PlcSimulator> simulator;

plcsim::PlcSimulator& Sim()
{
    return *simulator;
}

bool ReadFully(int fd, uint8_t* p, size_t n)
{
    while (n) {
        const ssize_t got = ::recv(fd, p, n, 0);
        if (got <= 0) {
            return false;
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool WriteFully(int fd, const uint8_t* p, size_t n)
{
    while (n) {
        const ssize_t put = ::send(fd, p, n, MSG_NOSIGNAL);
        if (put <= 0) {
            return false;
        }
        p += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

void NoDelay(int fd)
{
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

void BM_TcpPingPongFloor(benchmark::State& state)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        state.SkipWithError("no listening socket");
        return;
    }
    std::thread echo([listener] {
        const int peer = ::accept(listener, nullptr, nullptr);
        if (peer < 0) {
            return;
        }
        NoDelay(peer);
        uint8_t request[kRequestBytes];
        uint8_t reply[kReplyBytes] = {};
        while (ReadFully(peer, request, sizeof(request)) && WriteFully(peer, reply, sizeof(reply))) {
        }
        ::close(peer);
    });
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        state.SkipWithError("connect failed");
    } else {
        NoDelay(client);
        uint8_t request[kRequestBytes] = {};
        uint8_t reply[kReplyBytes];
        for (auto _ : state) {
            if (!WriteFully(client, request, sizeof(request)) || !ReadFully(client, reply, sizeof(reply))) {
                state.SkipWithError("ping-pong failed");
                break;
            }
        }
    }
    ::shutdown(client, SHUT_RDWR);
    ::close(client);
    echo.join();
    ::close(listener);
}

void BM_ReadRoundTrip(benchmark::State& state)
{
    AdsDevice device(Sim().HostString(), kPlc, 851);
    uint8_t value[4];
    uint32_t bytesRead = 0;
    for (auto _ : state) {
        if (device.ReadReqEx2(kGroup, 0, sizeof(value), value, &bytesRead) != 0) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// Every thread has a port of its own; all share the one TCP connection.
void BM_ParallelPortsOneConnection(benchmark::State& state)
{
    AdsDevice device(Sim().HostString(), kPlc, 851);
    uint8_t value[4];
    uint32_t bytesRead = 0;
    for (auto _ : state) {
        if (device.ReadReqEx2(kGroup, 4 * static_cast<uint32_t>(state.thread_index() % 16), sizeof(value), value,
                              &bytesRead) != 0) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

std::atomic<uint64_t> samplesSeen{0};
void CountSample(const AmsAddr*, const AdsNotificationHeader*, uint32_t)
{
    samplesSeen.fetch_add(1, std::memory_order_relaxed);
}

// One device-notification packet to `port` with `count` 8-byte samples of `handle`.
std::vector<uint8_t> SamplesPacket(plcsim::NotificationFrame frame, uint32_t handle, size_t count)
{
    plcsim::RawStamp stamp;
    for (size_t i = 0; i < count; ++i) {
        std::vector<uint8_t> data(8);
        le::Write<uint64_t>(data.data(), i);
        stamp.samples.push_back(plcsim::RawSample{handle, std::move(data), std::nullopt});
    }
    frame.stamps = {std::move(stamp)};
    return plcsim::BuildNotificationFrame(frame);
}

// Samples per second from the simulator's socket to a callback that only counts.
// Argument: samples per frame (1 is what a PLC sends for a slow variable).
void BM_NotificationSamples(benchmark::State& state)
{
    plcsim::PlcSimulator& sim = Sim();
    AdsDevice device(sim.HostString(), kPlc, 851);
    const AmsAddr plc{kPlc, 851};
    const AdsNotificationAttrib attrib{8, ADS_TRANS_SERVER_ON_CHANGE, 0, 0};
    uint32_t handle = 0;
    const uint64_t before = samplesSeen.load();
    if (AdsSyncAddDeviceNotificationReqEx(device.GetLocalPort(), &plc, kGroup, 0, &attrib, &CountSample, 0,
                                          &handle) != 0) {
        state.SkipWithError("subscription failed");
        return;
    }
    // The target's own first sample.
    while (samplesSeen.load() == before) {
        std::this_thread::yield();
    }
    auto address = sim.FrameForLatestClient();
    address->target.amsPort = device.GetLocalPort();
    const size_t perFrame = static_cast<size_t>(state.range(0));
    const size_t frames = std::max<size_t>(1, 4096 / perFrame);
    const auto packet = SamplesPacket(*address, handle, perFrame);
    for (auto _ : state) {
        const uint64_t target = samplesSeen.load() + frames * perFrame;
        for (size_t f = 0; f < frames; ++f) {
            sim.SendRawToLatest(packet);
        }
        while (samplesSeen.load(std::memory_order_relaxed) < target) {
            std::this_thread::yield();
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames * perFrame));
    AdsSyncDelDeviceNotificationReqEx(device.GetLocalPort(), &plc, handle);
}

} // namespace

BENCHMARK(BM_TcpPingPongFloor)->UseRealTime()->MinTime(1.0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadRoundTrip)->UseRealTime()->MinTime(1.0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ParallelPortsOneConnection)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Threads(1)
    ->Threads(4)
    ->Threads(16)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NotificationSamples)->Arg(1)->Arg(64)->Arg(1024)->UseRealTime()->MinTime(1.0)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    simulator = std::make_unique<plcsim::PlcSimulator>();
    simulator->Start();
    simulator->SetMemory(kGroup, 0, std::vector<uint8_t>(64, 7));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    simulator.reset();
    return 0;
}
