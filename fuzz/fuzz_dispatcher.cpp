// The notification dispatcher's frame parser. The input is cut into frames (two length bytes,
// then that many payload bytes) queued the way the receive thread queues them, into a small
// ring so that frames wrap around its end. Well-formed marker frames, more than the ring holds,
// follow each input: each must be delivered intact, so no malformed frame may hang the parser
// or eat the frames after it, and no wrap-around may change a byte.
#include "ads/NotificationDispatcher.h"

#include "ads/LittleEndian.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace le = plc::ads::le;

namespace {
constexpr uint32_t MARKER_HANDLE = 0xFEEDu;
constexpr uint8_t MARKER_BYTE = 0x5A;
constexpr size_t RING_CAPACITY = 509; // small and odd: frames and fields wrap at every offset
constexpr size_t MAX_FRAME = 200;

std::atomic<uint32_t> markers{0};

// Handles 1 to 5 carry these sizes; the callback checks it is handed exactly that.
constexpr uint32_t SIZES[] = {1, 2, 4, 8, 81};

void checkSample(const AmsAddr*, const AdsNotificationHeader* header, uint32_t user)
{
    const bool marker = user == MARKER_HANDLE;
    const uint32_t size = marker ? 1 : (user >= 1 && user <= 5 ? SIZES[user - 1] : 0);
    if (header->dataSize != size || header->sourceHandle != user ||
        (marker && *reinterpret_cast<const uint8_t*>(header + 1) != MARKER_BYTE)) {
        std::abort();
    }
    markers += marker ? 1 : 0;
}

NotificationDispatcher& dispatcher()
{
    static NotificationDispatcher* const instance = [] {
        auto* d = new NotificationDispatcher([](uint32_t, uint32_t) { return 0; }, RING_CAPACITY);
        const AmsAddr target{AmsNetId{127, 0, 0, 1, 1, 1}, 851};
        for (uint32_t h = 1; h <= 6; ++h) {
            const uint32_t handle = h <= 5 ? h : MARKER_HANDLE;
            auto n = std::make_shared<Notification>(&checkSample, handle, h <= 5 ? SIZES[h - 1] : 1, target, 30000);
            n->SetHandle(handle);
            d->Emplace(handle, n);
        }
        return d;
    }();
    return *instance;
}

bool waitFor(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60); // generous: the CPU may be busy
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// Queues one frame as the receive thread does: its length, then its payload.
void queue(NotificationDispatcher& d, const uint8_t* payload, size_t length)
{
    if (!waitFor([&] { return d.ring.BytesFree() >= length + 4; })) {
        std::abort(); // the parser stopped consuming
    }
    uint8_t lengthBytes[4];
    le::Write<uint32_t>(lengthBytes, static_cast<uint32_t>(length));
    d.ring.Write(lengthBytes, sizeof(lengthBytes));
    d.ring.Write(payload, length);
    d.Notify();
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    NotificationDispatcher& d = dispatcher();
    while (size >= 2) {
        const size_t length = std::min<size_t>(le::Read<uint16_t>(data) % (MAX_FRAME + 1), size - 2);
        queue(d, data + 2, length);
        data += 2 + length;
        size -= 2 + length;
    }
    // One stamp with one 1-byte sample for the marker; more markers than the ring holds, so
    // that one of them always wraps around its end.
    uint8_t marker[4 + 4 + 8 + 4 + 4 + 4 + 1] = {};
    le::Write<uint32_t>(marker, sizeof(marker) - 4);
    le::Write<uint32_t>(marker + 4, 1);
    le::Write<uint32_t>(marker + 16, 1);
    le::Write<uint32_t>(marker + 20, MARKER_HANDLE);
    le::Write<uint32_t>(marker + 24, 1);
    marker[28] = MARKER_BYTE;
    const uint32_t before = markers.load();
    for (size_t i = 0; i * sizeof(marker) <= RING_CAPACITY; ++i) {
        queue(d, marker, sizeof(marker));
    }
    if (!waitFor([&] { return markers.load() - before == RING_CAPACITY / sizeof(marker) + 1; })) {
        std::abort(); // the marker frame was lost
    }
    return 0;
}
