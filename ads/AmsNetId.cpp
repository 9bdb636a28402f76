#include "AdsDef.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sstream>
#include <tuple>

namespace {
// One field converted like strtol: leading blanks, sign, digits; saturates to 32 bits.
uint8_t FieldToByte(const std::string& field)
{
    errno = 0;
    long value = std::strtol(field.c_str(), nullptr, 10);
    if (value > INT32_MAX) {
        value = INT32_MAX;
    } else if (value < INT32_MIN) {
        value = INT32_MIN;
    }
    return static_cast<uint8_t>(static_cast<uint32_t>(value) & 0xFF);
}
}

bool ParseAmsNetId(const std::string& text, AmsNetId& out)
{
    uint8_t bytes[6];
    size_t pos = 0;
    size_t fields = 0;
    // Fields end at '.' or at the end; a '.' consumed at the very end opens no new field.
    while (pos < text.size()) {
        const size_t dot = text.find('.', pos);
        const std::string field = text.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
        if (fields == 6) {
            return false; // a seventh field
        }
        bytes[fields++] = FieldToByte(field);
        if (dot == std::string::npos) {
            pos = text.size();
        } else {
            pos = dot + 1;
        }
    }
    if (fields != 6) {
        return false;
    }
    for (size_t i = 0; i < 6; ++i) {
        out.b[i] = bytes[i];
    }
    return true;
}

AmsNetId::AmsNetId(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5) : b{b0, b1, b2, b3, b4, b5}
{}

AmsNetId::AmsNetId(uint32_t ipv4)
    : b{static_cast<uint8_t>(ipv4 >> 24), static_cast<uint8_t>(ipv4 >> 16), static_cast<uint8_t>(ipv4 >> 8),
        static_cast<uint8_t>(ipv4), 1, 1}
{}

AmsNetId::AmsNetId(const std::string& text) : AmsNetId(0u)
{
    if (!ParseAmsNetId(text, *this)) {
        *this = AmsNetId(0u);
    }
}

AmsNetId make_AmsNetId(const std::string& text)
{
    AmsNetId id{0, 0, 0, 0, 0, 0};
    if (!ParseAmsNetId(text, id)) {
        return AmsNetId{0, 0, 0, 0, 0, 0};
    }
    return id;
}

AmsNetId::operator bool() const
{
    return !(*this == AmsNetId(0u));
}

bool AmsNetId::operator<(const AmsNetId& rhs) const
{
    return std::tie(b[0], b[1], b[2], b[3], b[4], b[5]) <
           std::tie(rhs.b[0], rhs.b[1], rhs.b[2], rhs.b[3], rhs.b[4], rhs.b[5]);
}

bool AmsNetId::operator==(const AmsNetId& rhs) const
{
    for (size_t i = 0; i < 6; ++i) {
        if (b[i] != rhs.b[i]) {
            return false;
        }
    }
    return true;
}

std::string AmsNetId::ToString() const
{
    std::ostringstream os;
    os << *this;
    return os.str();
}

std::ostream& operator<<(std::ostream& os, const AmsNetId& netId)
{
    return os << std::dec << +netId.b[0] << '.' << +netId.b[1] << '.' << +netId.b[2] << '.' << +netId.b[3] << '.'
              << +netId.b[4] << '.' << +netId.b[5];
}

bool AmsAddr::operator<(const AmsAddr& rhs) const
{
    if (amsNetId != rhs.amsNetId) {
        return amsNetId < rhs.amsNetId;
    }
    return amsPort < rhs.amsPort;
}

bool AmsAddr::operator==(const AmsAddr& rhs) const
{
    return amsNetId == rhs.amsNetId && amsPort == rhs.amsPort;
}
