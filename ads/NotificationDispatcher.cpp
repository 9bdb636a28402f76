#include "NotificationDispatcher.h"

#include "LittleEndian.h"
#include "Log.h"

#include <algorithm>
#include <cstring>
#include <exception>

using namespace plc::ads;

Notification::Notification(PAdsNotificationFuncEx callback_, uint32_t userValue_, uint32_t watchedLength,
                           const AmsAddr& target, uint16_t localPort)
    : connection(localPort, target),
      callback(callback_),
      buffer(SampleBufferSize<size_t>(watchedLength), 0),
      userValue(userValue_)
{
    Header()->dataSize = watchedLength;
}

uint32_t Notification::Size() const
{
    return reinterpret_cast<const AdsNotificationHeader*>(buffer.data())->dataSize;
}

void Notification::SetHandle(uint32_t handle)
{
    Header()->sourceHandle = handle;
}

// ---------------------------------------------------------------------------

RingBuffer::RingBuffer(size_t capacity_) : capacity(std::max<size_t>(capacity_, 2)), data(new uint8_t[capacity])
{
}

size_t RingBuffer::BytesUsed() const
{
    const size_t w = write.load(std::memory_order_acquire);
    const size_t r = read.load(std::memory_order_acquire);
    return w >= r ? w - r : capacity - r + w;
}

size_t RingBuffer::BytesFree() const
{
    return capacity - 1 - BytesUsed();
}

size_t RingBuffer::WriteChunk() const
{
    const size_t w = write.load(std::memory_order_relaxed);
    const size_t r = read.load(std::memory_order_acquire);
    if (w < r) {
        return r - w - 1;
    }
    // Filling up to the block's end would make write == read when read sits at the start.
    return capacity - w - (r == 0 ? 1 : 0);
}

void RingBuffer::CommitWrite(size_t n)
{
    const size_t w = write.load(std::memory_order_relaxed);
    write.store((w + n) % capacity, std::memory_order_release);
}

void RingBuffer::Write(const uint8_t* src, size_t n)
{
    if (n == 0) {
        return;
    }
    const size_t w = write.load(std::memory_order_relaxed);
    const size_t first = std::min(n, capacity - w);
    std::memcpy(data.get() + w, src, first);
    std::memcpy(data.get(), src + first, n - first);
    CommitWrite(n);
}

void RingBuffer::Read(uint8_t* dst, size_t n)
{
    if (n == 0) {
        return;
    }
    const size_t r = read.load(std::memory_order_relaxed);
    const size_t first = std::min(n, capacity - r);
    std::memcpy(dst, data.get() + r, first);
    std::memcpy(dst + first, data.get(), n - first);
    read.store((r + n) % capacity, std::memory_order_release);
}

void RingBuffer::Skip(size_t n)
{
    const size_t r = read.load(std::memory_order_relaxed);
    read.store((r + n) % capacity, std::memory_order_release);
}

// ---------------------------------------------------------------------------

namespace {
// The only way the parser touches the ring: reads stay inside the frame's L bytes, so
// counts and sizes claimed by the peer can never pull in bytes of the next frame.
class FrameView {
public:
    FrameView(RingBuffer& ring_, size_t length) : ring(ring_), remaining(length) {}

    template <typename T>
    bool Get(T& value)
    {
        uint8_t bytes[sizeof(T)];
        if (!ReadBytes(bytes, sizeof(T))) {
            return false;
        }
        value = le::Read<T>(bytes);
        return true;
    }
    bool ReadBytes(uint8_t* dst, size_t n)
    {
        if (n > remaining) {
            return false;
        }
        ring.Read(dst, n);
        remaining -= n;
        return true;
    }
    bool Skip(size_t n)
    {
        if (n > remaining) {
            return false;
        }
        ring.Skip(n);
        remaining -= n;
        return true;
    }
    size_t Remaining() const { return remaining; }
    // Drops whatever the frame holds after the last sample handled.
    void Finish()
    {
        ring.Skip(remaining);
        remaining = 0;
    }

private:
    RingBuffer& ring;
    size_t remaining;
};
}

NotificationDispatcher::NotificationDispatcher(DeleteNotificationFunc deleteNotification_, size_t ringCapacity)
    : ring(ringCapacity), deleteNotification(std::move(deleteNotification_))
{
    thread = std::thread(&NotificationDispatcher::Run, this);
}

