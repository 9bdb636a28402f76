// Sum commands: one ReadWrite carrying n sub-requests, each served like its single command.
// The written and read lengths must match the layout for n exactly (ads/AdsSum.h).
#include "tools/sim/SimServer.h"

#include "ads/AdsSum.h"

namespace plcsim {

namespace {
// The largest reply a sum request may ask for; a PLC refuses larger ones as well.
constexpr uint64_t kMaxSumReply = 4u * 1024u * 1024u;

struct SubHeader {
    uint32_t group;
    uint32_t offset;
    uint32_t readLength;
    uint32_t writeLength;
};

// Reads n headers of `fields` words each; sums the lengths of field 3 (and of field 4 if any).
std::vector<SubHeader> Headers(const uint8_t* p, uint32_t n, size_t fields, uint64_t& third, uint64_t& fourth)
{
    std::vector<SubHeader> subs(n);
    le::Reader rd(p, size_t{n} * fields * 4);
    third = 0;
    fourth = 0;
    for (SubHeader& s : subs) {
        s.group = rd.Get<uint32_t>();
        s.offset = rd.Get<uint32_t>();
        s.readLength = rd.Get<uint32_t>();
        s.writeLength = fields == 4 ? rd.Get<uint32_t>() : 0;
        third += s.readLength;
        fourth += s.writeLength;
    }
    return subs;
}
} // namespace

std::vector<uint8_t> PlcSimulator::Impl::SumLocked(Connection& c, const AoEHeader& h, uint32_t group, uint32_t n,
                                                   uint32_t readLen, const uint8_t* p, uint32_t writeLen,
                                                   std::vector<uint32_t>& arm)
{
    if (!sumCommands) {
        return ReadResult(kErrServiceNotSupported);
    }
    const uint64_t count = n;
    // Every layout needs at least 4 bytes per sub-request on both sides: bounds n before any allocation.
    if (n == 0 || count * 4 > writeLen || count * 4 > readLen || readLen > kMaxSumReply) {
        return ReadResult(kErrInvalidSize);
    }
    std::vector<uint8_t> out;
    uint64_t third = 0;
    uint64_t fourth = 0;
    switch (group) {
    case plc::ads::ADS_IGRP_SUM_READ: {
        if (count * 12 != writeLen) {
            return ReadResult(kErrInvalidSize);
        }
        const auto subs = Headers(p, n, 3, third, fourth);
        if (count * 4 + third != readLen) {
            return ReadResult(kErrInvalidSize);
        }
        out.assign(readLen, 0);
        size_t area = count * 4;
        for (uint32_t i = 0; i < n; ++i) {
            const std::vector<uint8_t> one = ReadLocked(subs[i].group, subs[i].offset, subs[i].readLength);
            const uint32_t code = le::Read<uint32_t>(one.data());
            le::Write<uint32_t>(out.data() + i * 4, code);
            if (code == 0) {
                std::copy_n(one.begin() + 8, std::min<size_t>(one.size() - 8, subs[i].readLength), out.begin() + area);
            }
            area += subs[i].readLength;
        }
        break;
    }
    case plc::ads::ADS_IGRP_SUM_WRITE: {
        if (count * 12 > writeLen || count * 4 != readLen) {
            return ReadResult(kErrInvalidSize);
        }
        const auto subs = Headers(p, n, 3, third, fourth);
        if (count * 12 + third != writeLen) {
            return ReadResult(kErrInvalidSize);
        }
        out.assign(readLen, 0);
        const uint8_t* data = p + count * 12;
        for (uint32_t i = 0; i < n; ++i) {
            le::Write<uint32_t>(out.data() + i * 4,
                                WriteLocked(subs[i].group, subs[i].offset, data, subs[i].readLength));
            data += subs[i].readLength;
        }
        break;
    }
    case plc::ads::ADS_IGRP_SUM_READ_WRITE: {
        if (count * 16 > writeLen) {
            return ReadResult(kErrInvalidSize);
        }
        const auto subs = Headers(p, n, 4, third, fourth);
        if (count * 16 + fourth != writeLen || count * 8 + third != readLen) {
            return ReadResult(kErrInvalidSize);
        }
        out.assign(count * 8, 0);
        const uint8_t* data = p + count * 16;
        for (uint32_t i = 0; i < n; ++i) {
            const std::vector<uint8_t> one =
                ReadWriteLocked(subs[i].group, subs[i].offset, subs[i].readLength, data, subs[i].writeLength);
            data += subs[i].writeLength;
            const uint32_t code = le::Read<uint32_t>(one.data());
            const size_t returned = code == 0 ? std::min<size_t>(one.size() - 8, subs[i].readLength) : 0;
            le::Writer(out.data() + i * 8).Put<uint32_t>(code).Put<uint32_t>(static_cast<uint32_t>(returned));
            out.insert(out.end(), one.begin() + 8, one.begin() + 8 + static_cast<std::ptrdiff_t>(returned));
        }
        break;
    }
    case plc::ads::ADS_IGRP_SUM_ADD_NOTIFICATION: {
        if (count * plc::ads::SUM_NOTIFICATION_REQUEST_SIZE != writeLen || count * 8 != readLen) {
            return ReadResult(kErrInvalidSize);
        }
        for (uint32_t i = 0; i < n; ++i) {
            le::Reader one(p + i * plc::ads::SUM_NOTIFICATION_REQUEST_SIZE, plc::ads::SUM_NOTIFICATION_REQUEST_SIZE);
            const std::vector<uint8_t> grant = AddNotificationLocked(c, h, one, arm);
            out.insert(out.end(), grant.begin(), grant.end());
        }
        break;
    }
    case plc::ads::ADS_IGRP_SUM_DEL_NOTIFICATION: {
        if (count * 4 != writeLen || count * 4 != readLen) {
            return ReadResult(kErrInvalidSize);
        }
        for (uint32_t i = 0; i < n; ++i) {
            const std::vector<uint8_t> result = DeleteNotificationLocked(c, le::Read<uint32_t>(p + i * 4));
            out.insert(out.end(), result.begin(), result.end());
        }
        break;
    }
    default:
        return ReadResult(kErrInvalidGroup);
    }
    return ReadResult(0, out.data(), out.size());
}

} // namespace plcsim
