#include "LateGrants.h"

#include "AdsSum.h"
#include "LittleEndian.h"

#include <algorithm>

namespace plc::ads {

namespace {
constexpr size_t READ_WRITE_HEAD = 16;  // index group, index offset, read length, write length
constexpr size_t SUB_READ_WRITE_HEAD = 16; // the same per sub-request of a sum
constexpr size_t HANDLE_SIZE = sizeof(uint32_t);
}

std::optional<GrantingRequest> GrantingRequestOf(uint16_t cmdId, const uint8_t* payload, size_t size)
{
    if (cmdId != ADS_CMD_READ_WRITE || !payload || size < READ_WRITE_HEAD) {
        return std::nullopt;
    }
    le::Reader head(payload, READ_WRITE_HEAD);
    const uint32_t group = head.Get<uint32_t>();
    const uint32_t offset = head.Get<uint32_t>();
    const uint32_t readLength = head.Get<uint32_t>();
    if (group == ADS_IGRP_SYMBOL_HANDLE_BY_NAME && readLength >= HANDLE_SIZE) {
        return GrantingRequest{GrantingRequest::Kind::SymbolHandle, 1};
    }
    if (offset == 0 || offset > SUM_MAX_SUB_REQUESTS) {
        return std::nullopt;
    }
    if (group == ADS_IGRP_SUM_ADD_NOTIFICATION) {
        return GrantingRequest{GrantingRequest::Kind::SumNotifications, offset};
    }
    if (group != ADS_IGRP_SUM_READ_WRITE || size - READ_WRITE_HEAD < size_t{offset} * SUB_READ_WRITE_HEAD) {
        return std::nullopt;
    }
    // Only sums made of handles by name: those are the ones whose replies carry handles.
    le::Reader subs(payload + READ_WRITE_HEAD, size_t{offset} * SUB_READ_WRITE_HEAD);
    for (uint32_t i = 0; i < offset; ++i) {
        const uint32_t subGroup = subs.Get<uint32_t>();
        subs.Get<uint32_t>();
        const uint32_t subRead = subs.Get<uint32_t>();
        subs.Get<uint32_t>();
        if (subGroup != ADS_IGRP_SYMBOL_HANDLE_BY_NAME || subRead != HANDLE_SIZE) {
            return std::nullopt;
        }
    }
    return GrantingRequest{GrantingRequest::Kind::SumSymbolHandles, offset};
}

bool GrantsUsable(const GrantingRequest& request, uint32_t result, const uint8_t* data, size_t size)
{
    if (result != 0) {
        return true; // refused as a whole: nothing granted
    }
    switch (request.kind) {
    case GrantingRequest::Kind::SymbolHandle:
        return true; // its requester takes exactly one handle or refuses the reply
    case GrantingRequest::Kind::SumSymbolHandles: {
        std::vector<SumReadWriteResult> decoded;
        return DecodeSumReadWrite(data, size, std::vector<uint32_t>(request.count, HANDLE_SIZE), decoded) == ADS_OK;
    }
    case GrantingRequest::Kind::SumNotifications: {
        std::vector<SumGrant> decoded;
        return DecodeSumAddNotification(data, size, request.count, decoded) == ADS_OK;
    }
    }
    return false;
}

GrantReleases GrantsIn(const GrantingRequest& request, uint32_t result, const uint8_t* data, size_t size)
{
    GrantReleases found;
    if (result != 0 || !data) {
        return found;
    }
    switch (request.kind) {
    case GrantingRequest::Kind::SymbolHandle:
        if (size >= HANDLE_SIZE && le::Read<uint32_t>(data) != 0) {
            found.symbolHandles.push_back(le::Read<uint32_t>(data));
        }
        break;
    case GrantingRequest::Kind::SumSymbolHandles: {
        // n x {result, returned length}, then the returned data back to back.
        const size_t heads = size_t{request.count} * 2 * sizeof(uint32_t);
        if (size < heads) {
            break;
        }
        le::Reader r(data, heads);
        size_t area = heads;
        for (uint32_t i = 0; i < request.count; ++i) {
            const uint32_t code = r.Get<uint32_t>();
            const uint32_t length = r.Get<uint32_t>();
            if (length > size - area) {
                break; // the rest cannot be told apart
            }
            if (code == 0 && length == HANDLE_SIZE && le::Read<uint32_t>(data + area) != 0) {
                found.symbolHandles.push_back(le::Read<uint32_t>(data + area));
            }
            area += length;
        }
        break;
    }
    case GrantingRequest::Kind::SumNotifications: {
        const size_t pairs = std::min<size_t>(request.count, size / (2 * sizeof(uint32_t)));
        le::Reader r(data, pairs * 2 * sizeof(uint32_t));
        for (size_t i = 0; i < pairs; ++i) {
            const uint32_t code = r.Get<uint32_t>();
            const uint32_t handle = r.Get<uint32_t>();
            if (code == 0 && handle != 0) {
                found.notifications.push_back(handle);
            }
        }
        break;
    }
    }
    return found;
}

size_t GrantBytes(const GrantingRequest& request)
{
    switch (request.kind) {
    case GrantingRequest::Kind::SymbolHandle:
        return HANDLE_SIZE;
    case GrantingRequest::Kind::SumSymbolHandles:
        return size_t{request.count} * (2 * sizeof(uint32_t) + HANDLE_SIZE);
    case GrantingRequest::Kind::SumNotifications:
        return size_t{request.count} * 2 * sizeof(uint32_t);
    }
    return 0;
}

void LateGrants::Note(uint16_t cmdId, const Key& key, const uint8_t* payload, size_t size, uint32_t invokeId)
{
    const std::optional<GrantingRequest> request = GrantingRequestOf(cmdId, payload, size);
    if (!request) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (noted[next].invokeId == 0) {
        ++count;
    }
    noted[next] = Noted{key, invokeId, *request};
    next = (next + 1) % NOTED;
}

std::optional<GrantingRequest> LateGrants::Take(const AoEHeader& reply)
{
    if (count.load() == 0 || reply.invokeId == 0 || reply.cmdId != ADS_CMD_READ_WRITE) {
        return std::nullopt;
    }
    const Key key(reply.targetPort, reply.Source());
    std::lock_guard<std::mutex> lock(mutex);
    for (Noted& entry : noted) {
        if (entry.invokeId == reply.invokeId && entry.key == key) {
            const GrantingRequest request = entry.request;
            entry = Noted();
            --count;
            return request;
        }
    }
    return std::nullopt;
}

void LateGrants::NoteUnawaited(uint16_t port, uint32_t invokeId)
{
    std::lock_guard<std::mutex> lock(mutex);
    // The order keeps ids already answered too; bounding it bounds the record.
    while (unawaitedOrder.size() >= UNAWAITED) {
        unawaited.erase(unawaitedOrder.front());
        unawaitedOrder.pop_front();
    }
    if (unawaited.emplace(invokeId, port).second) {
        unawaitedOrder.push_back(invokeId);
    }
    unawaitedCount = unawaited.size();
}

bool LateGrants::TakeUnawaited(const AoEHeader& reply)
{
    if (unawaitedCount.load() == 0 || !(reply.stateFlags & AoEHeader::RESPONSE_FLAG)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = unawaited.find(reply.invokeId);
    if (it == unawaited.end() || it->second != reply.targetPort) {
        return false;
    }
    unawaited.erase(it);
    unawaitedCount = unawaited.size();
    return true;
}

} // namespace plc::ads
