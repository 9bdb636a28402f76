// Costs of the plug-in on top of the stack: samples through its notification callback into
// the values table, readData of large batches through the substitute host, and what
// connected and reconnecting devices cost while nothing happens.
#include "bench_support.h"
#include "child_simulator.h"

#include "ads/AdsDevice.h"
#include "ads/LittleEndian.h"
#include "item_batches.h"
#include "host/HostState.h"
#include "plugin/ads_plc.h"
#include "tools/sim/PlcSimulator.h"
#include "worker/ads_plc_worker.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

namespace le = plc::ads::le;
using namespace std::chrono_literals;

const AmsNetId kPlc{10, 61, 0, 1, 1, 1};
constexpr uint32_t kGroup = 0x4020;

std::unique_ptr<plcsim::PlcSimulator> StartSimulator(const AmsNetId& netId = kPlc)
{
    plcsim::SimOptions options;
    options.netId = netId;
    auto sim = std::make_unique<plcsim::PlcSimulator>(options);
    sim->Start("127.0.0.1", 0);
    sim->SetRecordLimit(100);
    // Nothing changes by itself: the devices only see their state reads answered.
    sim->SetTickPeriod(std::chrono::hours(1));
    return sim;
}

DeviceInstancePlugin DeviceFor(int id, const std::string& host, int errorWaitSeconds = 1, const AmsNetId& netId = kPlc)
{
    return bench::DeviceFor(id, host, netId, errorWaitSeconds);
}

bool ReadUntilAllSet(Ads_Plc& plugin, LogList& list)
{
    return plcsim::WaitUntil([&] { return plugin.readData(&list) && bench::AllValuesSet(list); }, 120s);
}

QString StoredValue(const Ads_Plc_Worker::ValueKey& key)
{
    std::lock_guard<std::mutex> lock(Ads_Plc_Worker::valuesMutex);
    return Ads_Plc_Worker::values.value(key).value;
}

// Samples per second from the simulator's socket through the plug-in's callback into the
// values table. Argument: samples per frame.
void BM_PluginNotifySamples(benchmark::State& state)
{
    auto sim = StartSimulator();
    sim->SetMemory(kGroup, 0, std::vector<uint8_t>(16, 0));
    AdsDevice device(sim->HostString(), kPlc, 851);
    const Ads_Plc_Worker::ValueKey key(9001, 1);
    {
        std::lock_guard<std::mutex> lock(Ads_Plc_Worker::valuesMutex);
        Ads_Plc_Worker::AdsValue empty;
        empty.type = std::make_shared<const Plc_Type>(Plc_Type::of(DINT));
        Ads_Plc_Worker::values.insert(key, empty);
    }
    const uint32_t user = Ads_Plc_Worker::registerCallbackHandle(key.first, key.second);
    const AmsAddr plc{kPlc, 851};
    const AdsNotificationAttrib attrib{4, ADS_TRANS_SERVER_ON_CHANGE, 0, 0};
    uint32_t handle = 0;
    if (AdsSyncAddDeviceNotificationReqEx(device.GetLocalPort(), &plc, kGroup, 0, &attrib, &NotifyCallback, user,
                                          &handle) != 0 ||
        !plcsim::WaitUntil([&] { return StoredValue(key) == "0"; }, 5s)) {
        state.SkipWithError("subscription failed");
        return;
    }
    auto address = sim->FrameForLatestClient();
    address->target.amsPort = device.GetLocalPort();
    const size_t perFrame = static_cast<size_t>(state.range(0));
    const size_t frames = std::max<size_t>(1, 4096 / perFrame);
    auto frameOf = [&](size_t count, int32_t first) {
        plcsim::NotificationFrame frame = *address;
        plcsim::RawStamp stamp;
        for (size_t i = 0; i < count; ++i) {
            std::vector<uint8_t> data(4);
            le::Write<int32_t>(data.data(), first + static_cast<int32_t>(i));
            stamp.samples.push_back(plcsim::RawSample{handle, std::move(data), std::nullopt});
        }
        frame.stamps = {std::move(stamp)};
        return plcsim::BuildNotificationFrame(frame);
    };
    // All frames in one send: the stream is the same, and the sender's system calls stay out
    // of the figure.
    const auto frame = frameOf(perFrame, 1);
    std::vector<uint8_t> packet;
    for (size_t f = 0; f < frames; ++f) {
        packet.insert(packet.end(), frame.begin(), frame.end());
    }
    int32_t marker = -1;
    for (auto _ : state) {
        // Ends the round with a value no other sample has.
        const auto last = frameOf(1, marker);
        std::vector<uint8_t> round = packet;
        round.insert(round.end(), last.begin(), last.end());
        sim->SendRawToLatest(round);
        const QString expected = QString::number(marker--);
        while (StoredValue(key) != expected) {
            std::this_thread::sleep_for(20us);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * (frames * perFrame + 1)));
    AdsSyncDelDeviceNotificationReqEx(device.GetLocalPort(), &plc, handle);
    Ads_Plc_Worker::unregisterCallbackHandle(user);
}

