// One TCP connection to a remote AMS router, shared by all local ports and target
// NetIds behind it: request framing, reply slots and the receive thread.
#pragma once

#include "AdsDef.h"
#include "AmsHeader.h"
#include "ByteStream.h"
#include "ConnectionCounters.h"
#include "Frame.h"
#include "LateGrants.h"
#include "NotificationDispatcher.h"
#include "SendQueue.h"
#include "Sockets.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

struct AmsRequest {
    // The frame is sized for the payload plus both headers, so framing never reallocates.
    AmsRequest(const AmsAddr& targetAddr, uint16_t port, uint16_t cmdId, size_t payloadLength,
               uint32_t bufferLength = 0, void* buffer = nullptr, uint32_t* bytesRead = nullptr);

    Frame frame;
    const AmsAddr& targetAddr;
    uint16_t port;
    uint16_t cmdId;
    uint32_t bufferLength;
    void* buffer;
    uint32_t* bytesRead;
    std::chrono::steady_clock::time_point deadline;
};

// The reply slot of one local port on one connection.
struct AmsResponse {
    static constexpr uint32_t NO_RESULT = 0xFFFFFFFF;

    // Completes the slot with a result (receive thread).
    void Notify(uint32_t code);
    // Ends the request with invoke id `invoke`, if it still waits, as one whose frame was not written.
    void FailSend(uint32_t invoke);
    // Waits for the result or the request's deadline.
    uint32_t Wait();
    void Release();

    std::atomic<AmsRequest*> request{nullptr};
    std::atomic<uint32_t> invokeId{0};
    // Command of the request waiting here; stored before its invoke id is published.
    std::atomic<uint16_t> cmdId{0};
    std::mutex mutex;
    std::condition_variable cv;
    uint32_t errorCode = NO_RESULT;
    bool sendFailed = false;
    // Set once the connection can no longer deliver replies; waiters give up at once.
    const std::atomic<bool>* connectionLost = nullptr;
    // What a request still waiting then ends with.
    const std::atomic<uint32_t>* lostResult = nullptr;
};

struct Router {
    virtual ~Router() = default;
    virtual int32_t GetLocalAddress(uint16_t port, AmsAddr* addr) = 0;
};

// Always owned by a shared pointer: what it hands out (its dispatchers' delete functions)
// refers to it weakly, so nothing can call into a connection that is gone.
class AmsConnection : public std::enable_shared_from_this<AmsConnection> {
public:
    AmsConnection(Router& router, const addrinfo* destination,
                  std::chrono::milliseconds connectTimeout = std::chrono::milliseconds(5000));
    // Over a stream that is already connected (and, for the secure transport, authenticated).
    AmsConnection(Router& router, std::unique_ptr<ByteStream> stream);
    ~AmsConnection();
    AmsConnection(const AmsConnection&) = delete;
    AmsConnection& operator=(const AmsConnection&) = delete;

    int32_t AdsRequest(AmsRequest& request, uint32_t timeoutMs);
    // `sharingKey` tells the transport settings apart: empty for plain ADS.
    bool IsConnectedTo(const addrinfo* targetAddresses, const std::string& sharingKey = std::string()) const;
    std::string PeerText() const { return socket.PeerText(); }
    // Ends the TCP connection: every waiting and later request ends at once with ADS_ERR_SYNC_TIMEOUT
    // (ADS_ERR_CONNECTION_CLOSED when the peer closed or reset it first).
    void Abort();
    bool IsLost() const { return lost.load(); }
    // Whether the connection carried an answer without a router error: the PLC was reachable on it.
    bool HasServed() const { return served.load(); }
    // Unique in the process, never 0.
    uint64_t Id() const { return id; }
    // Drop counters of this connection and of its dispatchers (no reconnections, no id).
    plc::ads::ConnectionCounters Counters();

    std::shared_ptr<NotificationDispatcher> CreateNotifyMapping(uint32_t handle,
                                                                std::shared_ptr<Notification> notification);
    std::shared_ptr<NotificationDispatcher> DispatcherListAdd(const DispatcherKey& key);
    std::shared_ptr<NotificationDispatcher> DispatcherListGet(const DispatcherKey& key);
    // A time-out of 0 sends the delete without waiting for its reply.
    int32_t DeleteNotification(const AmsAddr& target, uint32_t handle, uint32_t timeoutMs, uint16_t port);
    // Deletes notifications and releases symbol handles of the port on `target` without
    // waiting: for what has no owner any more while the target may be slow or silent.
    int32_t ReleaseUnawaited(uint16_t port, const AmsAddr& target, const plc::ads::GrantReleases& releases);

private:
    Router& router;
    // The byte stream (a TCP socket or a TLS tunnel over one), used through the socket's calls.
    const std::unique_ptr<ByteStream> stream;
    ByteStream& socket;

public:
    std::atomic<uint32_t> routeCount{0};
    // Local IPv4 address of the TCP connection, host order; declared after the socket it is read from.
    const uint32_t localIp;

private:
    AmsResponse* Write(AmsRequest& request, const AmsAddr& srcAddr);
    // Writer only: sends what other requests left while it wrote, within the writer's own
    // deadline; the requests of frames not sent whole end as unwritten.
    void SendLeftFrames(bool healthy, std::chrono::steady_clock::time_point ownDeadline);
    AmsResponse* Reserve(AmsRequest* request, uint16_t port);
    uint32_t GetInvokeId();

