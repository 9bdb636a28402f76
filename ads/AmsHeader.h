// Wire layout of the AMS/TCP header, the AMS header and the reply headers.
// Shared by the client stack and the PLC simulator; all fields little-endian.
#pragma once

#include "AdsDef.h"
#include "LittleEndian.h"

#include <cstddef>
#include <cstdint>

namespace plc::ads {

struct AmsTcpHeader {
    static constexpr size_t SIZE = 6;
    uint16_t reserved = 0;
    uint32_t length = 0; // bytes that follow this header

    void Encode(uint8_t* p) const
    {
        le::Write<uint16_t>(p, reserved);
        le::Write<uint32_t>(p + 2, length);
    }
    static AmsTcpHeader Decode(const uint8_t* p)
    {
        AmsTcpHeader h;
        h.reserved = le::Read<uint16_t>(p);
        h.length = le::Read<uint32_t>(p + 2);
        return h;
    }
};

struct AoEHeader {
    static constexpr size_t SIZE = 32;
    static constexpr uint16_t AMS_REQUEST = 0x0004;
    static constexpr uint16_t AMS_RESPONSE = 0x0005;
    // The bit of the state flags that marks a reply.
    static constexpr uint16_t RESPONSE_FLAG = 0x0001;

    AmsNetId targetNetId{0, 0, 0, 0, 0, 0};
    uint16_t targetPort = 0;
    AmsNetId sourceNetId{0, 0, 0, 0, 0, 0};
    uint16_t sourcePort = 0;
    uint16_t cmdId = 0;
    uint16_t stateFlags = 0;
    uint32_t length = 0; // command data after this header
    uint32_t errorCode = 0;
    uint32_t invokeId = 0;

    AmsAddr Target() const { return AmsAddr{targetNetId, targetPort}; }
    AmsAddr Source() const { return AmsAddr{sourceNetId, sourcePort}; }

    // The header of the reply to this request, carrying dataLength bytes of command data.
    AoEHeader ResponseTo(uint32_t dataLength) const
    {
        AoEHeader reply;
        reply.targetNetId = sourceNetId;
        reply.targetPort = sourcePort;
        reply.sourceNetId = targetNetId;
        reply.sourcePort = targetPort;
        reply.cmdId = cmdId;
        reply.stateFlags = AMS_RESPONSE;
        reply.length = dataLength;
        reply.invokeId = invokeId;
        return reply;
    }

    void Encode(uint8_t* p) const
    {
        for (size_t i = 0; i < 6; ++i) {
            p[i] = targetNetId.b[i];
            p[8 + i] = sourceNetId.b[i];
        }
        le::Write<uint16_t>(p + 6, targetPort);
        le::Write<uint16_t>(p + 14, sourcePort);
        le::Write<uint16_t>(p + 16, cmdId);
        le::Write<uint16_t>(p + 18, stateFlags);
        le::Write<uint32_t>(p + 20, length);
        le::Write<uint32_t>(p + 24, errorCode);
        le::Write<uint32_t>(p + 28, invokeId);
    }
    static AoEHeader Decode(const uint8_t* p)
    {
        AoEHeader h;
        for (size_t i = 0; i < 6; ++i) {
            h.targetNetId.b[i] = p[i];
            h.sourceNetId.b[i] = p[8 + i];
        }
        h.targetPort = le::Read<uint16_t>(p + 6);
        h.sourcePort = le::Read<uint16_t>(p + 14);
        h.cmdId = le::Read<uint16_t>(p + 16);
        h.stateFlags = le::Read<uint16_t>(p + 18);
        h.length = le::Read<uint32_t>(p + 20);
        h.errorCode = le::Read<uint32_t>(p + 24);
        h.invokeId = le::Read<uint32_t>(p + 28);
        return h;
    }
};

// Reply header of every command but Read and ReadWrite.
struct AoEResponseHeader {
    static constexpr size_t SIZE = 4;
    uint32_t result = 0;
    static AoEResponseHeader Decode(const uint8_t* p)
    {
        AoEResponseHeader h;
        h.result = le::Read<uint32_t>(p);
        return h;
    }
};

// Reply header of Read and ReadWrite.
struct AoEReadResponseHeader {
    static constexpr size_t SIZE = 8;
    uint32_t result = 0;
    uint32_t readLength = 0;
    static AoEReadResponseHeader Decode(const uint8_t* p)
    {
        AoEReadResponseHeader h;
        h.result = le::Read<uint32_t>(p);
        h.readLength = le::Read<uint32_t>(p + 4);
        return h;
    }
};

} // namespace plc::ads
