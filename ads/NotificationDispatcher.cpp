#include "NotificationDispatcher.h"

#include "LittleEndian.h"
#include "Log.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include <sys/mman.h>

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

namespace {
constexpr size_t INITIAL_RING_SIZE = 4096;
constexpr uint32_t SIZE_CHECK_FRAMES = 1024;
// A frame buffer larger than this is given back after its frame.
constexpr size_t KEPT_FRAME_BYTES = 64 * 1024;

// Ring storage comes straight from the system, so that a ring that shrinks gives its pages
// back instead of leaving them in the allocator's free lists.
uint8_t* MapStorage(size_t n)
{
    void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
}

void UnmapStorage(uint8_t* p, size_t n)
{
    if (p) {
        munmap(p, n);
    }
}
}

RingBuffer::RingBuffer(size_t capacity_) : capacity(std::max<size_t>(capacity_, 2)) {}

RingBuffer::~RingBuffer()
{
    UnmapStorage(storage, size);
}

size_t RingBuffer::Allocated() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return size;
}

size_t RingBuffer::BytesUsed() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return used;
}

size_t RingBuffer::BytesFree() const
{
    return capacity - 1 - BytesUsed();
}

bool RingBuffer::Reserve(size_t n)
{
    size_t backlog = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        backlog = used;
    }
    // The consumer only ever lowers `used`, so what fits now still fits below.
    if (n > capacity - 1 - backlog) {
        return false;
    }
    const size_t need = backlog + n;
    peak = std::max(peak, need);
    writtenSinceCheck += n;
    if (++reservesSinceCheck >= SIZE_CHECK_FRAMES || writtenSinceCheck / 4 >= size) {
        // After many frames, or four rounds of the storage: keep it only as large as the
        // backlog needed meanwhile, so that slow traffic after a burst gives the room back.
        const size_t wanted = peak > capacity / 2 ? capacity : std::max(INITIAL_RING_SIZE, 2 * peak);
        const bool shrink = size > INITIAL_RING_SIZE && wanted <= size / 2;
        writtenSinceCheck = 0;
        reservesSinceCheck = 0;
        peak = need;
        if (shrink) {
            Resize(std::min(capacity, wanted));
        }
    }
    if (need <= std::min(size, capacity - 1)) {
        return true;
    }
    size_t grown = std::max(INITIAL_RING_SIZE, size);
    while (grown < need && grown < capacity) {
        grown = grown > capacity / 2 ? capacity : 2 * grown;
    }
    return Resize(std::min(grown, capacity));
}

bool RingBuffer::Resize(size_t newSize)
{
    uint8_t* const fresh = MapStorage(newSize);
    if (!fresh) {
        return false;
    }
    uint8_t* old = nullptr;
    size_t oldSize = 0;
    {
        // The backlog fits: sizes are chosen to hold it, and the consumer only lowers it.
        std::lock_guard<std::mutex> lock(mutex);
        const size_t first = std::min(used, size - readAt);
        if (used) {
            std::memcpy(fresh, storage + readAt, first);
            std::memcpy(fresh + first, storage, used - first);
        }
        old = storage;
        oldSize = size;
        storage = fresh;
        size = newSize;
        readAt = 0;
        writeAt = used == newSize ? 0 : used;
    }
    UnmapStorage(old, oldSize);
    return true;
}

size_t RingBuffer::WriteChunk() const
{
    std::lock_guard<std::mutex> lock(mutex);
    const size_t usable = std::min(size, capacity - 1);
    return usable > used ? std::min(usable - used, size - writeAt) : 0;
}

void RingBuffer::CommitWrite(size_t n)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (size) {
        writeAt = (writeAt + n) % size;
        used += n;
    }
}

void RingBuffer::Put(const uint8_t* src, size_t n)
{
    while (n) {
        const size_t chunk = std::min(n, WriteChunk());
        if (chunk == 0) {
            return; // not reserved: never spin
        }
        std::memcpy(WritePointer(), src, chunk);
        CommitWrite(chunk);
        src += chunk;
        n -= chunk;
    }
}

