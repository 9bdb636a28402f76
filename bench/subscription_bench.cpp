// Subscribing, writing in one batch and releasing 1,000 items of one device against a simulated
// PLC that answers every request 2 ms late, as a PLC on a plant network does: with sum commands
// and item by item. Meanwhile another device on the same PLC is read by the same host thread;
// the longest pause between its changing values shows whether it kept flowing. Also 1,000
// structure items of ten members each.
#include "item_batches.h"
#include "host/HostState.h"
#include "plugin/ads_plc.h"
#include "tools/sim/PlcSimulator.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const AmsNetId kPlc{10, 62, 0, 1, 1, 1};
constexpr int kItems = 1000;

DeviceInstancePlugin DeviceFor(int id, const std::string& host)
{
    return bench::DeviceFor(id, host, kPlc);
}

double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Argument: 1 with sum commands, 0 against a PLC that refuses them.
void BM_SubscribeThousand(benchmark::State& state)
{
    for (auto _ : state) {
        tavhost::HostState::instance().reset();
        plcsim::SimOptions options;
        options.netId = kPlc;
        options.sumCommands = state.range(0) != 0;
        options.tickPeriod = 10ms;
        plcsim::PlcSimulator sim(options);
        sim.Start("127.0.0.1", 0);
        sim.SetRecordLimit(100);

        // The other device: a counter sampled every 10 ms, subscribed before the PLC turns slow.
        Ads_Plc plugin;
        LogList other = bench::ItemBatch(DeviceFor(2, sim.HostString()), 1, "MAIN.udiCounter", "9", "3", 10);
        if (!plcsim::WaitUntil([&] { return plugin.readData(&other) && bench::AllValuesSet(other); }, 10s)) {
            state.SkipWithError("other device not subscribed");
            return;
        }
        sim.InjectReplyFault(plcsim::ReplyFault::Delay(2ms).Times(plcsim::ReplyFault::kForever));

        LogList list = bench::ItemBatch(DeviceFor(1, sim.HostString()), kItems, "MAIN.diDint", "8", "4", 60000);
        QString lastOther = other.items[0].values.value("value");
        auto lastChange = Clock::now();
        double longestPause = 0;
        const auto start = Clock::now();
        double firstRead = 0;
        while (!bench::AllValuesSet(list) && MsSince(start) < 60000) {
            plugin.readData(&list);
            firstRead = firstRead == 0 ? MsSince(start) : firstRead;
            plugin.readData(&other);
            const QString value = other.items[0].values.value("value");
            if (value != lastOther) {
                longestPause = std::max(longestPause, MsSince(lastChange));
                lastOther = value;
                lastChange = Clock::now();
            }
        }
        const double firstValues = MsSince(start);
        longestPause = std::max(longestPause, MsSince(lastChange));
        if (!bench::AllValuesSet(list)) {
            state.SkipWithError("items without values after 60 s");
        }
        // A write of every item in one writeData.
        for (DataItem& item : list.items) {
            item.values.insert(QStringLiteral("value"), QStringLiteral("5"));
        }
        const auto writeStart = Clock::now();
        plugin.writeData(&list);
        const double write = MsSince(writeStart);
        if (sim.GetSymbolValue("MAIN.diDint") != std::vector<uint8_t>{5, 0, 0, 0}) {
            state.SkipWithError("the write did not land");
        }
        // The workers are the process's: this stops both devices.
        const auto releaseStart = Clock::now();
        plugin.stopPlugin();
        const double release = MsSince(releaseStart);
        state.counters["first_values_ms"] = firstValues;
        state.counters["first_read_ms"] = firstRead;
        state.counters["release_ms"] = release;
        state.counters["write_ms"] = write;
        state.counters["other_pause_ms"] = longestPause;
        state.counters["left_on_plc"] = static_cast<double>(sim.NotificationCount());
    }
}

// 1,000 items, each a structure of ten members (an element of an array of them), against the same
// slow PLC: the data types are uploaded once for all of them.
void BM_SubscribeThousandStructures(benchmark::State& state)
{
    for (auto _ : state) {
        tavhost::HostState::instance().reset();
        plcsim::SimOptions options;
        options.netId = kPlc;
        options.tickPeriod = 10ms;
        plcsim::PlcSimulator sim(options);
        sim.Start("127.0.0.1", 0);
        sim.SetRecordLimit(100000);
        sim.LoadProgram(plcsim::ParseSymbolProgram("TYPE ST_Station\n"
                                                   "  bOn BOOL true\n  rSpeed REAL 12.5\n  iCurrent INT 3\n"
                                                   "  diCount DINT 7\n  eState E_State:INT 2\n  xReady BIT true\n"
                                                   "  xFault BIT false\n  lrHours LREAL 1.5\n  aTemps ARRAY [1..3] OF REAL 20\n"
                                                   "  sName STRING(7) station\n"
                                                   "END_TYPE\n"
                                                   "MAIN.aStations ARRAY [1..1000] OF ST_Station\n"));
        sim.InjectReplyFault(plcsim::ReplyFault::Delay(2ms).Times(plcsim::ReplyFault::kForever));

        Ads_Plc plugin;
        LogList list = bench::ItemBatch(DeviceFor(1, sim.HostString()), kItems, "", "23", "4", 60000);
        for (int i = 0; i < list.items.size(); ++i) {
            list.items[i].item.config["variable_name"] = QStringLiteral("MAIN.aStations[%1]").arg(i + 1);
        }
        const auto start = Clock::now();
        while (!bench::AllValuesSet(list) && MsSince(start) < 60000) {
            plugin.readData(&list);
        }
        const double firstValues = MsSince(start);
        if (!bench::AllValuesSet(list) || !list.items[999].values.value("value").startsWith("{\"bOn\":1,")) {
            state.SkipWithError("structure items without values after 60 s");
        }
        size_t uploads = 0;
        for (const plcsim::Request& r : sim.Requests()) {
            uploads += r.header.cmdId == ADS_CMD_READ && r.data.size() >= 4 && r.data[0] == 0x0E && r.data[1] == 0xF0;
        }
        plugin.stopPlugin();
        state.counters["first_values_ms"] = firstValues;
        state.counters["data_type_uploads"] = static_cast<double>(uploads);
    }
}

} // namespace

BENCHMARK(BM_SubscribeThousand)->Arg(1)->Arg(0)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SubscribeThousandStructures)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