NotificationDispatcher::~NotificationDispatcher()
{
    stopRequested = true;
    Notify();
    if (thread.joinable()) {
        thread.join();
    }
}

void NotificationDispatcher::Emplace(uint32_t handle, std::shared_ptr<Notification> notification)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    notifications.emplace(handle, std::move(notification));
}

std::shared_ptr<Notification> NotificationDispatcher::Find(uint32_t handle)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    const auto it = notifications.find(handle);
    return it == notifications.end() ? nullptr : it->second;
}

int32_t NotificationDispatcher::Erase(uint32_t handle, uint32_t timeoutMs)
{
    const int32_t status = deleteNotification(handle, timeoutMs);
    std::lock_guard<std::recursive_mutex> lock(mutex);
    notifications.erase(handle);
    return status;
}

void NotificationDispatcher::Forget(uint32_t handle)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    notifications.erase(handle);
}

void NotificationDispatcher::Notify()
{
    {
        std::lock_guard<std::mutex> lock(sem.mutex);
        ++sem.count;
    }
    sem.cv.notify_one();
}

void NotificationDispatcher::Hold()
{
    std::lock_guard<std::mutex> lock(sem.mutex);
    ++sem.holds;
}

void NotificationDispatcher::Unhold()
{
    {
        std::lock_guard<std::mutex> lock(sem.mutex);
        --sem.holds;
    }
    sem.cv.notify_one();
}

void NotificationDispatcher::Run()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(sem.mutex);
            sem.cv.wait(lock, [this] { return stopRequested || (sem.count > 0 && sem.holds <= 0); });
            --sem.count;
        }
        if (stopRequested) {
            return;
        }
        ProcessFrame();
    }
}

void NotificationDispatcher::ProcessFrame()
{
    // A post without a queued length would otherwise read stale bytes as a frame.
    const size_t used = ring.BytesUsed();
    if (used < sizeof(uint32_t)) {
        return;
    }
    uint8_t lengthBytes[sizeof(uint32_t)];
    ring.Read(lengthBytes, sizeof(lengthBytes));
    size_t length = le::Read<uint32_t>(lengthBytes);
    const size_t queued = used - sizeof(uint32_t);
    if (length > queued) {
        LOG_WARN("Notification frame length " << length << " exceeds the " << queued << " queued bytes");
        length = queued;
    }

    FrameView frame(ring, length);
    uint32_t streamLength = 0;
    uint32_t stamps = 0;
    if (!frame.Get(streamLength) || !frame.Get(stamps)) {
        frame.Finish();
        return;
    }
    (void)streamLength; // the frame's length L is what bounds the parse

    for (uint32_t s = 0; s < stamps; ++s) {
        uint64_t timestamp = 0;
        uint32_t samples = 0;
        if (!frame.Get(timestamp) || !frame.Get(samples)) {
            break;
        }
        for (uint32_t i = 0; i < samples; ++i) {
            uint32_t handle = 0;
            uint32_t size = 0;
            if (stopRequested.load(std::memory_order_relaxed) || !frame.Get(handle) || !frame.Get(size)) {
                frame.Finish();
                return;
            }
            if (size > frame.Remaining()) {
                LOG_WARN("Notification sample size: " << size << " exceeds the frame's remaining " << frame.Remaining()
                                                      << " bytes");
                frame.Finish();
                return;
            }
            const std::shared_ptr<Notification> notification = Find(handle);
            if (!notification) {
                ++unknownHandles;
                frame.Skip(size);
                continue;
            }
            if (notification->Size() != size) {
                ++sizeMismatches;
                LOG_WARN("Notification sample size: " << size << " doesn't match: " << notification->Size());
                frame.Finish();
                return;
            }
            frame.ReadBytes(notification->Data(), size);
            AdsNotificationHeader* header = notification->Header();
            header->sampleTime = timestamp;
            if (!notification->callback) {
                continue;
            }
            try {
                notification->callback(&notification->connection.second, header, notification->userValue);
            } catch (const std::exception& ex) {
                LOG_WARN("Notification callback failed: " << ex.what());
            } catch (...) {
                LOG_WARN("Notification callback failed");
            }
        }
    }
    frame.Finish();
}
