// Shared set-up of the data exchange tests: the plug-in, through the substitute host, against
// simulators on 127.0.0.1 with short time-outs.
#pragma once

#include "host/HostState.h"
#include "plugin/ads_plc.h"
#include "qt_gtest_print.h"
#include "tools/sim/PlcSimulator.h"
#include "worker/ads_plc_worker.h"

#include <gtest/gtest.h>

#include <QDir>

#include <chrono>
#include <memory>
#include <vector>

namespace exchange_test {

using namespace std::chrono_literals;
using plcsim::PlcSimulator;
using plcsim::WaitUntil;
using tavhost::HostState;

// One simulator symbol of each of the twelve types, and the text its bytes must give.
struct TypedSymbol {
    const char* symbol;
    int type;
    const char* text;
};
inline const std::vector<TypedSymbol> kTyped = {
    {"MAIN.bBool", 0, "1"},        {"MAIN.wWord", 2, "48879"},          {"MAIN.dwDword", 3, "3735928559"},
    {"MAIN.siSint", 4, "-100"},    {"MAIN.usiUsint", 5, "200"},         {"MAIN.iInt", 6, "-12345"},
    {"MAIN.uiUint", 7, "54321"},   {"MAIN.diDint", 8, "-1234567890"},   {"MAIN.udiUdint", 9, "3000000000"},
    {"MAIN.rReal", 10, "3.5"},     {"MAIN.lrLreal", 11, "-2.25"},       {"MAIN.sText", 12, "Hello from the PLC"},
};

// Every simulator has a NetId of its own, so that several can be routed at once.
inline std::unique_ptr<PlcSimulator> startSimulator(const std::string& deviceName = "PLC Simulator")
{
    static uint8_t next = 2;
    plcsim::SimOptions options;
    options.netId = AmsNetId(127, 0, 0, next++, 1, 1);
    options.deviceName = deviceName;
    auto sim = std::make_unique<PlcSimulator>(options);
    sim->Start("127.0.0.1", 0);
    return sim;
}

inline DeviceInstancePlugin deviceFor(int id, const PlcSimulator& sim, const QString& timeoutMs = "300")
{
    DeviceInstancePlugin device;
    device.id = id;
    device.name = QStringLiteral("Device %1").arg(id);
    device.address = QString::fromStdString(sim.HostString());
    device.errorWaitTimeSeconds = 1;
    device.config = {{"Ads_Port", "851"},
                     {"Target_AMS_NetId", QString::fromStdString(sim.Options().netId.ToString())},
                     {"Local_AMS_NetId", ""},
                     {"Timeout", timeoutMs},
                     {"timestamp", "0"}};
    return device;
}

inline DataItem itemFor(int id, const QString& symbol, int type, const QString& mode = "4")
{
    ItemInstancePlugin item;
    item.id = id;
    item.uid = QStringLiteral("item_%1").arg(id);
    item.name = QStringLiteral("Item %1").arg(id);
    item.readIntervalMs = 100;
    item.config = {{"variable_name", symbol}, {"type", QString::number(type)}, {"notification_transmission_mode", mode}};
    return DataItem(item);
}

inline LogList batchFor(const DeviceInstancePlugin& device, std::vector<TypedSymbol> symbols = kTyped)
{
    LogList list;
    list.device = device;
    for (const TypedSymbol& s : symbols) {
        list.items.append(itemFor(list.items.size() + 1, s.symbol, s.type));
    }
    return list;
}

inline QString valueOf(const LogList& list, int index)
{
    return list.items.at(index).values.value("value");
}

inline bool allValuesSet(const LogList& list)
{
    return std::all_of(list.items.begin(), list.items.end(),
                       [](const DataItem& item) { return !item.values.value("value").isEmpty(); });
}

inline int valuesOfDevice(int deviceId)
{
    std::lock_guard<std::mutex> lock(Ads_Plc_Worker::valuesMutex);
    const auto keys = Ads_Plc_Worker::values.keys();
    return std::count_if(keys.begin(), keys.end(), [&](const auto& key) { return key.first == quint32(deviceId); });
}

inline bool logged(const QString& text)
{
    return HostState::instance().waitForLog([&](const tavhost::LogEntry& e) { return e.text == text; }, 0);
}

inline double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class ExchangeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        HostState::instance().reset();
        plc::ads::SetConnectTimeout(1000);
    }
    void TearDown() override
    {
        plugin.stopPlugin();
        plc::ads::SetConnectTimeout(5000);
    }

    // Reads until the predicate holds; the batch keeps what the last read left in it.
    bool readUntil(LogList& list, const std::function<bool(const LogList&)>& done = allValuesSet,
                   std::chrono::milliseconds limit = 5s)
    {
        return WaitUntil([&] { return plugin.readData(&list) && done(list); }, limit);
    }

    Ads_Plc plugin;
};

} // namespace exchange_test
