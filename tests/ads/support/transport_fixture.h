// Fixture for connection tests: a simulator on an ephemeral loopback port whose memory
// holds one distinct 4-byte cell per local port, and one connection to it.
#pragma once

#include "transport_support.h"

#include "ads/AmsConnection.h"
#include "ads/LittleEndian.h"
#include "tools/sim/PlcSimulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace transport {

class ConnectionTest : public ::testing::Test {
protected:
    static constexpr uint32_t kGroup = 0x4020;
    static constexpr uint16_t kFirstPort = ADS_PORT_BASE;

    static uint32_t CellValue(uint16_t localPort) { return 0xC0DE0000u | (localPort * 7u); }

    void SetUp() override
    {
        plcsim::SimOptions options;
        options.defaultSymbols = false;
        sim = std::make_unique<plcsim::PlcSimulator>(options);
        simPort = sim->Start("127.0.0.1", 0);
        std::vector<uint8_t> cells(4 * ADS_PORT_COUNT);
        for (uint16_t i = 0; i < ADS_PORT_COUNT; ++i) {
            plc::ads::le::Write<uint32_t>(cells.data() + 4 * i, CellValue(ADS_PORT_BASE + i));
        }
        sim->SetMemory(kGroup, 0, cells);
        target = AmsAddr{options.netId, 851};
        connection = Connect();
    }

    std::unique_ptr<AmsConnection> Connect()
    {
        const auto addresses = plc::ads::GetListOfAddresses("127.0.0.1", std::to_string(simPort));
        return std::make_unique<AmsConnection>(router, addresses.get());
    }

    // Reads `length` bytes at `offset` of the test group from `localPort`.
    int32_t Read(uint16_t localPort, uint32_t offset, uint32_t length, void* buffer, uint32_t bufferLength,
                 uint32_t* bytesRead = nullptr, uint32_t timeoutMs = 2000, AmsConnection* on = nullptr)
    {
        AmsRequest request(target, localPort, ADS_CMD_READ, 12, bufferLength, buffer, bytesRead);
        request.frame.prepend<uint32_t>(length).prepend<uint32_t>(offset).prepend<uint32_t>(kGroup);
        return (on ? on : connection.get())->AdsRequest(request, timeoutMs);
    }

    int32_t Write(uint16_t localPort, uint32_t offset, const std::vector<uint8_t>& data,
                  uint32_t* bytesRead = nullptr, uint32_t timeoutMs = 2000)
    {
        AmsRequest request(target, localPort, ADS_CMD_WRITE, 12 + data.size(), 0, nullptr, bytesRead);
        request.frame.prepend(data.data(), data.size());
        request.frame.prepend<uint32_t>(static_cast<uint32_t>(data.size())).prepend<uint32_t>(offset).prepend<uint32_t>(
            kGroup);
        return connection->AdsRequest(request, timeoutMs);
    }

    // Reads the port's own cell and checks its content: the stream is still aligned.
    void ExpectHealthy(uint16_t localPort = kFirstPort + 1, AmsConnection* on = nullptr)
    {
        uint8_t cell[4] = {};
        uint32_t bytesRead = 0;
        ASSERT_EQ(Read(localPort, 4u * (localPort - ADS_PORT_BASE), 4, cell, sizeof(cell), &bytesRead, 2000, on), 0);
        EXPECT_EQ(bytesRead, 4u);
        EXPECT_EQ(plc::ads::le::Read<uint32_t>(cell), CellValue(localPort));
    }

    // Runs a read of the port's cell on another thread, with its own buffer.
    struct PendingRead {
        std::future<int32_t> result;
        std::shared_ptr<std::vector<uint8_t>> buffer;
        size_t requestsBefore; // requests the simulator had received before this one
    };
    PendingRead ReadAsync(uint16_t localPort, uint32_t timeoutMs, uint32_t length = 4)
    {
        const size_t before = sim->RequestCount();
        auto buffer = std::make_shared<std::vector<uint8_t>>(length, 0xEE);
        auto result = std::async(std::launch::async, [this, localPort, timeoutMs, length, buffer] {
            return Read(localPort, 4u * (localPort - ADS_PORT_BASE), length, buffer->data(), length, nullptr,
                        timeoutMs);
        });
        return PendingRead{std::move(result), buffer, before};
    }

    // The newest request the simulator has received, once there are at least `count`.
    plc::ads::AoEHeader AwaitRequest(size_t count)
    {
        std::vector<plcsim::Request> seen;
        EXPECT_TRUE(sim->WaitForRequests(
            [&](const std::vector<plcsim::Request>& all) {
                seen = all;
                return all.size() >= count;
            },
            std::chrono::seconds(5)));
        return seen.empty() ? plc::ads::AoEHeader{} : seen.back().header;
    }

    // A reply to `request` carrying `data`; the AMS length may claim something else, and
    // `extra` bytes beyond the data are counted only by the AMS/TCP length.
    static std::vector<uint8_t> Reply(const plc::ads::AoEHeader& request, const std::vector<uint8_t>& data,
                                      std::optional<uint32_t> amsLength = std::nullopt, size_t extra = 0)
    {
        plc::ads::AoEHeader header;
        header.targetNetId = request.sourceNetId;
        header.targetPort = request.sourcePort;
        header.sourceNetId = request.targetNetId;
        header.sourcePort = request.targetPort;
        header.cmdId = request.cmdId;
        header.stateFlags = plc::ads::AoEHeader::AMS_RESPONSE;
        header.length = amsLength.value_or(static_cast<uint32_t>(data.size()));
        header.invokeId = request.invokeId;
        std::vector<uint8_t> packet(plc::ads::AmsTcpHeader::SIZE + plc::ads::AoEHeader::SIZE);
        plc::ads::AmsTcpHeader tcp;
        tcp.length = static_cast<uint32_t>(plc::ads::AoEHeader::SIZE + data.size() + extra);
        tcp.Encode(packet.data());
        header.Encode(packet.data() + plc::ads::AmsTcpHeader::SIZE);
        packet.insert(packet.end(), data.begin(), data.end());
        packet.insert(packet.end(), extra, 0);
        return packet;
    }

    // Read reply data: result, read length, then the bytes.
    static std::vector<uint8_t> ReadReplyData(uint32_t result, const std::vector<uint8_t>& bytes)
    {
        std::vector<uint8_t> data(8);
        plc::ads::le::Write<uint32_t>(data.data(), result);
        plc::ads::le::Write<uint32_t>(data.data() + 4, static_cast<uint32_t>(bytes.size()));
        data.insert(data.end(), bytes.begin(), bytes.end());
        return data;
    }

    TestRouter router;
    std::unique_ptr<plcsim::PlcSimulator> sim;
    uint16_t simPort = 0;
    AmsAddr target{AmsNetId{}, 0};
    std::unique_ptr<AmsConnection> connection;
};

inline long ElapsedMs(std::chrono::steady_clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

} // namespace transport
