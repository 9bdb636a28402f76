#include "AmsConnection.h"

#include "AdsSum.h"
#include "LateGrants.h"
#include "LittleEndian.h"
#include "Log.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

using namespace plc::ads;
using Clock = std::chrono::steady_clock;

namespace {
constexpr size_t AMS_FRAME_OVERHEAD = AmsTcpHeader::SIZE + AoEHeader::SIZE;

// On 32-bit targets payload + headers could wrap to a tiny frame.
size_t FrameLength(size_t payloadLength)
{
    if (payloadLength > SIZE_MAX - AMS_FRAME_OVERHEAD) {
        throw std::bad_alloc();
    }
    return payloadLength + AMS_FRAME_OVERHEAD;
}

uint64_t NextConnectionId()
{
    static std::atomic<uint64_t> next{1};
    return next.fetch_add(1);
}

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// How long a connection may take to write requests nobody waits for.
constexpr auto UNAWAITED_WRITE_BOUND = std::chrono::milliseconds(1000);
// Batches one writer sends for others before the next requests take the write lock themselves.
constexpr int WRITER_ROUNDS = 8;
// What the request functions return for a frame that could not be written whole.
constexpr uint32_t NOT_WRITTEN = 0xFFFFFFFF;

}

AmsRequest::AmsRequest(const AmsAddr& targetAddr_, uint16_t port_, uint16_t cmdId_, size_t payloadLength,
                       uint32_t bufferLength_, void* buffer_, uint32_t* bytesRead_)
    : frame(FrameLength(payloadLength)),
      targetAddr(targetAddr_),
      port(port_),
      cmdId(cmdId_),
      bufferLength(bufferLength_),
      buffer(buffer_),
      bytesRead(bytesRead_)
{
}

// ---------------------------------------------------------------------------
// Reply slot

void AmsResponse::Notify(uint32_t code)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        // A peer's code with all bits set would read as "no result yet" and leave the waiter hanging.
        errorCode = code == NO_RESULT ? static_cast<uint32_t>(ADS_ERR_INVALID_RESPONSE) : code;
    }
    cv.notify_all();
}

void AmsResponse::FailSend(uint32_t invoke)
{
    if (!invokeId.compare_exchange_strong(invoke, 0)) {
        return; // answered or given up already
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        sendFailed = true;
    }
    cv.notify_all();
}

uint32_t AmsResponse::Wait()
{
    const auto isLost = [this] { return connectionLost && connectionLost->load(); };
    const auto lostCode = [this] { return lostResult ? lostResult->load() : uint32_t{ADS_ERR_SYNC_TIMEOUT}; };
    std::unique_lock<std::mutex> lock(mutex);
    const auto deadline = request.load()->deadline;
    cv.wait_until(lock, deadline, [&] { return invokeId.load() == 0 || isLost(); });
    if (invokeId.exchange(0) != 0) {
        return isLost() ? lostCode() : static_cast<uint32_t>(ADS_ERR_SYNC_TIMEOUT);
    }
    // The receive thread took the reply, or the writer failed to send the frame; either completes
    // the slot, unless the connection died meanwhile.
    cv.wait(lock, [&] { return errorCode != NO_RESULT || sendFailed || isLost(); });
    if (sendFailed) {
        return NOT_WRITTEN;
    }
    return errorCode != NO_RESULT ? errorCode : lostCode();
}

void AmsResponse::Release()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        errorCode = NO_RESULT;
        sendFailed = false;
    }
    request.store(nullptr);
}

// ---------------------------------------------------------------------------
// Sending side

AmsConnection::AmsConnection(Router& router_, const addrinfo* destination, std::chrono::milliseconds connectTimeout)
    : AmsConnection(router_, std::make_unique<TcpStream>(destination, connectTimeout))
{
}

AmsConnection::AmsConnection(Router& router_, std::unique_ptr<ByteStream> stream_)
    : router(router_), stream(std::move(stream_)), socket(*stream), localIp(socket.LocalIp()), id(NextConnectionId())
{
    lastActivityNs = NowNs();
    for (auto& slot : replySlots) {
        slot.connectionLost = &lost;
        slot.lostResult = &lostResult;
    }
    receiveThread = std::thread(&AmsConnection::TryRecv, this);
}