void RingBuffer::Write(const uint8_t* src, size_t n)
{
    if (n && Reserve(n)) {
        Put(src, n);
    }
}

void RingBuffer::Read(uint8_t* dst, size_t n)
{
    Peek(dst, n);
    Skip(n);
}

void RingBuffer::Peek(uint8_t* dst, size_t n) const
{
    std::lock_guard<std::mutex> lock(mutex);
    n = std::min(n, used);
    if (n == 0) {
        return;
    }
    const size_t first = std::min(n, size - readAt);
    std::memcpy(dst, storage + readAt, first);
    std::memcpy(dst + first, storage, n - first);
}

void RingBuffer::Skip(size_t n)
{
    std::lock_guard<std::mutex> lock(mutex);
    n = std::min(n, used);
    if (n) {
        readAt = (readAt + n) % size;
        used -= n;
    }
}

// ---------------------------------------------------------------------------

namespace {
// The only way the parser touches a frame: reads stay inside the frame's L bytes, so
// counts and sizes claimed by the peer can never pull in bytes of the next frame.
class FrameView {
public:
    FrameView(const uint8_t* data, size_t length) : at(data), remaining(length) {}

    template <typename T>
    bool Get(T& value)
    {
        if (sizeof(T) > remaining) {
            return false;
        }
        value = le::Read<T>(at);
        at += sizeof(T);
        remaining -= sizeof(T);
        return true;
    }
    // The next n bytes, or null when the frame holds fewer.
    const uint8_t* Take(size_t n)
    {
        if (n > remaining) {
            return nullptr;
        }
        const uint8_t* const taken = at;
        at += n;
        remaining -= n;
        return taken;
    }
    size_t Remaining() const { return remaining; }

private:
    const uint8_t* at;
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
    notifications[handle] = std::move(notification);
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

void NotificationDispatcher::Notify(uint32_t frames)
{
    {
        std::lock_guard<std::mutex> lock(sem.mutex);
        sem.count += static_cast<int32_t>(frames);
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
    // Parsed from a copy, so callbacks never hold the ring; the frame keeps its room until
    // it is done, and an empty ring means every queued sample was delivered.
    frameBytes.resize(length);
    ring.Peek(frameBytes.data(), length);
    ParseFrame(frameBytes.data(), length);
    ring.Skip(length);
    if (frameBytes.capacity() > KEPT_FRAME_BYTES) {
        std::vector<uint8_t>().swap(frameBytes);
    }
}

void NotificationDispatcher::ParseFrame(const uint8_t* data, size_t length)
{
    FrameView frame(data, length);
    uint32_t streamLength = 0;
    uint32_t stamps = 0;
    if (!frame.Get(streamLength) || !frame.Get(stamps)) {
        return;
    }
    (void)streamLength; // the frame's length L is what bounds the parse
    bool mismatchLogged = false;

    for (uint32_t s = 0; s < stamps; ++s) {
        uint64_t timestamp = 0;
        uint32_t samples = 0;
        if (!frame.Get(timestamp) || !frame.Get(samples)) {
            return;
        }
        for (uint32_t i = 0; i < samples; ++i) {
            uint32_t handle = 0;
            uint32_t size = 0;
            if (stopRequested.load(std::memory_order_relaxed) || !frame.Get(handle) || !frame.Get(size)) {
                return;
            }
            if (size > frame.Remaining()) {
                LOG_WARN("Notification sample size: " << size << " exceeds the frame's remaining " << frame.Remaining()
                                                      << " bytes");
                return;
            }
            const uint8_t* const sample = frame.Take(size);
            const std::shared_ptr<Notification> notification = Find(handle);
            if (!notification) {
                ++unknownHandles;
                continue;
            }
            if (notification->Size() != size) {
                // Only this sample is unusable; the frame's other samples are still sound.
                ++sizeMismatches;
                if (!mismatchLogged) {
                    mismatchLogged = true;
                    LOG_WARN("Notification sample size: " << size << " doesn't match: " << notification->Size());
                }
                continue;
            }
            std::memcpy(notification->Data(), sample, size);
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
}
