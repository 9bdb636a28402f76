// Value types and constants shared by every layer of the ADS client stack.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

// ---- command ids (AMS header cmdId) ----
enum : uint16_t {
    ADS_CMD_READ_DEVICE_INFO = 1,
    ADS_CMD_READ = 2,
    ADS_CMD_WRITE = 3,
    ADS_CMD_READ_STATE = 4,
    ADS_CMD_WRITE_CONTROL = 5,
    ADS_CMD_ADD_DEVICE_NOTIFICATION = 6,
    ADS_CMD_DEL_DEVICE_NOTIFICATION = 7,
    ADS_CMD_DEVICE_NOTIFICATION = 8,
    ADS_CMD_READ_WRITE = 9,
};

// ---- index groups ----
enum : uint32_t {
    ADS_IGRP_FILE_OPEN = 0x78,
    ADS_IGRP_FILE_CLOSE = 0x79,
    ADS_IGRP_SYMBOL_HANDLE_BY_NAME = 0xF003,
    ADS_IGRP_SYMBOL_VALUE_BY_HANDLE = 0xF005,
    ADS_IGRP_SYMBOL_RELEASE_HANDLE = 0xF006,
    ADS_IGRP_SYMBOL_VERSION = 0xF008,
    ADS_IGRP_SYMBOL_INFO_BY_NAME = 0xF009,
    ADS_IGRP_SYMBOL_UPLOAD = 0xF00B,
    ADS_IGRP_DATA_TYPE_UPLOAD = 0xF00E,
    ADS_IGRP_SYMBOL_UPLOAD_INFO = 0xF00F,
};

// ---- transmission modes ----
enum : uint32_t {
    ADS_TRANS_SERVER_CYCLE = 3,
    ADS_TRANS_SERVER_ON_CHANGE = 4,
};

// ---- result codes the stack produces itself, plus device codes a server sends ----
enum : int32_t {
    ADS_OK = 0,
    ADS_ERR_INTERNAL = 0x1,
    ADS_ERR_TARGET_PORT_NOT_FOUND = 0x6,
    ADS_ERR_TARGET_NOT_FOUND = 0x7,
    ADS_ERR_NO_MEMORY = 0x19,
    ROUTERERR_PORTALREADYINUSE = 0x506,
    ADSERR_DEVICE_ERROR = 0x700,
    ADSERR_DEVICE_SRVNOTSUPP = 0x701,
    ADSERR_DEVICE_INVALIDGRP = 0x702,
    ADSERR_DEVICE_INVALIDOFFSET = 0x703,
    ADSERR_DEVICE_INVALIDACCESS = 0x704,
    ADS_ERR_INVALID_SIZE = 0x705,
    ADSERR_DEVICE_INVALIDDATA = 0x706,
    ADSERR_DEVICE_NOMEMORY = 0x70A,
    ADSERR_DEVICE_SYMBOLNOTFOUND = 0x710,
    ADSERR_DEVICE_NOTIFYHNDINVALID = 0x714,
    ADSERR_DEVICE_NOMOREHDLS = 0x716,
    ADSERR_DEVICE_INVALIDWATCHSIZE = 0x717,
    ADS_ERR_INVALID_PARAMETER = 0x741,
    ADS_ERR_SYNC_TIMEOUT = 0x745,
    ADS_ERR_PORT_NOT_OPEN = 0x748,
    ADS_ERR_NO_AMS_ADDRESS = 0x749,
    ADS_ERR_NOTIFICATION_NOT_FOUND = 0x752,
    ADS_ERR_INVALID_RESPONSE = 0x754,
    // The peer closed or reset the TCP connection (the socket error code of a reset).
    ADS_ERR_CONNECTION_CLOSED = 0x2746,
};

