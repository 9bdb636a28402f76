// The connection's part in releasing grants nobody can keep: replies that come too late or
// cannot be used have their grants released, and releases go out without a waiter, their
// answers expected and dropped quietly.
#include "AmsConnection.h"

#include "LateGrants.h"
#include "LittleEndian.h"
#include "Log.h"

#include <algorithm>
#include <new>

using namespace plc::ads;

void AmsConnection::HandleUnmatchedReply(const AoEHeader& header, size_t packetData)
{
    ++unmatchedReplies;
    constexpr size_t GRANT = 2 * sizeof(uint32_t); // result and handle
    const bool answer = (header.stateFlags & AoEHeader::RESPONSE_FLAG) && header.errorCode == 0;
    if (answer) {
        if (const std::optional<GrantingRequest> granting = lateGrants.Take(header)) {
            ReleaseGrantsOfPacket(header, *granting, packetData, {});
            return;
        }
    }
    if (!answer || header.cmdId != ADS_CMD_ADD_DEVICE_NOTIFICATION || header.length < GRANT) {
        ReceiveJunk(packetData);
        return;
    }
    uint8_t bytes[GRANT];
    Receive(bytes, sizeof(bytes), static_cast<timeval*>(nullptr));
    ReceiveJunk(packetData - sizeof(bytes));
    const uint32_t result = le::Read<uint32_t>(bytes);
    const uint32_t handle = le::Read<uint32_t>(bytes + sizeof(uint32_t));
    if (result == 0 && handle != 0) {
        GrantReleases late;
        late.notifications.push_back(handle);
        ReleaseGrants(header, std::move(late));
    }
}

void AmsConnection::ReleaseGrantsOfPacket(const AoEHeader& header, const GrantingRequest& granting, size_t left,
                                          std::vector<uint8_t> head)
{
    try {
        const size_t cap = std::min<size_t>(header.length, AoEReadResponseHeader::SIZE + GrantBytes(granting));
        const size_t wanted = std::min(left, cap > head.size() ? cap - head.size() : 0);
        const size_t before = head.size();
        head.resize(before + wanted);
        Receive(head.data() + before, wanted, static_cast<timeval*>(nullptr));
        ReceiveJunk(left - wanted);
        if (head.size() >= AoEReadResponseHeader::SIZE) {
            const uint32_t result = AoEReadResponseHeader::Decode(head.data()).result;
            ReleaseGrants(header, GrantsIn(granting, result, head.data() + AoEReadResponseHeader::SIZE,
                                           head.size() - AoEReadResponseHeader::SIZE));
        }
    } catch (const std::bad_alloc&) {
        LOG_ERROR("no memory to release what a reply nobody waits for granted");
        ReceiveJunk(left);
    }
}

void AmsConnection::ReleaseGrants(const AoEHeader& reply, GrantReleases releases)
{
    auto& notifications = releases.notifications;
    notifications.erase(std::remove_if(notifications.begin(), notifications.end(),
                                       [&](uint32_t handle) { return IsLiveGrant(reply, handle); }),
                        notifications.end());
    if (releases.Empty()) {
        return;
    }
    LOG_WARN("releasing " << notifications.size() << " notifications and " << releases.symbolHandles.size()
                          << " symbol handles granted to a reply nobody could use");
    SendReleases(reply.targetPort, reply.Source(), reply.Target(), releases);
}

bool AmsConnection::IsLiveGrant(const AoEHeader& reply, uint32_t handle)
{
    const DispatcherKey key(reply.targetPort, reply.Source());
    for (const Grant& grant : recentGrants) {
        if (grant.handle == handle && grant.key == key) {
            return true;
        }
    }
    const auto dispatcher = DispatcherListGet(key);
    return dispatcher && dispatcher->Find(handle);
}

void AmsConnection::RememberGrant(const AmsRequest& request)
{
    if (request.cmdId != ADS_CMD_ADD_DEVICE_NOTIFICATION || !request.buffer || request.bufferLength < sizeof(uint32_t)) {
        return;
    }
    const uint32_t handle = le::Read<uint32_t>(static_cast<const uint8_t*>(request.buffer));
    recentGrants[nextGrant] = Grant{DispatcherKey(request.port, request.targetAddr), handle};
    nextGrant = (nextGrant + 1) % RECENT_GRANTS;
}

int32_t AmsConnection::SendReleases(uint16_t localPort, const AmsAddr& target, const AmsAddr& srcAddr,
                                    const GrantReleases& releases)
{
    if (lost.load() || aborted.load()) {
        return ADS_ERR_SYNC_TIMEOUT;
    }
    std::vector<uint8_t> batch;
    const auto add = [&](uint16_t cmdId, const std::vector<uint8_t>& payload) {
        AmsRequest request(target, localPort, cmdId, payload.size());
        request.frame.prepend(payload.data(), payload.size());
        const uint32_t invoke = GetInvokeId();
        lateGrants.NoteUnawaited(localPort, invoke);
        EncodeHeaders(request, srcAddr, invoke);
        batch.insert(batch.end(), request.frame.data(), request.frame.data() + request.frame.size());
    };
    try {
        std::vector<uint8_t> handle(sizeof(uint32_t));
        for (const uint32_t h : releases.notifications) {
            le::Write<uint32_t>(handle.data(), h);
            add(ADS_CMD_DEL_DEVICE_NOTIFICATION, handle);
        }
        // A symbol handle is released by writing it to its index group, at offset 0.
        std::vector<uint8_t> release(3 * sizeof(uint32_t) + sizeof(uint32_t));
        for (const uint32_t h : releases.symbolHandles) {
            le::Writer(release.data()).Put<uint32_t>(ADS_IGRP_SYMBOL_RELEASE_HANDLE).Put<uint32_t>(0).Put<uint32_t>(
                sizeof(uint32_t)).Put<uint32_t>(h);
            add(ADS_CMD_WRITE, release);
        }
    } catch (const std::bad_alloc&) {
        LOG_ERROR("no memory to release " << releases.notifications.size() << " notifications and "
                                          << releases.symbolHandles.size() << " symbol handles");
        return ADS_ERR_NO_MEMORY;
    }
    return WriteUnawaited(batch.data(), batch.size());
}

int32_t AmsConnection::ReleaseUnawaited(uint16_t port, const AmsAddr& target, const GrantReleases& releases)
{
    if (releases.Empty()) {
        return 0;
    }
    AmsAddr srcAddr{AmsNetId(), 0};
    const int32_t status = router.GetLocalAddress(port, &srcAddr);
    return status ? status : SendReleases(port, target, srcAddr, releases);
}

