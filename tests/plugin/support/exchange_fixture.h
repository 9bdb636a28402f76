// Shared set-up of the data exchange tests: the plug-in, through the substitute host, against
// simulators on 127.0.0.1 with short time-outs.
#pragma once

#include "ads/LittleEndian.h"
#include "host/HostState.h"
#include "plugin/ads_plc.h"
#include "qt_gtest_print.h"
#include "tools/sim/PlcSimulator.h"
#include "worker/ads_plc_worker.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <vector>

namespace exchange_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using plcsim::PlcSimulator;
using plcsim::WaitUntil;
using tavhost::HostState;

// One simulator symbol of each of the twelve types: the text its bytes give, and a text to
// write with the bytes it must leave in the PLC and that it reads back as.
struct TypedSymbol {
    const char* symbol;
    int type;
    const char* text;
    const char* write = "";
    std::vector<uint8_t> written = {};
};
inline const std::vector<TypedSymbol> kTyped = {
    {"MAIN.bBool", 0, "1", "0", {0}},
    {"MAIN.wWord", 2, "48879", "4660", {0x34, 0x12}},
    {"MAIN.dwDword", 3, "3735928559", "305419896", {0x78, 0x56, 0x34, 0x12}},
    {"MAIN.siSint", 4, "-100", "-2", {0xFE}},
    {"MAIN.usiUsint", 5, "200", "250", {250}},
    {"MAIN.iInt", 6, "-12345", "-300", {0xD4, 0xFE}},
    {"MAIN.uiUint", 7, "54321", "65000", {0xE8, 0xFD}},
    {"MAIN.diDint", 8, "-1234567890", "-70000", {0x90, 0xEE, 0xFE, 0xFF}},
    {"MAIN.udiUdint", 9, "3000000000", "4000000000", {0x00, 0x28, 0x6B, 0xEE}},
    {"MAIN.rReal", 10, "3.5", "0.1", {0xCD, 0xCC, 0xCC, 0x3D}},
    {"MAIN.lrLreal", 11, "-2.25", "1234567.891", {0x75, 0x93, 0x18, 0xE4, 0x87, 0xD6, 0x32, 0x41}},
    {"MAIN.sText", 12, "Hello from the PLC", "Grüße", {'G', 'r', 0xC3, 0xBC, 0xC3, 0x9F, 'e', 0}},
};
inline const TypedSymbol kCounter = {"MAIN.udiCounter", 9, ""};

// Every simulator has a NetId of its own, so that several can be routed at once.
inline std::unique_ptr<PlcSimulator> startSimulator(const std::string& deviceName = "PLC Simulator",
                                                    bool sumCommands = true)
{
    static uint8_t next = 2;
    plcsim::SimOptions options;
    options.sumCommands = sumCommands;
    options.netId = AmsNetId(127, 0, 0, next++, 1, 1);
    options.deviceName = deviceName;
    auto sim = std::make_unique<PlcSimulator>(options);
    sim->Start("127.0.0.1", 0);
    return sim;
}

inline DeviceInstancePlugin deviceFor(int id, const PlcSimulator& sim, const QString& timeoutMs = "300",
                                      const QString& adsPort = "851")
{
    DeviceInstancePlugin device;
    device.id = id;
    device.name = QStringLiteral("Device %1").arg(id);
    device.address = QString::fromStdString(sim.HostString());
    device.errorWaitTimeSeconds = 1;
    device.config = {{"Ads_Port", adsPort},
                     {"Target_AMS_NetId", QString::fromStdString(sim.Options().netId.ToString())},
                     {"Local_AMS_NetId", ""},
                     {"Timeout", timeoutMs},
                     {"timestamp", "0"}};
    return device;
}

inline DataItem itemFor(int id, const QString& symbol, int type)
{
    ItemInstancePlugin item;
    item.id = id;
    item.uid = QStringLiteral("item_%1").arg(id);
    item.name = QStringLiteral("Item %1").arg(id);
    item.readIntervalMs = 100;
    item.config = {{"variable_name", symbol}, {"type", QString::number(type)}, {"notification_transmission_mode", "4"}};
    return DataItem(item);
}

inline LogList batchFor(const DeviceInstancePlugin& device, const std::vector<TypedSymbol>& symbols = kTyped)
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

inline bool logged(const QString& text, int waitMs = 0)
{
    return HostState::instance().waitForLog([&](const tavhost::LogEntry& e) { return e.text == text; }, waitMs);
}

inline int logsContaining(tavhost::LogLevel level, const QString& text)
{
    return HostState::instance().logTexts(level).filter(text).size();
}

inline double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Requests of one command (and index group, when given) the simulator received, oldest first.
inline std::vector<plcsim::Request> requestsOf(const PlcSimulator& sim, uint16_t command = 0, uint32_t group = 0)
{
    std::vector<plcsim::Request> out;
    for (const plcsim::Request& r : sim.Requests()) {
        if (r.hasHeader && (command == 0 || r.header.cmdId == command) &&
            (group == 0 || (r.data.size() >= 4 && plc::ads::le::Read<uint32_t>(r.data.data()) == group))) {
            out.push_back(r);
        }
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.received < b.received; });
    return out;
}

// The lengths of the requests to `group` the simulator received, alone or inside sum commands:
// a write's length for ADS_CMD_WRITE, a read-write's write length for ADS_CMD_READ_WRITE.
inline std::vector<uint32_t> lengthsTo(const PlcSimulator& sim, uint16_t command, uint32_t group)
{
    using plc::ads::le::Read;
    const bool write = command == ADS_CMD_WRITE;
    std::vector<uint32_t> out;
    for (const plcsim::Request& r : requestsOf(sim, command, group)) {
        out.push_back(Read<uint32_t>(r.data.data() + (write ? 8 : 12)));
    }
    const size_t stride = write ? 12 : 16;
    for (const plcsim::Request& r : requestsOf(sim, ADS_CMD_READ_WRITE, write ? 0xF081 : 0xF082)) {
        for (uint32_t i = 0; i < Read<uint32_t>(r.data.data() + 4); ++i) {
            const uint8_t* sub = r.data.data() + 16 + i * stride;
            if (Read<uint32_t>(sub) == group) {
                out.push_back(Read<uint32_t>(sub + stride - 4));
            }
        }
    }
    return out;
}

// A socket bound to an ephemeral port of 127.0.0.1: without listen() it refuses every
// connection; with a backlog of 0 and one connection nobody accepts, later connects hang.
struct LocalSocket {
    explicit LocalSocket(bool hangConnects)
    {
        sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof(addr);
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), length);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
        port = ntohs(addr.sin_port);
        if (hangConnects) {
            ::listen(fd, 0);
            ::connect(filler, reinterpret_cast<sockaddr*>(&addr), length);
        }
    }
    ~LocalSocket()
    {
        ::close(filler);
        ::close(fd);
    }
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(port); }
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int filler = ::socket(AF_INET, SOCK_STREAM, 0);
    uint16_t port = 0;
};

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