// ---- other shared constants ----
constexpr uint16_t ADS_PORT_BASE = 30000;
constexpr uint16_t ADS_PORT_COUNT = 128;
constexpr uint32_t ADS_DEFAULT_TIMEOUT_MS = 5000;
constexpr uint16_t AMS_TCP_PORT = 48898;
#define AMS_TCP_PORT_TEXT "48898"

// ADS device states; values 0..19 are known, anything above is unknown.
enum ADSSTATE : uint16_t {
    ADSSTATE_INVALID = 0,
    ADSSTATE_IDLE = 1,
    ADSSTATE_RESET = 2,
    ADSSTATE_INIT = 3,
    ADSSTATE_START = 4,
    ADSSTATE_RUN = 5,
    ADSSTATE_STOP = 6,
    ADSSTATE_SAVECFG = 7,
    ADSSTATE_LOADCFG = 8,
    ADSSTATE_POWERFAILURE = 9,
    ADSSTATE_POWERGOOD = 10,
    ADSSTATE_ERROR = 11,
    ADSSTATE_SHUTDOWN = 12,
    ADSSTATE_SUSPEND = 13,
    ADSSTATE_RESUME = 14,
    ADSSTATE_CONFIG = 15,
    ADSSTATE_RECONFIG = 16,
    ADSSTATE_STOPPING = 17,
    ADSSTATE_INCOMPATIBLE = 18,
    ADSSTATE_EXCEPTION = 19,
    ADSSTATE_MAXSTATES = 20,
};

struct AmsNetId {
    uint8_t b[6];

    AmsNetId(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5);
    // From an IPv4 address in host byte order: a.b.c.d -> a.b.c.d.1.1.
    explicit AmsNetId(uint32_t ipv4 = 0);
    // A text that does not parse yields the unset NetId 0.0.0.0.1.1.
    explicit AmsNetId(const std::string& text);

    // False only for the unset NetId 0.0.0.0.1.1.
    explicit operator bool() const;
    bool operator<(const AmsNetId& rhs) const;
    bool operator==(const AmsNetId& rhs) const;
    bool operator!=(const AmsNetId& rhs) const { return !(*this == rhs); }
    std::string ToString() const;
};
static_assert(sizeof(AmsNetId) == 6, "AmsNetId must be six bytes");

// Parses like the text constructor, but a failed parse yields 0.0.0.0.0.0.
AmsNetId make_AmsNetId(const std::string& text);
// Parses a NetId text; false unless it is exactly six dot-separated decimal numbers 0 to 255.
bool ParseAmsNetId(const std::string& text, AmsNetId& out);

std::ostream& operator<<(std::ostream& os, const AmsNetId& netId);

#pragma pack(push, 1)
struct AmsAddr {
    AmsNetId amsNetId;
    uint16_t amsPort;
    bool operator<(const AmsAddr& rhs) const;
    bool operator==(const AmsAddr& rhs) const;
    bool operator!=(const AmsAddr& rhs) const { return !(*this == rhs); }
};

struct AdsVersion {
    uint8_t majorVersion;
    uint8_t minorVersion;
    uint16_t buildNumber;
};

struct AdsNotificationAttrib {
    uint32_t watchedLength;    // bytes per sample
    uint32_t transmissionMode;
    uint32_t maximumDelay;     // 100 ns units
    uint32_t samplingPeriod;   // 100 ns units
};

// Handed to notification callbacks; dataSize bytes of sample follow it in memory.
struct AdsNotificationHeader {
    uint64_t sampleTime;    // 100 ns units since 1601-01-01 00:00:00 UTC
    uint32_t sourceHandle;
    uint32_t dataSize;
};
#pragma pack(pop)
static_assert(sizeof(AmsAddr) == 8, "AmsAddr must be eight bytes");
static_assert(sizeof(AdsNotificationHeader) == 16, "AdsNotificationHeader must be 16 bytes");

using PAdsNotificationFuncEx = void (*)(const AmsAddr* pAddr, const AdsNotificationHeader* pNotification,
                                        uint32_t hUser);
