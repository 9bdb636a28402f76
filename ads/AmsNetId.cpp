#include "AdsDef.h"

#include <sstream>
#include <tuple>

namespace {
// One field: one to three decimal digits, 0 to 255; nothing else is a byte of a NetId.
bool FieldToByte(const std::string& text, size_t begin, size_t end, uint8_t& out)
{
    if (end <= begin || end - begin > 3) {
        return false;
    }
    unsigned value = 0;
    for (size_t i = begin; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    if (value > 255) {
        return false;
    }
    out = static_cast<uint8_t>(value);
    return true;
}
}

bool ParseAmsNetId(const std::string& text, AmsNetId& out)
{
    uint8_t bytes[6];
    size_t begin = 0;
    for (size_t field = 0; field < 6; ++field) {
        const size_t dot = text.find('.', begin);
        const bool last = field == 5;
        // Exactly six fields: the sixth ends the text, the others end at a dot.
        if (last != (dot == std::string::npos)) {
            return false;
        }
        const size_t end = last ? text.size() : dot;
        if (!FieldToByte(text, begin, end, bytes[field])) {
            return false;
        }
        begin = end + 1;
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
