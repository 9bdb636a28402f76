#include "AdsSum.h"

#include "AdsRequests.h"
#include "AmsConnection.h"
#include "AmsRouter.h"
#include "LateGrants.h"
#include "LittleEndian.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <new>

namespace plc::ads {

namespace {
constexpr size_t SUM_READ_WRITE_HEADER = 16;
constexpr size_t SUM_WRITE_HEADER = 12;
constexpr size_t SUM_RESULT_SIZE = 4;
constexpr size_t SUM_READ_WRITE_RESULT_SIZE = 8;
constexpr size_t SUM_GRANT_SIZE = 8;
// A whole request beyond this is not sent: no target takes it and the reply buffer would follow it.
constexpr uint64_t SUM_MAX_REQUEST_BYTES = 4u * 1024u * 1024u - 64u;

size_t ChunkEnd(size_t first, size_t total)
{
    return first + std::min(SUM_MAX_SUB_REQUESTS, total - first);
}

template <typename T>
uint32_t Length(const T& bytes)
{
    return static_cast<uint32_t>(bytes.size());
}

// One chunk as a ReadWrite on the sum group; the reply's exact size is left to the decoder.
int32_t SendChunk(int32_t port, const AmsAddr* pAddr, uint32_t group, size_t count, const std::vector<uint8_t>& write,
                  uint64_t readLength, std::vector<uint8_t>& reply)
{
    if (readLength > SUM_MAX_REQUEST_BYTES || write.size() > SUM_MAX_REQUEST_BYTES) {
        return ADS_ERR_NO_MEMORY;
    }
    reply.assign(static_cast<size_t>(readLength), 0);
    uint32_t bytesRead = 0;
    const int32_t status =
        AdsSyncReadWriteReqEx2(port, pAddr, group, static_cast<uint32_t>(count), Length(reply), reply.data(),
                               Length(write), write.data(), &bytesRead);
    reply.resize(std::min<size_t>(bytesRead, reply.size()));
    return status;
}

template <typename Request>
int32_t NoMemoryAsCode(Request&& request)
{
    try {
        return request();
    } catch (const std::bad_alloc&) {
        return ADS_ERR_NO_MEMORY;
    }
}
}

std::vector<uint8_t> EncodeSumReadWrite(const std::vector<SumReadWriteRequest>& subs, size_t first, size_t count)
{
    size_t size = count * SUM_READ_WRITE_HEADER;
    for (size_t i = first; i < first + count; ++i) {
        size += subs[i].write.size();
    }
    std::vector<uint8_t> out(size);
    le::Writer w(out.data());
    for (size_t i = first; i < first + count; ++i) {
        w.Put(subs[i].group).Put(subs[i].offset).Put(subs[i].readLength).Put(Length(subs[i].write));
    }
    for (size_t i = first; i < first + count; ++i) {
        w.PutBytes(subs[i].write.data(), subs[i].write.size());
    }
    return out;
}

std::vector<uint8_t> EncodeSumWrite(const std::vector<SumWriteRequest>& subs, size_t first, size_t count)
{
    size_t size = count * SUM_WRITE_HEADER;
    for (size_t i = first; i < first + count; ++i) {
        size += subs[i].data.size();
    }
    std::vector<uint8_t> out(size);
    le::Writer w(out.data());
    for (size_t i = first; i < first + count; ++i) {
        w.Put(subs[i].group).Put(subs[i].offset).Put(Length(subs[i].data));
    }
    for (size_t i = first; i < first + count; ++i) {
        w.PutBytes(subs[i].data.data(), subs[i].data.size());
    }
    return out;
}

std::vector<uint8_t> EncodeSumAddNotification(const std::vector<SumNotificationRequest>& subs, size_t first,
                                              size_t count)
{
    std::vector<uint8_t> out(count * SUM_NOTIFICATION_REQUEST_SIZE, 0);
    for (size_t i = 0; i < count; ++i) {
        const SumNotificationRequest& s = subs[first + i];
        le::Writer(out.data() + i * SUM_NOTIFICATION_REQUEST_SIZE)
            .Put(s.group)
            .Put(s.offset)
            .Put(s.attributes.watchedLength)
            .Put(s.attributes.transmissionMode)
            .Put(s.attributes.maximumDelay)
            .Put(s.attributes.samplingPeriod); // the 16 reserved bytes stay zero
    }
    return out;
}

std::vector<uint8_t> EncodeSumDelNotification(const std::vector<uint32_t>& handles, size_t first, size_t count)
{
    std::vector<uint8_t> out(count * SUM_RESULT_SIZE);
    le::Writer w(out.data());
    for (size_t i = first; i < first + count; ++i) {
        w.Put(handles[i]);
    }
    return out;
}

int32_t DecodeSumResults(const uint8_t* data, size_t size, size_t n, std::vector<int32_t>& out)
{
    if (!data || n == 0 || size / SUM_RESULT_SIZE != n || size % SUM_RESULT_SIZE != 0) {
        return ADS_ERR_INVALID_RESPONSE;
    }
    le::Reader r(data, size);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(r.Get<int32_t>());
    }
    return ADS_OK;
}