    void TryRecv();
    void Recv();
    void Receive(void* buffer, size_t bytesToRead, timeval* timeout) const;
    void Receive(void* buffer, size_t bytesToRead, const std::chrono::steady_clock::time_point& deadline) const;
    // The same, adding every byte that arrived to `received`, also when they throw.
    void Receive(void* buffer, size_t bytesToRead, timeval* timeout, size_t& received) const;
    void Receive(void* buffer, size_t bytesToRead, const std::chrono::steady_clock::time_point& deadline,
                 size_t& received) const;
    void ReceiveJunk(size_t bytesToRead) const;
    // Refills the read-ahead with what the socket holds (at least one byte).
    void FillReadAhead(timeval* timeout) const;
    // Signals the frames queued since the last read from the socket.
    void WakeDispatchers() const;
    // The slot waiting for this reply: same invoke id, port and command, response flag set.
    AmsResponse* GetPending(const plc::ads::AoEHeader& reply);
    // One reply's data into its request; a reply that grants something its requester cannot
    // use (`granting` tells what it grants) has its grants released.
    template <typename T>
    void ReceiveFrame(AmsResponse* response, const plc::ads::AoEHeader& header,
                      const std::optional<plc::ads::GrantingRequest>& granting);
    void ReceiveNotification(const plc::ads::AoEHeader& header);
    void FailPendingRequests();

    // Liveness: the connection is given up only when it is dead, never for one port's silence.
    void MarkActivity();
    void AbortIfSilentSince(std::chrono::steady_clock::time_point sentAt, uint32_t timeoutMs);
    // A reply nobody waits for; what a late reply granted is released again.
    void HandleUnmatchedReply(const plc::ads::AoEHeader& header, size_t packetData);
    // Reads the rest of a granting reply nobody can use from the stream (at most what its
    // grants take, after the `head` read already), discards the rest of its `left` bytes and
    // releases its grants.
    void ReleaseGrantsOfPacket(const plc::ads::AoEHeader& header, const plc::ads::GrantingRequest& granting,
                               size_t left, std::vector<uint8_t> head);
    // Releases the grants found in a reply's data, except notifications a live one holds.
    void ReleaseGrants(const plc::ads::AoEHeader& reply, plc::ads::GrantReleases releases);
    // A handle granted to a waiting request, or held by a live notification of the reply's port.
    bool IsLiveGrant(const plc::ads::AoEHeader& reply, uint32_t handle);
    void RememberGrant(const AmsRequest& request);
    // Releases granted on `target` for `localPort` without waiting for the replies (which are
    // expected and dropped): one write of all the requests, within a short bound.
    int32_t SendReleases(uint16_t localPort, const AmsAddr& target, const AmsAddr& srcAddr,
                         const plc::ads::GrantReleases& releases);
    // Writes frames nobody waits for, whole or not at all, within a short bound.
    int32_t WriteUnawaited(const uint8_t* data, size_t size);
    void EncodeHeaders(AmsRequest& request, const AmsAddr& srcAddr, uint32_t invokeId) const;

    std::atomic<uint32_t> invokeId{0};
    std::array<AmsResponse, ADS_PORT_COUNT> replySlots;
    std::map<DispatcherKey, std::shared_ptr<NotificationDispatcher>> dispatcherList;
    std::recursive_mutex dispatcherListMutex;
    std::atomic<bool> lost{false};
    std::atomic<uint32_t> lostResult{ADS_ERR_SYNC_TIMEOUT};
    std::atomic<bool> aborted{false};
    const uint64_t id;
    std::atomic<int64_t> lastActivityNs{0};
    std::atomic<uint64_t> ringFull{0};
    std::atomic<uint64_t> unmatchedReplies{0};
    std::atomic<bool> served{false};
    // Keeps frames whole on the stream when a send has to wait for room.
    std::timed_mutex writeMutex;
    SendQueue sendQueue;
    // Writer only (under writeMutex): the batch being sent, kept for its capacity.
    SendQueue::Batch sendBatch;
    std::thread receiveThread;
    // Receive thread only: bytes read from the socket but not yet parsed, so that a packet
    // (often several) costs one read instead of one per field.
    static constexpr size_t READ_AHEAD = 16 * 1024;
    mutable std::unique_ptr<uint8_t[]> readAhead;
    mutable size_t readAheadBegin = 0;
    mutable size_t readAheadEnd = 0;
    // Receive thread only: dispatchers with frames queued since the last read; a burst of
    // frames wakes each dispatcher once instead of once per frame.
    mutable std::vector<std::pair<std::shared_ptr<NotificationDispatcher>, uint32_t>> queuedFrames;

    // Granting requests in flight and requests nobody waits for.
    plc::ads::LateGrants lateGrants;
    // Receive thread only: the latest handles granted to waiting requests. A copy of a grant
    // can arrive before its requester has registered the notification; it must not delete it.
    struct Grant {
        DispatcherKey key{0, AmsAddr{AmsNetId(0u), 0}};
        uint32_t handle = 0; // never granted
    };
    static constexpr size_t RECENT_GRANTS = 64;
    std::array<Grant, RECENT_GRANTS> recentGrants;
    size_t nextGrant = 0;

    // Lets tests preset the invoke id counter.
    friend struct AmsConnectionTestAccess;
};
