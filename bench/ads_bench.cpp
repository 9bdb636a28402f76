// Request and notification costs of the stack on loopback. Round trips are measured against
// a minimal answering server, next to a plain TCP ping-pong with the same server as the floor
// no request can beat; the simulator's figure follows as a second line.
#include "bench_support.h"

#include "ads/AdsDevice.h"
#include "ads/AmsRouter.h"
#include "ads/AmsHeader.h"
#include "ads/LittleEndian.h"
#include "ads/SecureSettings.h"
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
using bench::CannedServer;

// Started before and stopped after all benchmarks, so no server thread outlives main.
std::unique_ptr<plcsim::PlcSimulator> simulator;
std::unique_ptr<CannedServer> canned;
std::unique_ptr<CannedServer> cannedSecure;

plcsim::PlcSimulator& Sim()
{
    return *simulator;
}

CannedServer& Canned()
{
    return *canned;
}

void BM_TcpPingPongFloor(benchmark::State& state)
{
    const int client = bench::ConnectLoopback(Canned().Port());
    if (client < 0) {
        state.SkipWithError("connect failed");
        return;
    }
    const auto request = bench::RawRequest();
    uint8_t reply[bench::kReplyBytes];
    for (auto _ : state) {
        if (!bench::WriteFully(client, request.data(), request.size()) ||
            !bench::ReadFully(client, reply, sizeof(reply))) {
            state.SkipWithError("ping-pong failed");
            break;
        }
    }
    ::close(client);
}

plc::ads::SecureSettings BenchPsk()
{
    plc::ads::SecureSettings settings;
    settings.pskIdentity = CannedServer::PSK_SECRET;
    settings.pskPassword = CannedServer::PSK_SECRET;
    return settings;
}