int32_t DecodeSumRead(const uint8_t* data, size_t size, const std::vector<uint32_t>& readLengths,
                      std::vector<SumReadWriteResult>& out)
{
    const size_t n = readLengths.size();
    uint64_t expected = uint64_t{n} * SUM_RESULT_SIZE;
    for (const uint32_t length : readLengths) {
        expected += length;
    }
    if (!data || n == 0 || expected != size) {
        return ADS_ERR_INVALID_RESPONSE;
    }
    le::Reader results(data, n * SUM_RESULT_SIZE);
    le::Reader areas(data + n * SUM_RESULT_SIZE, size - n * SUM_RESULT_SIZE);
    std::vector<SumReadWriteResult> decoded(n);
    for (size_t i = 0; i < n; ++i) {
        decoded[i].result = results.Get<int32_t>();
        decoded[i].data.assign(areas.Position(), areas.Position() + readLengths[i]);
        areas.Skip(readLengths[i]);
    }
    out.insert(out.end(), std::make_move_iterator(decoded.begin()), std::make_move_iterator(decoded.end()));
    return ADS_OK;
}

int32_t DecodeSumReadWrite(const uint8_t* data, size_t size, const std::vector<uint32_t>& readLengths,
                           std::vector<SumReadWriteResult>& out)
{
    const size_t n = readLengths.size();
    if (!data || n == 0 || size < n * SUM_READ_WRITE_RESULT_SIZE) {
        return ADS_ERR_INVALID_RESPONSE;
    }
    le::Reader heads(data, n * SUM_READ_WRITE_RESULT_SIZE);
    std::vector<SumReadWriteResult> decoded(n);
    std::vector<uint32_t> returned(n);
    uint64_t expected = uint64_t{n} * SUM_READ_WRITE_RESULT_SIZE;
    for (size_t i = 0; i < n; ++i) {
        decoded[i].result = heads.Get<int32_t>();
        returned[i] = heads.Get<uint32_t>();
        if (returned[i] > readLengths[i]) {
            return ADS_ERR_INVALID_RESPONSE;
        }
        expected += returned[i];
    }
    if (expected != size) {
        return ADS_ERR_INVALID_RESPONSE;
    }
    le::Reader areas(data + n * SUM_READ_WRITE_RESULT_SIZE, size - n * SUM_READ_WRITE_RESULT_SIZE);
    for (size_t i = 0; i < n; ++i) {
        decoded[i].data.assign(areas.Position(), areas.Position() + returned[i]);
        areas.Skip(returned[i]);
    }
    out.insert(out.end(), std::make_move_iterator(decoded.begin()), std::make_move_iterator(decoded.end()));
    return ADS_OK;
}

int32_t DecodeSumAddNotification(const uint8_t* data, size_t size, size_t n, std::vector<SumGrant>& out)
{
    if (!data || n == 0 || size / SUM_GRANT_SIZE != n || size % SUM_GRANT_SIZE != 0) {
        return ADS_ERR_INVALID_RESPONSE;
    }
    le::Reader r(data, size);
    std::vector<SumGrant> decoded(n);
    std::vector<uint32_t> granted;
    for (SumGrant& grant : decoded) {
        grant.result = r.Get<int32_t>();
        grant.handle = r.Get<uint32_t>();
        if (grant.result == ADS_OK && grant.handle == 0) {
            grant.result = ADS_ERR_INVALID_RESPONSE;
        } else if (grant.result == ADS_OK) {
            granted.push_back(grant.handle);
        }
    }
    // One handle granted twice could not tell its samples apart: the reply is not to be trusted.
    std::sort(granted.begin(), granted.end());
    if (std::adjacent_find(granted.begin(), granted.end()) != granted.end()) {
        return ADS_ERR_INVALID_RESPONSE;
    }
    out.insert(out.end(), decoded.begin(), decoded.end());
    return ADS_OK;
}