AmsConnection::~AmsConnection()
{
    socket.Shutdown();
    if (receiveThread.joinable()) {
        receiveThread.join();
    }
    // Dispatcher threads are joined outside the list's lock.
    decltype(dispatcherList) dispatchers;
    {
        std::lock_guard<std::recursive_mutex> lock(dispatcherListMutex);
        dispatchers.swap(dispatcherList);
    }
    dispatchers.clear();
}

void AmsConnection::Abort()
{
    aborted = true;
    socket.Shutdown();
}

bool AmsConnection::IsConnectedTo(const addrinfo* targetAddresses, const std::string& sharingKey) const
{
    return socket.IsConnectedTo(targetAddresses, sharingKey);
}

uint32_t AmsConnection::GetInvokeId()
{
    uint32_t id = invokeId.fetch_add(1);
    if (id == 0) {
        id = invokeId.fetch_add(1);
    }
    return id;
}

AmsResponse* AmsConnection::Reserve(AmsRequest* request, uint16_t port)
{
    const uint16_t index = static_cast<uint16_t>(port - ADS_PORT_BASE);
    if (index >= ADS_PORT_COUNT) {
        LOG_WARN("Port 0x" << std::hex << port << " is out of range");
        return nullptr;
    }
    AmsResponse& slot = replySlots[index];
    AmsRequest* owner = nullptr;
    if (!slot.request.compare_exchange_strong(owner, request)) {
        LOG_WARN("Port: " << port << " already in use as " << static_cast<const void*>(owner));
        return nullptr;
    }
    return &slot;
}

void AmsConnection::EncodeHeaders(AmsRequest& request, const AmsAddr& srcAddr, uint32_t invoke) const
{
    const size_t payloadLength = request.frame.size();
    AoEHeader header;
    header.targetNetId = request.targetAddr.amsNetId;
    header.targetPort = request.targetAddr.amsPort;
    header.sourceNetId = srcAddr.amsNetId;
    header.sourcePort = srcAddr.amsPort;
    header.cmdId = request.cmdId;
    header.stateFlags = AoEHeader::AMS_REQUEST;
    header.length = static_cast<uint32_t>(payloadLength);
    header.errorCode = 0;
    header.invokeId = invoke;
    uint8_t amsBytes[AoEHeader::SIZE];
    header.Encode(amsBytes);
    request.frame.prepend(amsBytes, sizeof(amsBytes));

    AmsTcpHeader tcpHeader;
    tcpHeader.length = static_cast<uint32_t>(request.frame.size());
    uint8_t tcpBytes[AmsTcpHeader::SIZE];
    tcpHeader.Encode(tcpBytes);
    request.frame.prepend(tcpBytes, sizeof(tcpBytes));
}

AmsResponse* AmsConnection::Write(AmsRequest& request, const AmsAddr& srcAddr)
{
    if (request.frame.size() > UINT32_MAX - AoEHeader::SIZE) {
        return nullptr;
    }
    const uint32_t invoke = GetInvokeId();
    lateGrants.Note(request.cmdId, LateGrants::Key(request.port, request.targetAddr), request.frame.data(),
                    request.frame.size(), invoke);
    EncodeHeaders(request, srcAddr, invoke);

    AmsResponse* slot = Reserve(&request, srcAddr.amsPort);
    if (!slot) {
        return nullptr;
    }
    // Published before sending, so that a fast reply finds it.
    slot->cmdId.store(request.cmdId);
    slot->invokeId.store(invoke);

    if (sendQueue.Leave(request.frame, SendQueue::Owner{slot, invoke})) {
        return slot;
    }
    // Bounded by the request's deadline: a peer that stops reading must not block the caller.
    size_t written = 0;
    bool tried = false;
    std::unique_lock<std::timed_mutex> lock(writeMutex, std::defer_lock);
    if (lock.try_lock_until(request.deadline)) {
        tried = true;
        sendQueue.Open();
        timeval timeout = TimeLeft(request.deadline);
        written = socket.write(request.frame, &timeout);
        SendLeftFrames(written == request.frame.size(), request.deadline);
        lock.unlock();
    }
    if (written == request.frame.size()) {
        return slot;
    }
    if (written != 0) {
        // Part of a frame is on the stream; nothing sent after it could be parsed by the peer.
        LOG_ERROR("frame written partially: " << written << " of " << request.frame.size() << " bytes");
        Abort();
    } else if (tried) {
        // The socket refused the frame: the connection is dead for every port.
        Abort();
    }
    if (slot->invokeId.exchange(0) == 0) {
        // A peer answered the unfinished request; the receive thread owns the slot until it completes it.
        slot->Wait();
    }
    slot->Release();
    return nullptr;
}

