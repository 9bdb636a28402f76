// The block each side sends first inside a secure tunnel, known only from a public
// description: who is connecting, which kind of route it asks for and, on a first
// self-signed connection, the PLC user who allows it. The PLC answers with its own.
// Layout (little-endian): total length u16, flags u16, version u8, error u8, NetId 6 bytes,
// user-name length u8, password length u8, 18 reserved bytes, host name 32 bytes
// zero-padded, then the user name and the password.
#pragma once

#include "AdsDef.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plc::ads {

struct ConnectInfo {
    static constexpr size_t FIXED_SIZE = 64;
    static constexpr size_t HOST_NAME_SIZE = 32;
    static constexpr size_t MAX_SIZE = FIXED_SIZE + 255 + 255;
    static constexpr uint8_t VERSION = 1;

    enum Flag : uint16_t {
        RESPONSE = 0x01,
        AMS_ALLOWED = 0x02,
        SERVER_INFO = 0x04,
        OWN_FILE = 0x08,
        SELF_SIGNED = 0x10,
        IP_ADDRESS = 0x20,
        IGNORE_CN = 0x40,
        ADD_REMOTE = 0x80,
    };
    enum Error : uint8_t {
        OK = 0,
        BAD_VERSION = 1,
        CN_MISMATCH = 2,
        UNKNOWN_CERTIFICATE = 3,
        UNKNOWN_USER = 4,
    };

    uint16_t flags = 0;
    uint8_t version = VERSION;
    uint8_t error = OK;
    AmsNetId netId{0u};
    std::string hostName; // at most HOST_NAME_SIZE bytes are sent
    std::string userName; // at most 255 bytes
    std::string password; // at most 255 bytes

    // Throws std::length_error for a user name or password over 255 bytes.
    std::vector<uint8_t> Encode() const;
    // The block's total length from its first two bytes (at least two needed); 0 when those
    // cannot start a block (shorter than the fixed part or longer than any block can be).
    static size_t Announced(const uint8_t* data, size_t size);
    // False unless `data` holds one whole, consistent block (lengths checked against `size`).
    static bool Decode(const uint8_t* data, size_t size, ConnectInfo& out);
};

// What the PLC's error code means, for device errors.
std::string ConnectInfoErrorText(uint8_t error);

} // namespace plc::ads