// readData of a batch of subscribed items whose values are all there.
void BM_ReadData(benchmark::State& state)
{
    const int items = static_cast<int>(state.range(0));
    tavhost::HostState::instance().reset();
    auto sim = StartSimulator();
    Ads_Plc plugin;
    LogList list = bench::ItemBatch(DeviceFor(1, sim->HostString()), items);
    if (!ReadUntilAllSet(plugin, list)) {
        state.SkipWithError("items not subscribed");
        plugin.stopPlugin();
        return;
    }
    for (auto _ : state) {
        plugin.readData(&list);
        state.PauseTiming();
        tavhost::HostState::instance().reset(); // the stand-in host keeps every log line
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * items);
    plugin.stopPlugin();
}

// The NetId of the n-th of several simulated PLCs.
AmsNetId PlcNumber(int n)
{
    return AmsNetId{10, 61, 0, static_cast<uint8_t>(n), 1, 1};
}

// 8 connected devices of 20 items whose values never change: CPU time of the plug-in's
// process over 3 s, in percent of one core (the simulators run in a child process). The
// argument is the number of PLCs: with one, the devices take turns for it.
void BM_IdleConnectedDevices(benchmark::State& state)
{
    constexpr int kDevices = 8;
    const int plcs = static_cast<int>(state.range(0));
    tavhost::HostState::instance().reset();
    bench::ChildSimulator sim(plcs, [&](int n) { return StartSimulator(plcs == 1 ? kPlc : PlcNumber(n)); });
    if (sim.port == 0) {
        state.SkipWithError("no simulator");
        return;
    }
    Ads_Plc plugin;
    std::vector<LogList> lists;
    for (int d = 1; d <= kDevices; ++d) {
        const int n = (d - 1) % plcs;
        lists.push_back(bench::ItemBatch(DeviceFor(d, sim.HostString(static_cast<size_t>(n)), 1,
                                           plcs == 1 ? kPlc : PlcNumber(n + 1)),
                                 20));
        if (!ReadUntilAllSet(plugin, lists.back())) {
            state.SkipWithError("items not subscribed");
            plugin.stopPlugin();
            return;
        }
    }
    for (auto _ : state) {
        std::this_thread::sleep_for(300ms);
        const double before = bench::ProcessCpuSeconds();
        const long switches = bench::ProcessContextSwitches();
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(3s);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.counters["cpu_percent"] = 100 * (bench::ProcessCpuSeconds() - before) / wall;
        state.counters["wakeups_per_s"] = static_cast<double>(bench::ProcessContextSwitches() - switches) / wall;
    }
    plugin.stopPlugin();
}

// A device whose PLC refuses connections, between two attempts 4 s apart: wake-ups per
// second of the whole process (this thread's own sleep included).
void BM_ReconnectWait(benchmark::State& state)
{
    tavhost::HostState::instance().reset();
    // A port that refuses: bound, read back, closed.
    uint16_t refusing = 0;
    {
        bench::CannedServer closed;
        refusing = closed.Port();
    }
    Ads_Plc plugin;
    LogList list = bench::ItemBatch(DeviceFor(1, "127.0.0.1:" + std::to_string(refusing), 4), 1);
    plugin.readData(&list);
    for (auto _ : state) {
        std::this_thread::sleep_for(300ms);
        const long before = bench::ProcessContextSwitches();
        const double cpuBefore = bench::ProcessCpuSeconds();
        std::this_thread::sleep_for(2s);
        state.counters["wakeups_per_s"] = static_cast<double>(bench::ProcessContextSwitches() - before) / 2;
        state.counters["cpu_ms"] = 1000 * (bench::ProcessCpuSeconds() - cpuBefore);
    }
    plugin.stopPlugin();
}

} // namespace

BENCHMARK(BM_PluginNotifySamples)->Arg(1)->Arg(64)->UseRealTime()->MinTime(1.0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadData)->Arg(1000)->Arg(10000)->UseRealTime()->MinTime(1.0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IdleConnectedDevices)->Arg(1)->Arg(8)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReconnectWait)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    plc::ads::SetConnectTimeout(1000);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