int32_t SumReadWrite(int32_t port, const AmsAddr* pAddr, const std::vector<SumReadWriteRequest>& subs,
                     std::vector<SumReadWriteResult>* results)
{
    if (!results) {
        return ADS_ERR_INVALID_PARAMETER;
    }
    return NoMemoryAsCode([&] {
        for (size_t first = 0; first < subs.size(); first = ChunkEnd(first, subs.size())) {
            const size_t count = ChunkEnd(first, subs.size()) - first;
            std::vector<uint32_t> readLengths;
            uint64_t readLength = uint64_t{count} * SUM_READ_WRITE_RESULT_SIZE;
            for (size_t i = first; i < first + count; ++i) {
                readLengths.push_back(subs[i].readLength);
                readLength += subs[i].readLength;
            }
            std::vector<uint8_t> reply;
            const int32_t status = SendChunk(port, pAddr, ADS_IGRP_SUM_READ_WRITE, count,
                                             EncodeSumReadWrite(subs, first, count), readLength, reply);
            if (status) {
                return status;
            }
            if (const int32_t invalid = DecodeSumReadWrite(reply.data(), reply.size(), readLengths, *results)) {
                return invalid;
            }
        }
        return int32_t{ADS_OK};
    });
}

int32_t SumWrite(int32_t port, const AmsAddr* pAddr, const std::vector<SumWriteRequest>& subs,
                 std::vector<int32_t>* results)
{
    if (!results) {
        return ADS_ERR_INVALID_PARAMETER;
    }
    return NoMemoryAsCode([&] {
        for (size_t first = 0; first < subs.size(); first = ChunkEnd(first, subs.size())) {
            const size_t count = ChunkEnd(first, subs.size()) - first;
            std::vector<uint8_t> reply;
            const int32_t status = SendChunk(port, pAddr, ADS_IGRP_SUM_WRITE, count, EncodeSumWrite(subs, first, count),
                                             uint64_t{count} * SUM_RESULT_SIZE, reply);
            if (status) {
                return status;
            }
            if (const int32_t invalid = DecodeSumResults(reply.data(), reply.size(), count, *results)) {
                return invalid;
            }
        }
        return int32_t{ADS_OK};
    });
}

int32_t SumAddDeviceNotifications(int32_t port, const AmsAddr* pAddr, const std::vector<SumNotificationRequest>& subs,
                                  std::vector<SumGrant>* grants)
{
    if (port <= 0 || port > std::numeric_limits<uint16_t>::max()) {
        return ADS_ERR_PORT_NOT_OPEN;
    }
    if (!pAddr) {
        return ADS_ERR_NO_AMS_ADDRESS;
    }
    if (!grants) {
        return ADS_ERR_INVALID_PARAMETER;
    }
    for (const SumNotificationRequest& s : subs) {
        if (!s.callback) {
            return ADS_ERR_INVALID_PARAMETER;
        }
    }
    return NoMemoryAsCode([&] {
        const auto localPort = static_cast<uint16_t>(port);
        for (size_t first = 0; first < subs.size(); first = ChunkEnd(first, subs.size())) {
            const size_t count = ChunkEnd(first, subs.size()) - first;
            const std::vector<uint8_t> write = EncodeSumAddNotification(subs, first, count);
            std::vector<uint8_t> reply(count * SUM_GRANT_SIZE);
            uint32_t bytesRead = 0;
            AmsRequest request{*pAddr, localPort, ADS_CMD_READ_WRITE, 16 + write.size(), Length(reply),
                               reply.data(), &bytesRead};
            request.frame.prepend(write.data(), write.size())
                .prepend<uint32_t>(Length(write))
                .prepend<uint32_t>(Length(reply))
                .prepend<uint32_t>(static_cast<uint32_t>(count))
                .prepend<uint32_t>(ADS_IGRP_SUM_ADD_NOTIFICATION);
            std::vector<std::shared_ptr<Notification>> notifications;
            for (size_t i = first; i < first + count; ++i) {
                notifications.push_back(std::make_shared<Notification>(
                    subs[i].callback, subs[i].userValue, subs[i].attributes.watchedLength, *pAddr, localPort));
            }
            std::vector<SumGrant> chunk;
            std::vector<uint32_t> kept;
            const int32_t status = GetRouter().AddNotifications(
                request, notifications,
                [&](std::vector<uint32_t>& handles) {
                    if (const int32_t invalid = DecodeSumAddNotification(reply.data(), bytesRead, count, chunk)) {
                        return invalid;
                    }
                    for (const SumGrant& grant : chunk) {
                        handles.push_back(grant.result == ADS_OK ? grant.handle : 0);
                    }
                    return int32_t{ADS_OK};
                },
                kept);
            if (status) {
                return status;
            }
            for (size_t i = 0; i < chunk.size(); ++i) {
                if (chunk[i].result == ADS_OK && kept[i] == 0) {
                    chunk[i].result = ADS_ERR_INVALID_RESPONSE; // granted again: given up
                }
            }
            grants->insert(grants->end(), chunk.begin(), chunk.end());
        }
        return int32_t{ADS_OK};
    });
}

