// Command handling: takes one request apart, runs the command on the device model and raw
// memory, and hands the reply to the fault-aware sender.
#include "tools/sim/SimServer.h"

#include <sstream>

namespace plcsim {

namespace {

std::string AddrText(const AmsAddr& a)
{
    return a.amsNetId.ToString() + ":" + std::to_string(a.amsPort);
}

} // namespace

// Returns false when the connection must end.
bool PlcSimulator::Impl::Handle(Connection& c, const Request& r)
{
    const AoEHeader& h = r.header;
    if (verbose) {
        std::ostringstream s;
        s << "connection " << c.id << ": cmd " << h.cmdId << " invoke " << h.invokeId << " length " << h.length
          << " from " << AddrText(h.Source()) << " to " << AddrText(h.Target());
        Log(s.str());
    }
    {
        std::lock_guard<std::mutex> lock(connMtx);
        latest = Latest{c.id, h.Source(), h.Target()};
    }
    // Responses and notifications coming from a client are never answered.
    if ((h.stateFlags & 0x0001) != 0 || h.cmdId == ADS_CMD_DEVICE_NOTIFICATION) {
        return true;
    }
    // The router answers for a target it does not know, whatever the runtime does.
    const bool otherNetId = ownNetIdOnly && !(h.targetNetId == netId);
    if (otherNetId || (!adsPorts.empty() && adsPorts.count(h.targetPort) == 0)) {
        AoEHeader refusal = h.ResponseTo(0);
        refusal.errorCode = otherNetId ? 0x7 : 0x6;
        return c.Send(Packet(refusal, {}));
    }
    RequestHook hookCopy;
    {
        std::lock_guard<std::mutex> lock(mtx);
        if (silent || silentPorts.count(h.targetPort) != 0) {
            return true;
        }
        hookCopy = hook;
    }
    std::vector<uint32_t> arm;
    std::optional<std::vector<uint8_t>> data;
    if (hookCopy) {
        data = hookCopy(r);
    }
    if (!data) {
        data = Execute(c, h, r.data, arm);
    }
    const AoEHeader reply = h.ResponseTo(static_cast<uint32_t>(data->size()));
    return SendReply(c, reply, std::move(*data), TakeFault(h.cmdId, r.data), arm);
}

std::vector<uint8_t> PlcSimulator::Impl::Execute(Connection& c, const AoEHeader& h, const std::vector<uint8_t>& payload,
                             std::vector<uint32_t>& arm)
{
    le::Reader rd(payload.data(), payload.size());
    std::lock_guard<std::mutex> lock(mtx);
    switch (h.cmdId) {
    case ADS_CMD_READ_DEVICE_INFO: {
        std::vector<uint8_t> out(24, 0);
        le::Writer w(out.data());
        w.Put<uint32_t>(0).Put<uint8_t>(version.majorVersion).Put<uint8_t>(version.minorVersion);
        w.Put<uint16_t>(version.buildNumber);
        w.PutBytes(deviceName.data(), std::min<size_t>(deviceName.size(), 16));
        return out;
    }
    case ADS_CMD_READ_STATE: {
        std::vector<uint8_t> out(8);
        le::Writer(out.data()).Put<uint32_t>(0).Put<uint16_t>(adsState).Put<uint16_t>(deviceState);
        return out;
    }
    case ADS_CMD_WRITE_CONTROL: {
        if (payload.size() < 4) {
            return Result(kErrInvalidSize);
        }
        adsState = rd.Get<uint16_t>();
        deviceState = rd.Get<uint16_t>();
        return Result(0);
    }
    case ADS_CMD_READ: {
        if (payload.size() < 12) {
            return ReadResult(kErrInvalidSize);
        }
        const uint32_t group = rd.Get<uint32_t>();
        const uint32_t offset = rd.Get<uint32_t>();
        const uint32_t len = rd.Get<uint32_t>();
        return ReadLocked(group, offset, len);
    }
    case ADS_CMD_WRITE: {
        if (payload.size() < 12) {
            return Result(kErrInvalidSize);
        }
        const uint32_t group = rd.Get<uint32_t>();
        const uint32_t offset = rd.Get<uint32_t>();
        const uint32_t len = rd.Get<uint32_t>();
        if (len > rd.Remaining()) {
            return Result(kErrInvalidSize);
        }
        return Result(WriteLocked(group, offset, rd.Position(), len));
    }
    case ADS_CMD_READ_WRITE: {
        if (payload.size() < 16) {
            return ReadResult(kErrInvalidSize);
        }
        const uint32_t group = rd.Get<uint32_t>();
        const uint32_t offset = rd.Get<uint32_t>();
        const uint32_t readLen = rd.Get<uint32_t>();
        const uint32_t writeLen = rd.Get<uint32_t>();
        if (writeLen > rd.Remaining()) {
            return ReadResult(kErrInvalidSize);
        }
        if (IsSumGroup(group)) {
            return SumLocked(c, h, group, offset, readLen, rd.Position(), writeLen, arm);
        }
        return ReadWriteLocked(group, offset, readLen, rd.Position(), writeLen);
    }
    case ADS_CMD_ADD_DEVICE_NOTIFICATION: {
        if (payload.size() < 24) {
            std::vector<uint8_t> out(8, 0);
            le::Write<uint32_t>(out.data(), kErrInvalidSize);
            return out;
        }
        return AddNotificationLocked(c, h, rd, arm);
    }
    case ADS_CMD_DEL_DEVICE_NOTIFICATION: {
        if (payload.size() < 4) {
            return Result(kErrInvalidSize);
        }
        return DeleteNotificationLocked(c, rd.Get<uint32_t>());
    }
    default:
        return Result(kErrServiceNotSupported);
    }
}

// mtx held. Finds the memory region holding [offset, offset + len).
uint32_t PlcSimulator::Impl::LocateLocked(uint32_t group, uint32_t offset, uint64_t len, std::vector<uint8_t>** region, size_t* pos)
{
    auto g = memory.find(group);
    if (g == memory.end()) {
        return kErrInvalidGroup;
    }
    auto it = g->second.upper_bound(offset);
    if (it == g->second.begin()) {
        return kErrInvalidOffset;
    }
    --it;
    const uint64_t rel = offset - it->first;
    const uint64_t size = it->second.size();
    if (rel > size || (rel == size && size != 0)) {
        return kErrInvalidOffset;
    }
    if (rel + len > size) {
        return kErrInvalidSize;
    }
    *region = &it->second;
    *pos = static_cast<size_t>(rel);
    return 0;
}

std::vector<uint8_t> PlcSimulator::Impl::ReadLocked(uint32_t group, uint32_t offset, uint32_t len)
{
    if (group == ADS_IGRP_SYMBOL_VALUE_BY_HANDLE) {
        return ReadByHandleLocked(offset, len);
    }
    if (group == ADS_IGRP_SYMBOL_HANDLE_BY_NAME || group == ADS_IGRP_SYMBOL_RELEASE_HANDLE) {
        return ReadResult(kErrServiceNotSupported);
    }
    if (symbolInfo && (group == ADS_IGRP_SYMBOL_UPLOAD_INFO || group == ADS_IGRP_SYMBOL_UPLOAD)) {
        return SymbolUploadLocked(group, len);
    }
    if (symbolInfo && group == ADS_IGRP_DATA_TYPE_UPLOAD) {
        if (!dataTypeInfo) {
            return ReadResult(kErrServiceNotSupported);
        }
        const std::vector<uint8_t>& table = *DataTypesLocked().first;
        return table.size() > len ? ReadResult(kErrInvalidSize) : ReadResult(0, table.data(), table.size());
    }
    std::vector<uint8_t>* region = nullptr;
    size_t pos = 0;
    const uint32_t code = LocateLocked(group, offset, len, &region, &pos);
    if (code != 0) {
        return ReadResult(code);
    }
    return ReadResult(0, region->data() + pos, len);
}

uint32_t PlcSimulator::Impl::WriteLocked(uint32_t group, uint32_t offset, const uint8_t* p, uint32_t len)
{
    if (group == ADS_IGRP_SYMBOL_VALUE_BY_HANDLE) {
        return WriteByHandleLocked(offset, p, len);
    }
    if (group == ADS_IGRP_SYMBOL_RELEASE_HANDLE) {
        return ReleaseHandleLocked(p, len);
    }
    if (group == ADS_IGRP_SYMBOL_HANDLE_BY_NAME) {
        return kErrServiceNotSupported;
    }
    std::vector<uint8_t>* region = nullptr;
    size_t pos = 0;
    const uint32_t code = LocateLocked(group, offset, len, &region, &pos);
    if (code != 0) {
        return code;
    }
    std::copy(p, p + len, region->begin() + static_cast<std::ptrdiff_t>(pos));
    return 0;
}

std::vector<uint8_t> PlcSimulator::Impl::ReadWriteLocked(uint32_t group, uint32_t offset, uint32_t readLen, const uint8_t* p,
                                     uint32_t writeLen)
{
    if (group == ADS_IGRP_SYMBOL_HANDLE_BY_NAME) {
        return HandleByNameLocked(p, writeLen, readLen);
    }
    if (group == ADS_IGRP_FILE_OPEN || group == ADS_IGRP_FILE_CLOSE) {
        return ReadResult(kErrServiceNotSupported);
    }
    if (symbolInfo && group == ADS_IGRP_SYMBOL_INFO_BY_NAME) {
        return SymbolInfoByNameLocked(p, writeLen, readLen);
    }
    if (writeLen > 0 || group == ADS_IGRP_SYMBOL_RELEASE_HANDLE) {
        const uint32_t code = WriteLocked(group, offset, p, writeLen);
        if (code != 0 || group == ADS_IGRP_SYMBOL_RELEASE_HANDLE) {
            return ReadResult(code);
        }
    }
    if (readLen == 0) {
        return ReadResult(0);
    }
    return ReadLocked(group, offset, readLen);
}

void PlcSimulator::SetState(uint16_t adsState, uint16_t deviceState)
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->adsState = adsState;
    impl->deviceState = deviceState;
}

uint16_t PlcSimulator::AdsState() const
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    return impl->adsState;
}

uint16_t PlcSimulator::DeviceState() const
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    return impl->deviceState;
}

void PlcSimulator::SetDeviceInfo(const std::string& name, AdsVersion version)
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->deviceName = name;
    impl->version = version;
}

void PlcSimulator::SetMemory(uint32_t group, uint32_t offset, const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->memory[group][offset] = bytes;
}

std::vector<uint8_t> PlcSimulator::GetMemory(uint32_t group, uint32_t offset, size_t length) const
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    std::vector<uint8_t>* region = nullptr;
    size_t pos = 0;
    if (impl->LocateLocked(group, offset, 0, &region, &pos) != 0) {
        return {};
    }
    const size_t n = std::min(length, region->size() - pos);
    return std::vector<uint8_t>(region->begin() + static_cast<std::ptrdiff_t>(pos),
                                region->begin() + static_cast<std::ptrdiff_t>(pos + n));
}

void PlcSimulator::SetRequestHook(RequestHook hook)
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->hook = std::move(hook);
}

} // namespace plcsim