void AmsConnection::SendLeftFrames(bool healthy, Clock::time_point ownDeadline)
{
    for (int round = 1; sendQueue.Take(sendBatch, !healthy || round == WRITER_ROUNDS); ++round) {
        size_t written = 0;
        if (healthy) {
            // Bounded by the writer's own deadline: no caller waits out another's time-out.
            timeval timeout = TimeLeft(ownDeadline);
            written = socket.write(sendBatch.bytes.data(), sendBatch.bytes.size(), &timeout);
            if (written == sendBatch.bytes.size()) {
                continue;
            }
            healthy = false;
        }
        bool cutInside = written != 0;
        // A frame sent whole may be acted on: its request keeps waiting and ends at its deadline
        // or with the connection, never as unwritten.
        for (const SendQueue::Owner& owner : sendBatch.owners) {
            if (owner.end == written) {
                cutInside = false;
            } else if (owner.end > written) {
                owner.slot->FailSend(owner.invokeId);
            }
        }
        if (cutInside) {
            LOG_ERROR("frames written partially: " << written << " of " << sendBatch.bytes.size() << " bytes");
            Abort();
        }
    }
}

int32_t AmsConnection::AdsRequest(AmsRequest& request, uint32_t timeoutMs)
{
    AmsAddr srcAddr{AmsNetId(), 0};
    const int32_t status = router.GetLocalAddress(request.port, &srcAddr);
    if (status) {
        return status;
    }
    if (lost.load()) {
        return static_cast<int32_t>(lostResult.load());
    }
    if (aborted.load()) {
        return ADS_ERR_SYNC_TIMEOUT;
    }
    const auto sentAt = Clock::now();
    request.deadline = sentAt + std::chrono::milliseconds(timeoutMs);
    AmsResponse* slot = Write(request, srcAddr);
    if (!slot) {
        return -1;
    }
    const uint32_t result = slot->Wait();
    slot->Release();
    if (result == ADS_ERR_SYNC_TIMEOUT && !lost.load()) {
        AbortIfSilentSince(sentAt, timeoutMs);
    }
    return static_cast<int32_t>(result);
}

// ---------------------------------------------------------------------------
// Liveness and losses

void AmsConnection::MarkActivity()
{
    lastActivityNs.store(NowNs(), std::memory_order_relaxed);
}

void AmsConnection::AbortIfSilentSince(Clock::time_point sentAt, uint32_t timeoutMs)
{
    const int64_t sent = std::chrono::duration_cast<std::chrono::nanoseconds>(sentAt.time_since_epoch()).count();
    // A reply or a sample for any port since the request went out shows the peer is alive:
    // then only the addressed port is silent, and the other users keep the connection.
    if (timeoutMs == 0 || lost.load() || lastActivityNs.load(std::memory_order_relaxed) >= sent) {
        return;
    }
    LOG_WARN("nothing received for " << timeoutMs << " ms, giving up the connection");
    Abort();
}

