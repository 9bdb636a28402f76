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

// Single-producer (receive thread) / single-consumer (dispatcher thread) byte ring.
// One byte always stays free so a full ring differs from an empty one.
class RingBuffer {
public:
    explicit RingBuffer(size_t capacity);

    size_t Capacity() const { return capacity; }
    size_t BytesUsed() const;
    size_t BytesFree() const;

    // Producer side. WriteChunk() is the contiguous room at WritePointer() that may be
    // filled without making the ring full; CommitWrite publishes n written bytes.
    uint8_t* WritePointer() { return data.get() + write.load(std::memory_order_relaxed); }
    size_t WriteChunk() const;
    void CommitWrite(size_t n);
    // Copies n bytes with wrap-around; the caller has checked n <= BytesFree().
    void Write(const uint8_t* src, size_t n);

    // Consumer side; the caller never reads more than BytesUsed().
    void Read(uint8_t* dst, size_t n);
    void Skip(size_t n);

private:
    const size_t capacity;
    std::unique_ptr<uint8_t[]> data;
    std::atomic<size_t> write{0};
    std::atomic<size_t> read{0};
};

class NotificationDispatcher {
public:
    using DeleteNotificationFunc = std::function<int32_t(uint32_t handle, uint32_t timeoutMs)>;
    static constexpr size_t DEFAULT_RING_CAPACITY = 4 * 1024 * 1024 + 1;

    explicit NotificationDispatcher(DeleteNotificationFunc deleteNotification,
                                    size_t ringCapacity = DEFAULT_RING_CAPACITY);
    ~NotificationDispatcher();
    NotificationDispatcher(const NotificationDispatcher&) = delete;
    NotificationDispatcher& operator=(const NotificationDispatcher&) = delete;

    void Emplace(uint32_t handle, std::shared_ptr<Notification> notification);
    std::shared_ptr<Notification> Find(uint32_t handle);
    // Deletes the notification on the target, then forgets it whatever the result.
    int32_t Erase(uint32_t handle, uint32_t timeoutMs);
    // Forgets it without any request (its owner is gone).
    void Forget(uint32_t handle);
    // Signals one queued frame (length + payload already in the ring).
    void Notify();
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