int32_t SumDelDeviceNotifications(int32_t port, const AmsAddr* pAddr, const std::vector<uint32_t>& handles,
                                  std::vector<int32_t>* results)
{
    if (port <= 0 || port > std::numeric_limits<uint16_t>::max()) {
        return ADS_ERR_PORT_NOT_OPEN;
    }
    if (!pAddr) {
        return ADS_ERR_NO_AMS_ADDRESS;
    }
    if (!results) {
        return ADS_ERR_INVALID_PARAMETER;
    }
    const auto localPort = static_cast<uint16_t>(port);
    return NoMemoryAsCode([&] {
        // A handle the port no longer holds is not sent: the target may have granted it to
        // someone else since.
        std::vector<uint32_t> held;
        for (const uint32_t handle : handles) {
            if (GetRouter().HoldsNotification(localPort, *pAddr, handle)) {
                held.push_back(handle);
            }
        }
        std::vector<int32_t> answered;
        int32_t status = ADS_OK;
        for (size_t first = 0; first < held.size() && status == ADS_OK; first = ChunkEnd(first, held.size())) {
            const size_t count = ChunkEnd(first, held.size()) - first;
            std::vector<uint8_t> reply;
            status = SendChunk(port, pAddr, ADS_IGRP_SUM_DEL_NOTIFICATION, count,
                               EncodeSumDelNotification(held, first, count), uint64_t{count} * SUM_RESULT_SIZE, reply);
            if (status == ADS_OK) {
                status = DecodeSumResults(reply.data(), reply.size(), count, answered);
            }
            if (first == 0 && SumRefused(status)) {
                return status; // nothing deleted: the caller may still delete them one by one
            }
        }
        // Answered ones are gone on the target; the others are deleted without waiting, so
        // that they stop streaming once the target answers again. Nobody waits for their samples.
        GrantReleases unanswered;
        for (size_t i = 0; i < held.size(); ++i) {
            if (i < answered.size()) {
                GetRouter().DropNotification(localPort, *pAddr, held[i]);
            } else {
                unanswered.notifications.push_back(held[i]);
            }
        }
        GetRouter().ReleaseUnawaited(localPort, *pAddr, unanswered);
        size_t next = 0;
        for (const uint32_t handle : handles) {
            const bool sent = next < held.size() && held[next] == handle;
            results->push_back(!sent ? int32_t{ADS_ERR_NOTIFICATION_NOT_FOUND}
                                     : next < answered.size() ? answered[next] : status);
            next += sent ? 1 : 0;
        }
        return status;
    });
}

bool SumRefused(int32_t code)
{
    return code == ADSERR_DEVICE_SRVNOTSUPP || code == ADSERR_DEVICE_INVALIDGRP || code == ADS_ERR_INVALID_SIZE ||
           code == ADS_ERR_INVALID_RESPONSE;
}

} // namespace plc::ads