ConnectionCounters AmsConnection::Counters()
{
    ConnectionCounters counters;
    counters.ringFull = ringFull.load();
    counters.unmatchedReplies = unmatchedReplies.load();
    std::lock_guard<std::recursive_mutex> lock(dispatcherListMutex);
    for (const auto& entry : dispatcherList) {
        counters.unknownHandle += entry.second->unknownHandles.load();
        counters.sizeMismatch += entry.second->sizeMismatches.load();
    }
    return counters;
}

int32_t AmsConnection::WriteUnawaited(const uint8_t* data, size_t size)
{
    std::unique_lock<std::timed_mutex> lock(writeMutex, std::defer_lock);
    if (!lock.try_lock_for(UNAWAITED_WRITE_BOUND)) {
        return ADS_ERR_SYNC_TIMEOUT;
    }
    timeval timeout = TimeLeft(Clock::now() + UNAWAITED_WRITE_BOUND);
    const size_t written = socket.write(data, size, &timeout);
    if (written != size) {
        if (written != 0) {
            LOG_ERROR("frames nobody waits for written partially: " << written << " of " << size << " bytes");
        }
        Abort();
        return ADS_ERR_SYNC_TIMEOUT;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Notifications

std::shared_ptr<NotificationDispatcher> AmsConnection::DispatcherListGet(const DispatcherKey& key)
{
    std::lock_guard<std::recursive_mutex> lock(dispatcherListMutex);
    const auto it = dispatcherList.find(key);
    return it == dispatcherList.end() ? nullptr : it->second;
}

std::shared_ptr<NotificationDispatcher> AmsConnection::DispatcherListAdd(const DispatcherKey& key)
{
    if (auto existing = DispatcherListGet(key)) {
        return existing;
    }
    // Built outside the lock: it allocates its ring and starts a thread.
    // A port may hold the dispatcher longer than the router holds this connection.
    const std::weak_ptr<AmsConnection> self = weak_from_this();
    auto dispatcher = std::make_shared<NotificationDispatcher>([self, key](uint32_t handle, uint32_t timeoutMs) {
        const std::shared_ptr<AmsConnection> connection = self.lock();
        return connection ? connection->DeleteNotification(key.second, handle, timeoutMs, key.first)
                          : ADS_ERR_TARGET_NOT_FOUND;
    });
    std::lock_guard<std::recursive_mutex> lock(dispatcherListMutex);
    return dispatcherList.emplace(key, std::move(dispatcher)).first->second;
}

std::shared_ptr<NotificationDispatcher> AmsConnection::CreateNotifyMapping(uint32_t handle,
                                                                         std::shared_ptr<Notification> notification)
{
    auto dispatcher = DispatcherListAdd(notification->connection);
    notification->SetHandle(handle);
    dispatcher->Emplace(handle, std::move(notification));
    return dispatcher;
}

int32_t AmsConnection::DeleteNotification(const AmsAddr& target, uint32_t handle, uint32_t timeoutMs, uint16_t port)
{
    try {
        if (timeoutMs == 0) {
            GrantReleases release;
            release.notifications.push_back(handle);
            return ReleaseUnawaited(port, target, release);
        }
        AmsRequest request(target, port, ADS_CMD_DEL_DEVICE_NOTIFICATION, sizeof(handle));
        request.frame.prepend(handle);
        return AdsRequest(request, timeoutMs);
    } catch (const std::bad_alloc&) {
        return ADS_ERR_NO_MEMORY;
    }
}

void AmsConnection::ReceiveNotification(const AoEHeader& header)
{
    const uint64_t length = header.length;
    auto dispatcher = DispatcherListGet(DispatcherKey(header.targetPort, header.Source()));
    if (!dispatcher) {
        ReceiveJunk(header.length);
        LOG_WARN("No dispatcher found for notification");
        return;
    }
    RingBuffer& ring = dispatcher->ring;
    if (static_cast<uint64_t>(ring.BytesFree()) < length + 4 || !ring.Reserve(static_cast<size_t>(length + 4))) {
        ++ringFull;
        ReceiveJunk(header.length);
        LOG_WARN("port " << header.targetPort << " receive buffer was full");
        return;
    }
    uint8_t lengthBytes[4];
    le::Write<uint32_t>(lengthBytes, header.length);
    ring.Put(lengthBytes, sizeof(lengthBytes));
    // Straight from the socket into the ring: up to the end of its block, then from its start.
    size_t remaining = header.length;
    while (remaining) {
        const size_t chunk = std::min(remaining, ring.WriteChunk());
        if (chunk == 0) {
            // Cannot happen after the reservation; never spin on it.
            ReceiveJunk(remaining);
            break;
        }
        Receive(ring.WritePointer(), chunk, static_cast<timeval*>(nullptr));
        ring.CommitWrite(chunk);
        remaining -= chunk;
    }
    if (!queuedFrames.empty() && queuedFrames.back().first == dispatcher) {
        ++queuedFrames.back().second;
    } else {
        queuedFrames.emplace_back(std::move(dispatcher), 1);
    }
}

// ---------------------------------------------------------------------------
// Receive thread

void AmsConnection::TryRecv()
{
    try {
        Recv();
    } catch (const std::runtime_error& e) {
        LOG_INFO(e.what());
        if (!aborted.load()) {
            lostResult.store(ADS_ERR_CONNECTION_CLOSED);
        }
    } catch (const std::exception& e) {
        LOG_ERROR("receive thread failed: " << e.what());
    }
    WakeDispatchers();
    FailPendingRequests();
}

// From here on no reply can arrive: every waiter, now and later, gives up at once.
void AmsConnection::FailPendingRequests()
{
    lost.store(true);
    socket.Shutdown();
    for (auto& slot : replySlots) {
        // Taking the lock orders the flag before a waiter's next predicate check.
        { std::lock_guard<std::mutex> lock(slot.mutex); }
        slot.cv.notify_all();
    }
}

void AmsConnection::Recv()
{
    uint8_t bytes[AoEHeader::SIZE];
    while (localIp) {
        Receive(bytes, AmsTcpHeader::SIZE, static_cast<timeval*>(nullptr));
        MarkActivity();
        const AmsTcpHeader tcpHeader = AmsTcpHeader::Decode(bytes);
        if (tcpHeader.length < AoEHeader::SIZE) {
            LOG_WARN("Frame to short to be AoE");
            ReceiveJunk(tcpHeader.length);
            continue;
        }
        Receive(bytes, AoEHeader::SIZE, static_cast<timeval*>(nullptr));
        const AoEHeader header = AoEHeader::Decode(bytes);

        // Framing follows the AMS/TCP length: it says where the next packet starts. Data
        // beyond the AMS length is dropped after the packet is handled; an AMS length that
        // claims more than the packet carries makes the packet unusable.
        const size_t packetData = tcpHeader.length - AoEHeader::SIZE;
        if (header.length > packetData) {
            LOG_WARN("AMS length " << header.length << " exceeds AMS/TCP length " << tcpHeader.length);
            if (header.cmdId != ADS_CMD_DEVICE_NOTIFICATION && !lateGrants.TakeUnawaited(header)) {
                if (AmsResponse* slot = GetPending(header)) {
                    slot->Notify(ADS_ERR_INVALID_RESPONSE);
                }
                if (const std::optional<GrantingRequest> granting = lateGrants.Take(header)) {
                    ReleaseGrantsOfPacket(header, *granting, packetData, {});
                    continue;
                }
            }
            ReceiveJunk(packetData);
            continue;
        }
        const size_t excess = packetData - header.length;

        if (header.cmdId == ADS_CMD_DEVICE_NOTIFICATION) {
            ReceiveNotification(header);
            ReceiveJunk(excess);
            continue;
        }
        // The answer to a release nobody waits for: expected, and no loss.
        if (lateGrants.TakeUnawaited(header)) {
            ReceiveJunk(packetData);
            continue;
        }

        AmsResponse* slot = GetPending(header);
        if (!slot) {
            LOG_WARN("No response pending");
            HandleUnmatchedReply(header, packetData);
            continue;
        }
        if (header.errorCode == 0) {
            served.store(true, std::memory_order_relaxed);
        }
        switch (header.cmdId) {
        case ADS_CMD_READ:
        case ADS_CMD_READ_WRITE:
            ReceiveFrame<AoEReadResponseHeader>(slot, header, lateGrants.Take(header));
            break;
        case ADS_CMD_READ_DEVICE_INFO:
        case ADS_CMD_WRITE:
        case ADS_CMD_READ_STATE:
        case ADS_CMD_WRITE_CONTROL:
        case ADS_CMD_ADD_DEVICE_NOTIFICATION:
        case ADS_CMD_DEL_DEVICE_NOTIFICATION:
            ReceiveFrame<AoEResponseHeader>(slot, header, std::nullopt);
            break;
        default:
            LOG_WARN("Unkown AMS command id");
            slot->Notify(ADS_ERR_INVALID_RESPONSE);
            ReceiveJunk(header.length);
            break;
        }
        ReceiveJunk(excess);
    }
}

AmsResponse* AmsConnection::GetPending(const AoEHeader& reply)
{
    const uint32_t id = reply.invokeId;
    const uint16_t index = static_cast<uint16_t>(reply.targetPort - ADS_PORT_BASE);
    if (index >= ADS_PORT_COUNT) {
        LOG_WARN("Port 0x" << std::hex << reply.targetPort << " is out of range");
        return nullptr;
    }
    AmsResponse& slot = replySlots[index];
    uint32_t awaited = slot.invokeId.load();
    // Id 0 marks a slot nobody waits on; it must never match.
    if (id == 0 || id != awaited) {
        LOG_WARN("InvokeId mismatch: waiting for 0x" << std::hex << awaited << " received 0x" << id);
        return nullptr;
    }
    if (!(reply.stateFlags & AoEHeader::RESPONSE_FLAG) || reply.cmdId != slot.cmdId.load()) {
        // A request of the peer, or a reply to another command: never the waiter's answer.
        LOG_WARN("Not the awaited reply: command " << reply.cmdId << ", flags 0x" << std::hex << reply.stateFlags);
        return nullptr;
    }
    // The waiter may give up meanwhile; then the reply is nobody's.
    if (!slot.invokeId.compare_exchange_strong(awaited, 0)) {
        LOG_WARN("InvokeId mismatch: waiting for 0x" << std::hex << awaited << " received 0x" << id);
        return nullptr;
    }
    return &slot;
}

template <typename T>
void AmsConnection::ReceiveFrame(AmsResponse* response, const AoEHeader& header,
                                 const std::optional<GrantingRequest>& granting)
{
    const size_t frameLength = header.length;
    AmsRequest* const request = response->request.load();
    if (header.errorCode != 0) {
        // An AMS error: the command was not carried out, so nothing was granted.
        response->Notify(header.errorCode);
        ReceiveJunk(frameLength);
        return;
    }
    if (frameLength < T::SIZE) {
        LOG_WARN("Frame too short: " << frameLength << "<" << T::SIZE);
        response->Notify(ADS_ERR_INVALID_SIZE);
        ReceiveJunk(frameLength);
        return;
    }
    const uint64_t room = static_cast<uint64_t>(request->buffer ? request->bufferLength : 0) + T::SIZE;
    if (frameLength > room) {
        LOG_WARN("Frame too long: " << frameLength << ">" << room);
        response->Notify(ADS_ERR_INVALID_SIZE);
        if (granting) {
            ReleaseGrantsOfPacket(header, *granting, frameLength, {});
        } else {
            ReceiveJunk(frameLength);
        }
        return;
    }
    uint8_t headerBytes[T::SIZE];
    auto* const data = static_cast<uint8_t*>(request->buffer);
    const size_t dataLength = frameLength - T::SIZE;
    size_t received = 0;
    try {
        Receive(headerBytes, T::SIZE, request->deadline, received);
        Receive(data, dataLength, request->deadline, received);
    } catch (const Socket::TimeoutEx&) {
        LOG_WARN("InvokeId of response: " << header.invokeId << " timed out");
        std::vector<uint8_t> head;
        if (granting) {
            // What arrived so far is copied out: the requester may release its buffer once notified.
            head.assign(headerBytes, headerBytes + std::min(received, T::SIZE));
            if (received > T::SIZE) {
                head.insert(head.end(), data, data + (received - T::SIZE));
            }
        }
        response->Notify(ADS_ERR_SYNC_TIMEOUT);
        if (granting) {
            ReleaseGrantsOfPacket(header, *granting, frameLength - received, std::move(head));
        } else {
            // Only what is left of this packet, so the next one is read from its first byte.
            ReceiveJunk(frameLength - received);
        }
        return;
    }
    if (request->bytesRead) {
        *request->bytesRead = static_cast<uint32_t>(dataLength);
    }
    const uint32_t result = T::Decode(headerBytes).result;
    if (granting && !GrantsUsable(*granting, result, data, dataLength)) {
        // Grants nobody can tell apart must not be used, nor left granted.
        ReleaseGrants(header, GrantsIn(*granting, result, data, dataLength));
        response->Notify(ADS_ERR_INVALID_RESPONSE);
        return;
    }
    if (result == 0 && dataLength >= sizeof(uint32_t)) {
        RememberGrant(*request);
    }
    // Last touch of the request: the waiter may release it as soon as this returns.
    response->Notify(result);
}

void AmsConnection::Receive(void* buffer, size_t bytesToRead, timeval* timeout) const
{
    size_t received = 0;
    Receive(buffer, bytesToRead, timeout, received);
}

void AmsConnection::Receive(void* buffer, size_t bytesToRead, timeval* timeout, size_t& received) const
{
    auto* const target = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < bytesToRead) {
        const size_t buffered = readAheadEnd - readAheadBegin;
        if (buffered) {
            const size_t count = std::min(buffered, bytesToRead - done);
            std::memcpy(target + done, readAhead.get() + readAheadBegin, count);
            readAheadBegin += count;
            done += count;
            received += count;
        } else if (bytesToRead - done >= READ_AHEAD) {
            // Large data goes straight to its destination. 0 means an odd wake-up or a
            // transient failure, already logged: try again.
            WakeDispatchers();
            const size_t count = socket.read(target + done, bytesToRead - done, timeout);
            done += count;
            received += count;
        } else {
            FillReadAhead(timeout);
        }
    }
}

void AmsConnection::FillReadAhead(timeval* timeout) const
{
    WakeDispatchers();
    if (!readAhead) {
        readAhead.reset(new uint8_t[READ_AHEAD]);
    }
    readAheadBegin = 0;
    readAheadEnd = 0;
    readAheadEnd = socket.read(readAhead.get(), READ_AHEAD, timeout);
}

void AmsConnection::Receive(void* buffer, size_t bytesToRead, const Clock::time_point& deadline) const
{
    size_t received = 0;
    Receive(buffer, bytesToRead, deadline, received);
}

void AmsConnection::Receive(void* buffer, size_t bytesToRead, const Clock::time_point& deadline,
                            size_t& received) const
{
    const auto left = deadline - Clock::now();
    const int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
    if (us < 1) {
        throw Socket::TimeoutEx("deadline reached already!!!");
    }
    const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timeval timeout{};
    timeout.tv_sec = static_cast<decltype(timeout.tv_sec)>(ns / 1000000000);
    timeout.tv_usec = static_cast<decltype(timeout.tv_usec)>(us % 1000000);
    Receive(buffer, bytesToRead, &timeout, received);
}

void AmsConnection::WakeDispatchers() const
{
    for (auto& queued : queuedFrames) {
        queued.first->Notify(queued.second);
    }
    queuedFrames.clear();
}

void AmsConnection::ReceiveJunk(size_t bytesToRead) const
{
    while (bytesToRead) {
        if (readAheadBegin == readAheadEnd) {
            FillReadAhead(nullptr);
        }
        const size_t count = std::min(bytesToRead, readAheadEnd - readAheadBegin);
        readAheadBegin += count;
        bytesToRead -= count;
    }
}
