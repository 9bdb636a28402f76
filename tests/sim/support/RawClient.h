// A tiny raw AMS client for talking to the simulator byte by byte, without the client stack.
#pragma once

#include "ads/AdsDef.h"
#include "ads/AmsHeader.h"
#include "tools/sim/PlcSimulator.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simtest {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kClientPort = 30000;
AmsAddr PlcAddr(uint16_t port = 851);
AmsAddr ClientAddr(uint16_t port = kClientPort);

struct Packet {
    plc::ads::AmsTcpHeader tcp;
    bool hasHeader = false;
    plc::ads::AoEHeader header;
    Bytes data; // bytes after the AMS header, as the AMS/TCP length delimits them
};

struct Sample {
    uint64_t time = 0;
    uint32_t handle = 0;
    Bytes data;
};

class RawClient {
public:
    explicit RawClient(uint16_t tcpPort); // connects to 127.0.0.1; throws on failure
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    void SendBytes(const Bytes& bytes);
    // Sends one request; returns its invoke id.
    uint32_t Send(uint16_t cmd, const Bytes& payload, AmsAddr target = PlcAddr(), AmsAddr source = ClientAddr());
    // The next packet of any kind; nullopt on time-out or when the connection ends.
    std::optional<Packet> Receive(std::chrono::milliseconds timeout = 3000ms);
    // The next packet that is not a device notification (those are kept in `notifications`).
    std::optional<Packet> ReceiveReply(std::chrono::milliseconds timeout = 3000ms);
    // Send + ReceiveReply.
    std::optional<Packet> Call(uint16_t cmd, const Bytes& payload, AmsAddr target = PlcAddr());
    // Exactly n bytes from the stream, or what arrived before the time-out or the end.
    Bytes ReceiveRaw(size_t n, std::chrono::milliseconds timeout = 3000ms);

    enum class End { Open, Closed, Reset };
    // Reads and discards until the peer ends the connection or timeout passes.
    End WaitForEnd(std::chrono::milliseconds timeout = 3000ms);

    // Symbol handle by name; 0 when the reply is not a success.
    uint32_t Handle(const std::string& name);

    std::vector<Packet> notifications;

private:
    // Records how the stream ended; a reset is reported by the system only once.
    bool NoteEnd(ssize_t received);

    int fd = -1;
    uint32_t nextInvoke = 1;
    End end = End::Open;
};

Bytes U16(uint16_t v);
Bytes U32(uint32_t v);
Bytes Cat(std::initializer_list<Bytes> parts);
Bytes ReadReq(uint32_t group, uint32_t offset, uint32_t length);
Bytes WriteReq(uint32_t group, uint32_t offset, const Bytes& data);
Bytes ReadWriteReq(uint32_t group, uint32_t offset, uint32_t readLength, const Bytes& data);
Bytes AddNotificationReq(uint32_t group, uint32_t offset, uint32_t length, uint32_t mode,
                         uint32_t samplingPeriod100ns = 10000, uint32_t maxDelay = 0);
uint32_t ResultOf(const Packet& p); // first 4 data bytes
Bytes ReadDataOf(const Packet& p);  // data after the 8-byte read reply header
// Samples of a device notification payload; nullopt when the payload is malformed.
std::optional<std::vector<Sample>> ParseSamples(const Bytes& payload);

} // namespace simtest
