// Queues device-notification frames of one (local port, target) pair and hands
// their samples to callbacks on a thread of its own.
#pragma once

#include "AdsDef.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

// (local AMS port, target address): the key of a dispatcher.
using DispatcherKey = std::pair<uint16_t, AmsAddr>;

// Bytes of a notification's sample buffer (header and one sample) as a `Size`; throws
// std::bad_alloc when that does not fit, so a 32-bit size_t can never wrap to a short buffer.
template <typename Size>
Size SampleBufferSize(uint64_t watchedLength)
{
    const uint64_t total = watchedLength + sizeof(AdsNotificationHeader);
    if (total < watchedLength || total > std::numeric_limits<Size>::max()) {
        throw std::bad_alloc();
    }
    return static_cast<Size>(total);
}

struct Notification {
    Notification(PAdsNotificationFuncEx callback, uint32_t userValue, uint32_t watchedLength, const AmsAddr& target,
                 uint16_t localPort);

    // Header of the sample buffer: handle, size and time of the current sample.
    AdsNotificationHeader* Header() { return reinterpret_cast<AdsNotificationHeader*>(buffer.data()); }
    uint8_t* Data() { return buffer.data() + sizeof(AdsNotificationHeader); }
    uint32_t Size() const;
    void SetHandle(uint32_t handle);

    const DispatcherKey connection;
    const PAdsNotificationFuncEx callback;
    std::vector<uint8_t> buffer; // AdsNotificationHeader followed by one sample
    const uint32_t userValue;
};

// Single-producer (receive thread) / single-consumer (dispatcher thread) byte queue with
// wrap-around. Its storage is taken from the system when first needed and follows the unread
// backlog: it grows (up to `capacity`) when a write would not fit, and shrinks again once
// many frames needed only a fraction of it. One byte of `capacity` always stays
// free. Positions and storage change under a mutex; the producer fills reserved room and the
// consumer copies bytes out, so a growth never moves bytes under either of them.
class RingBuffer {
public:
    explicit RingBuffer(size_t capacity);
    ~RingBuffer();
    RingBuffer(const RingBuffer&) = delete;
    RingBuffer& operator=(const RingBuffer&) = delete;

    size_t Capacity() const { return capacity; }
    // Bytes of storage held now: the most the ring can keep resident.
    size_t Allocated() const;
    size_t BytesUsed() const;
    size_t BytesFree() const;

    // Producer side. Reserve makes room for n more bytes in the storage; false when n exceeds
    // BytesFree() or the system has no memory left. Put copies reserved bytes in; or
    // WriteChunk() gives the contiguous reserved room at WritePointer() and CommitWrite
    // publishes n bytes written there.
    bool Reserve(size_t n);
    void Put(const uint8_t* src, size_t n);
    uint8_t* WritePointer() { return storage + writeAt; }
    size_t WriteChunk() const;
    void CommitWrite(size_t n);
    // Reserve and Put; the caller has checked n <= BytesFree().
    void Write(const uint8_t* src, size_t n);

    // Consumer side; the caller never reads more than BytesUsed(). Peek copies without
    // consuming.
    void Read(uint8_t* dst, size_t n);
    void Peek(uint8_t* dst, size_t n) const;
    void Skip(size_t n);

private:
    bool Resize(size_t newSize);

    const size_t capacity;
    mutable std::mutex mutex;
    uint8_t* storage = nullptr; // written by the producer only, under the mutex
    size_t size = 0;
    size_t readAt = 0;
    size_t writeAt = 0;
    size_t used = 0;
    // Producer only: the largest backlog, and the bytes and reservations since the last size check.
    size_t peak = 0;
    uint64_t writtenSinceCheck = 0;
    uint32_t reservesSinceCheck = 0;
};

class NotificationDispatcher {
public:
    // A time-out of 0 sends the delete without waiting for its reply.
    using DeleteNotificationFunc = std::function<int32_t(uint32_t handle, uint32_t timeoutMs)>;
    static constexpr size_t DEFAULT_RING_CAPACITY = 4 * 1024 * 1024 + 1;

    explicit NotificationDispatcher(DeleteNotificationFunc deleteNotification,
                                    size_t ringCapacity = DEFAULT_RING_CAPACITY);
    ~NotificationDispatcher();
    NotificationDispatcher(const NotificationDispatcher&) = delete;
    NotificationDispatcher& operator=(const NotificationDispatcher&) = delete;

    // A handle granted again replaces the old entry: the target no longer serves that one.
    void Emplace(uint32_t handle, std::shared_ptr<Notification> notification);
    std::shared_ptr<Notification> Find(uint32_t handle);
    // Deletes the notification on the target, then forgets it whatever the result.
    int32_t Erase(uint32_t handle, uint32_t timeoutMs);
    // Forgets it without any request (its owner is gone).
    void Forget(uint32_t handle);
    // Signals queued frames (length + payload already in the ring).
    void Notify(uint32_t frames = 1);
    // While held, queued frames wait in the ring: a subscription in flight holds its
    // dispatcher so that samples sent right after the grant meet a known handle.
    void Hold();
    void Unhold();
    // True once destruction has begun; queued frames are then dropped.
    bool StopRequested() const { return stopRequested.load(); }

    RingBuffer ring;
    // Samples dropped while parsing: handle nobody subscribed, size other than watched.
    std::atomic<uint64_t> unknownHandles{0};
    std::atomic<uint64_t> sizeMismatches{0};

private:
    void Run();
    void ProcessFrame();
    void ParseFrame(const uint8_t* data, size_t length);

    // Dispatcher thread only: the frame being parsed, copied out of the ring.
    std::vector<uint8_t> frameBytes;

    const DeleteNotificationFunc deleteNotification;
    std::map<uint32_t, std::shared_ptr<Notification>> notifications;
    std::recursive_mutex mutex;
    struct Semaphore {
        int32_t count = 0;
        int32_t holds = 0;
        std::mutex mutex;
        std::condition_variable cv;
    } sem;
    std::atomic<bool> stopRequested{false};
    std::thread thread;
};