void ReadLoop(benchmark::State& state, const std::string& host, uint32_t offset,
              const plc::ads::SecureSettings* secure = nullptr)
{
    AdsDevice device(host, kPlc, 851, 0, secure);
    uint8_t value[4];
    uint32_t bytesRead = 0;
    for (auto _ : state) {
        if (device.ReadReqEx2(kGroup, offset, sizeof(value), value, &bytesRead) != 0) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_ReadRoundTrip(benchmark::State& state)
{
    ReadLoop(state, Canned().HostString(), 0);
}

// The same through secure ADS, against the same minimal server answering inside its tunnel.
void BM_ReadRoundTripSecure(benchmark::State& state)
{
    const plc::ads::SecureSettings settings = BenchPsk();
    ReadLoop(state, cannedSecure->HostString(), 0, &settings);
}

void BM_ReadRoundTripSimulator(benchmark::State& state)
{
    ReadLoop(state, Sim().HostString(), 0);
}

// Every thread has a port of its own; all share the one TCP connection.
void BM_ParallelPortsOneConnection(benchmark::State& state)
{
    ReadLoop(state, Canned().HostString(), 4 * static_cast<uint32_t>(state.thread_index() % 16));
}

std::atomic<uint64_t> samplesSeen{0};
void CountSample(const AmsAddr*, const AdsNotificationHeader*, uint32_t)
{
    samplesSeen.fetch_add(1, std::memory_order_relaxed);
}

// One device-notification packet with `stamps` stamps of `count` samples of `size` bytes,
// taking the handles in turn.
std::vector<uint8_t> SamplesPacket(plcsim::NotificationFrame frame, const std::vector<uint32_t>& handles, size_t count,
                                   size_t size = 8, size_t stamps = 1)
{
    for (size_t s = 0; s < stamps; ++s) {
        plcsim::RawStamp stamp;
        for (size_t i = 0; i < count; ++i) {
            std::vector<uint8_t> data(size);
            le::Write<uint64_t>(data.data(), i);
            stamp.samples.push_back(plcsim::RawSample{handles[i % handles.size()], std::move(data), std::nullopt});
        }
        frame.stamps.push_back(std::move(stamp));
    }
    return plcsim::BuildNotificationFrame(frame);
}

bool Subscribe(const AdsDevice& device, uint32_t offset, uint32_t length, uint32_t* handle)
{
    const AmsAddr plc{kPlc, 851};
    const AdsNotificationAttrib attrib{length, ADS_TRANS_SERVER_ON_CHANGE, 0, 0};
    return AdsSyncAddDeviceNotificationReqEx(device.GetLocalPort(), &plc, kGroup, offset, &attrib, &CountSample, 0,
                                             handle) == 0;
}

void AwaitSamples(uint64_t target)
{
    while (samplesSeen.load(std::memory_order_relaxed) < target) {
        std::this_thread::yield();
    }
}

// Samples per second from the simulator's socket to a callback that only counts.
// Argument: samples per frame (1 is what a PLC sends for a slow variable).
void NotificationSamples(benchmark::State& state, bool secure)
{
    plcsim::PlcSimulator& sim = Sim();
    const plc::ads::SecureSettings settings = BenchPsk();
    AdsDevice device(secure ? sim.SecureHostString() : sim.HostString(), kPlc, 851, 0, secure ? &settings : nullptr);
    const AmsAddr plc{kPlc, 851};
    uint32_t handle = 0;
    const uint64_t before = samplesSeen.load();
    if (!Subscribe(device, 0, 8, &handle)) {
        state.SkipWithError("subscription failed");
        return;
    }
    AwaitSamples(before + 1); // the target's own first sample
    auto address = sim.FrameForLatestClient();
    address->target.amsPort = device.GetLocalPort();
    const size_t perFrame = static_cast<size_t>(state.range(0));
    const size_t frames = std::max<size_t>(1, 4096 / perFrame);
    // All frames in one send: the stream is the same, and the sender's system calls stay out
    // of the figure.
    const auto frame = SamplesPacket(*address, {handle}, perFrame);
    std::vector<uint8_t> packet;
    for (size_t f = 0; f < frames; ++f) {
        packet.insert(packet.end(), frame.begin(), frame.end());
    }
    for (auto _ : state) {
        const uint64_t target = samplesSeen.load() + frames * perFrame;
        sim.SendRawToLatest(packet);
        AwaitSamples(target);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames * perFrame));
    AdsSyncDelDeviceNotificationReqEx(device.GetLocalPort(), &plc, handle);
}

void BM_NotificationSamples(benchmark::State& state)
{
    NotificationSamples(state, false);
}

// The same through the simulator's secure port.
void BM_NotificationSamplesSecure(benchmark::State& state)
{
    NotificationSamples(state, true);
}

RingBuffer& RingOf(const AdsDevice& device)
{
    return GetRouter().GetConnection(kPlc)->DispatcherListGet(DispatcherKey{device.GetLocalPort(), {kPlc, 851}})->ring;
}

// The ring of one device after 1 GiB of samples went through it while the callback kept up
// (a backlog of at most 4 frames of 16 KiB), and the resident memory the traffic added; and
// the ring of a device whose subscription was refused.
void BM_RingResidentAfterTraffic(benchmark::State& state)
{
    constexpr size_t kSample = 1024;
    constexpr size_t kPerFrame = 16;
    constexpr size_t kBurst = 4;
    constexpr uint64_t kTotal = uint64_t{1} << 30;
    plcsim::PlcSimulator& sim = Sim();
    for (auto _ : state) {
        AdsDevice device(sim.HostString(), kPlc, 851);
        uint32_t handle = 0;
        const uint64_t first = samplesSeen.load();
        if (!Subscribe(device, 0, kSample, &handle)) {
            state.SkipWithError("subscription failed");
            return;
        }
        AwaitSamples(first + 1);
        auto address = sim.FrameForLatestClient();
        address->target.amsPort = device.GetLocalPort();
        const auto packet = SamplesPacket(*address, {handle}, kPerFrame, kSample);
        const size_t before = bench::ResidentBytes();
        for (uint64_t sent = 0; sent < kTotal; sent += kBurst * packet.size()) {
            const uint64_t target = samplesSeen.load() + kBurst * kPerFrame;
            for (size_t f = 0; f < kBurst; ++f) {
                sim.SendRawToLatest(packet);
            }
            AwaitSamples(target);
        }
        const size_t after = bench::ResidentBytes();
        state.counters["growth_KiB"] = (static_cast<double>(after) - static_cast<double>(before)) / 1024;
        state.counters["ring_KiB"] = static_cast<double>(RingOf(device).Allocated()) / 1024;
        AdsDevice refused(sim.HostString(), kPlc, 851);
        const AmsAddr plc{kPlc, 851};
        const AdsNotificationAttrib attrib{8, ADS_TRANS_SERVER_ON_CHANGE, 0, 0};
        uint32_t none = 0;
        if (AdsSyncAddDeviceNotificationReqEx(refused.GetLocalPort(), &plc, 0xDEAD, 0, &attrib, &CountSample, 0,
                                              &none) != 0) {
            state.counters["refused_ring_KiB"] = static_cast<double>(RingOf(refused).Allocated()) / 1024;
        }
        AdsSyncDelDeviceNotificationReqEx(device.GetLocalPort(), &plc, handle);
    }
}

// 50 devices of 20 items each on one connection; each device's queue takes 4 MiB of samples
// (its whole capacity) in small bursts. Reports the resident memory the devices added.
void BM_FiftyDevicesResident(benchmark::State& state)
{
    constexpr size_t kDevices = 50;
    constexpr size_t kItems = 20;
    constexpr size_t kStamps = 40;
    constexpr size_t kPerDevice = 4 << 20;
    plcsim::PlcSimulator& sim = Sim();
    for (auto _ : state) {
        const size_t before = bench::ResidentBytes();
        std::vector<std::unique_ptr<AdsDevice>> devices;
        std::vector<std::vector<uint8_t>> packets;
        const uint64_t first = samplesSeen.load();
        for (size_t d = 0; d < kDevices; ++d) {
            devices.push_back(std::make_unique<AdsDevice>(sim.HostString(), kPlc, 851));
            std::vector<uint32_t> handles(kItems);
            for (size_t i = 0; i < kItems; ++i) {
                if (!Subscribe(*devices.back(), static_cast<uint32_t>(8 * i), 8, &handles[i])) {
                    state.SkipWithError("subscription failed");
                    return;
                }
            }
            auto address = sim.FrameForLatestClient();
            address->target.amsPort = devices.back()->GetLocalPort();
            packets.push_back(SamplesPacket(*address, handles, kItems, 8, kStamps));
        }
        AwaitSamples(first + kDevices * kItems);
        for (size_t sent = 0; sent < kPerDevice; sent += packets[0].size()) {
            const uint64_t target = samplesSeen.load() + kDevices * kItems * kStamps;
            for (const auto& packet : packets) {
                sim.SendRawToLatest(packet);
            }
            AwaitSamples(target);
        }
        state.counters["resident_MiB"] = static_cast<double>(bench::ResidentBytes()) / (1 << 20);
        state.counters["growth_MiB"] =
            (static_cast<double>(bench::ResidentBytes()) - static_cast<double>(before)) / (1 << 20);
    }
}

} // namespace

