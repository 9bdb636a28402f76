// Polled reads: 10,000 items of one device on a simulated PLC that answers every request 2 ms
// late, read by sum reads at a 1 s interval (first values, sum reads per second and the
// plug-in's CPU time in steady state while the host reads once a second), and 2,000 items in
// automatic mode against a PLC that grants 500 notifications. The simulator runs in a child
// process, so that the CPU time measured is the plug-in's. Each runs three times: a goal is met
// only when all three meet it.
#include "bench_support.h"
#include "child_simulator.h"
#include "item_batches.h"
#include "host/HostState.h"
#include "plugin/ads_plc.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const AmsNetId kPlc{10, 63, 0, 1, 1, 1};

// Variables of the built-in table, moving and constant ones, with their item types.
const std::pair<const char*, const char*> kSymbols[] = {
    {"MAIN.udiCounter", "9"}, {"MAIN.rSine", "10"}, {"MAIN.lrSine", "11"}, {"MAIN.diDint", "8"},
    {"MAIN.iInt", "6"},       {".count", "7"},      {"MAIN.sText", "12"},  {"MAIN.bBool", "0"}};

DeviceInstancePlugin DeviceFor(int id, const std::string& host, const QString& mode, const QString& max = "")
{
    DeviceInstancePlugin device = bench::DeviceFor(id, host, kPlc);
    device.config["Read_Mode"] = mode;
    device.config["Max_Notifications"] = max;
    return device;
}

LogList MixedBatch(const DeviceInstancePlugin& device, int items, int intervalMs)
{
    LogList list = bench::ItemBatch(device, items, "MAIN.diDint", "8", "4", intervalMs);
    for (int i = 0; i < list.items.size(); ++i) {
        const auto& symbol = kSymbols[static_cast<size_t>(i) % (sizeof(kSymbols) / sizeof(kSymbols[0]))];
        list.items[i].item.config["variable_name"] = QString::fromLatin1(symbol.first);
        list.items[i].item.config["type"] = QString::fromLatin1(symbol.second);
    }
    return list;
}

bench::ChildSimulator Simulator(uint32_t maxNotifications, std::chrono::milliseconds delay)
{
    return bench::ChildSimulator(1, [=](int) {
        plcsim::SimOptions options;
        options.netId = kPlc;
        options.maxNotificationsPerClient = maxNotifications;
        auto sim = std::make_unique<plcsim::PlcSimulator>(options);
        sim->Start("127.0.0.1", 0);
        sim->SetRecordLimit(100);
        if (delay.count() > 0) {
            sim->InjectReplyFault(plcsim::ReplyFault::Delay(delay).Times(plcsim::ReplyFault::kForever));
        }
        return sim;
    });
}

double ThreadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// readData, as a host does, until every item shows a value; the milliseconds it took, or -1.
double MsToAllValues(Ads_Plc& plugin, LogList& list, std::chrono::milliseconds pause)
{
    const auto start = Clock::now();
    while (Clock::now() - start < 30s) {
        if (plugin.readData(&list) && bench::AllValuesSet(list)) {
            return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        }
        std::this_thread::sleep_for(pause);
    }
    return -1;
}

void BM_PolledTenThousand(benchmark::State& state)
{
    constexpr int kItems = 10000;
    for (auto _ : state) {
        tavhost::HostState::instance().reset();
        bench::ChildSimulator sim = Simulator(0, 2ms);
        if (sim.port == 0) {
            state.SkipWithError("no simulator");
            return;
        }
        Ads_Plc plugin;
        LogList list = MixedBatch(DeviceFor(1, sim.HostString(), "polled"), kItems, 1000);
        const double firstValues = MsToAllValues(plugin, list, 50ms);
        if (firstValues < 0) {
            state.SkipWithError("items without values after 30 s");
            plugin.stopPlugin();
            return;
        }
        // Steady state, the host reading once a second.
        std::this_thread::sleep_for(1500ms);
        const Ads_Plc::ReadCounts before = plugin.readCounts(1);
        const double cpuBefore = bench::ProcessCpuSeconds();
        const double hostBefore = ThreadCpuSeconds();
        const auto start = Clock::now();
        for (int read = 0; read < 5; ++read) {
            plugin.readData(&list);
            std::this_thread::sleep_until(start + (read + 1) * 1s);
        }
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const Ads_Plc::ReadCounts after = plugin.readCounts(1);
        state.counters["first_values_ms"] = firstValues;
        state.counters["sum_reads_per_s"] = static_cast<double>(after.pollRequests - before.pollRequests) / wall;
        state.counters["cpu_percent"] = 100 * (bench::ProcessCpuSeconds() - cpuBefore) / wall;
        // Of that, the host thread's readData of the 10,000 items.
        state.counters["read_data_percent"] = 100 * (ThreadCpuSeconds() - hostBefore) / wall;
        state.counters["skipped_polls"] = static_cast<double>(after.skippedPolls);
        plugin.stopPlugin();
    }
}

void BM_AutomaticTwoThousand(benchmark::State& state)
{
    constexpr int kItems = 2000;
    for (auto _ : state) {
        tavhost::HostState::instance().reset();
        bench::ChildSimulator sim = Simulator(500, 0ms);
        if (sim.port == 0) {
            state.SkipWithError("no simulator");
            return;
        }
        Ads_Plc plugin;
        // Room for more than the PLC grants: its refusal decides.
        LogList list = MixedBatch(DeviceFor(1, sim.HostString(), "automatic", "1000"), kItems, 1000);
        const double firstValues = MsToAllValues(plugin, list, 50ms);
        const Ads_Plc::ReadCounts counts = plugin.readCounts(1);
        state.counters["first_values_ms"] = firstValues;
        state.counters["all_values"] = firstValues >= 0 ? 1 : 0;
        state.counters["notifications_used"] = static_cast<double>(counts.notified);
        state.counters["polled"] = static_cast<double>(counts.polled);
        plugin.stopPlugin();
    }
}

} // namespace

BENCHMARK(BM_PolledTenThousand)->Iterations(1)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AutomaticTwoThousand)->Iterations(1)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
