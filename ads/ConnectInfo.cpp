#include "ConnectInfo.h"

#include "LittleEndian.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace plc::ads {

namespace {
constexpr size_t RESERVED = 18;
}

std::vector<uint8_t> ConnectInfo::Encode() const
{
    if (userName.size() > 255 || password.size() > 255) {
        throw std::length_error("user name and password are limited to 255 bytes each");
    }
    std::vector<uint8_t> out(FIXED_SIZE + userName.size() + password.size(), 0);
    le::Writer w(out.data());
    w.Put<uint16_t>(static_cast<uint16_t>(out.size()))
        .Put<uint16_t>(flags)
        .Put<uint8_t>(version)
        .Put<uint8_t>(error)
        .PutBytes(netId.b, sizeof(netId.b))
        .Put<uint8_t>(static_cast<uint8_t>(userName.size()))
        .Put<uint8_t>(static_cast<uint8_t>(password.size()));
    uint8_t* host = w.Position() + RESERVED;
    std::memcpy(host, hostName.data(), std::min(hostName.size(), HOST_NAME_SIZE));
    le::Writer tail(host + HOST_NAME_SIZE);
    tail.PutBytes(userName.data(), userName.size()).PutBytes(password.data(), password.size());
    return out;
}

size_t ConnectInfo::Announced(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    const size_t total = le::Read<uint16_t>(data);
    return total >= FIXED_SIZE && total <= MAX_SIZE ? total : 0;
}

bool ConnectInfo::Decode(const uint8_t* data, size_t size, ConnectInfo& out)
{
    const size_t total = Announced(data, size);
    if (total == 0 || total > size) {
        return false;
    }
    le::Reader r(data, total);
    r.Skip(2);
    ConnectInfo info;
    info.flags = r.Get<uint16_t>();
    info.version = r.Get<uint8_t>();
    info.error = r.Get<uint8_t>();
    r.GetBytes(info.netId.b, sizeof(info.netId.b));
    const size_t userLength = r.Get<uint8_t>();
    const size_t passwordLength = r.Get<uint8_t>();
    r.Skip(RESERVED);
    // The credentials must fill the block exactly: anything else means the lengths lie.
    if (!r.Ok() || FIXED_SIZE + userLength + passwordLength != total) {
        return false;
    }
    const char* host = reinterpret_cast<const char*>(r.Position());
    info.hostName.assign(host, strnlen(host, HOST_NAME_SIZE));
    r.Skip(HOST_NAME_SIZE);
    const char* credentials = reinterpret_cast<const char*>(r.Position());
    info.userName.assign(credentials, userLength);
    info.password.assign(credentials + userLength, passwordLength);
    out = std::move(info);
    return true;
}

std::string ConnectInfoErrorText(uint8_t error)
{
    switch (error) {
    case ConnectInfo::BAD_VERSION:
        return "version not supported (update the PLC or this plug-in)";
    case ConnectInfo::CN_MISMATCH:
        return "common name mismatch (the common name of our certificate must be the route's name on the PLC, "
               "or set Tls_Ignore_Common_Name)";
    case ConnectInfo::UNKNOWN_CERTIFICATE:
        return "unknown certificate (the PLC has not pinned our certificate: set Tls_Plc_User and "
               "Tls_Plc_Password for a first connection, or add the route on the PLC)";
    case ConnectInfo::UNKNOWN_USER:
        return "unknown user (check Tls_Plc_User and Tls_Plc_Password)";
    default:
        return "error " + std::to_string(error);
    }
}

} // namespace plc::ads