// The memory figures come first, while the allocator holds no freed blocks yet.
BENCHMARK(BM_RingResidentAfterTraffic)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FiftyDevicesResident)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcpPingPongFloor)->UseRealTime()->MinTime(1.0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadRoundTrip)->UseRealTime()->MinTime(1.0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadRoundTripSecure)->UseRealTime()->MinTime(1.0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadRoundTripSimulator)->UseRealTime()->MinTime(1.0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ParallelPortsOneConnection)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Threads(1)
    ->Threads(4)
    ->Threads(16)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NotificationSamples)->Arg(1)->Arg(64)->Arg(1024)->UseRealTime()->MinTime(1.0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NotificationSamplesSecure)->Arg(64)->UseRealTime()->MinTime(1.0)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    canned = std::make_unique<CannedServer>();
    cannedSecure = std::make_unique<CannedServer>(true);
    simulator = std::make_unique<plcsim::PlcSimulator>();
    simulator->Start();
    plcsim::SecureSimOptions secure;
    secure.pskIdentity = CannedServer::PSK_SECRET;
    secure.pskPassword = CannedServer::PSK_SECRET;
    simulator->StartSecure(secure);
    simulator->SetRecordLimit(1000);
    simulator->SetMemory(kGroup, 0, std::vector<uint8_t>(4096, 7));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    simulator.reset();
    cannedSecure.reset();
    canned.reset();
    return 0;
}
