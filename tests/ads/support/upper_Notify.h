// Test helpers for the notification path: a recording callback with a gate that can
// hold the dispatcher thread, and a builder for device-notification payloads.
#pragma once

#include "ads/AdsDef.h"
#include "ads/NotificationDispatcher.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace upper {

struct Delivered {
    AmsAddr source;
    uint32_t handle;
    uint32_t user;
    uint64_t time;
    uint32_t size;
    std::vector<uint8_t> data;
};

// Process-wide, because notification callbacks are plain function pointers.
class Recorder {
public:
    static Recorder& Get();
    static void Callback(const AmsAddr* source, const AdsNotificationHeader* header, uint32_t user);

    void Reset();
    std::vector<Delivered> Samples();
    size_t Count();
    bool WaitForCount(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // The next callback blocks inside the dispatcher thread until Release().
    void HoldNext();
    bool WaitUntilHeld(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void Release();

private:
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Delivered> samples;
    bool holdNext = false;
    bool held = false;
    bool released = false;
};

struct SampleDesc {
    SampleDesc(uint32_t h, std::vector<uint8_t> d, std::optional<uint32_t> claimed = std::nullopt)
        : handle(h), data(std::move(d)), claimedSize(claimed)
    {
    }
    uint32_t handle;
    std::vector<uint8_t> data;
    std::optional<uint32_t> claimedSize;
};
struct StampDesc {
    StampDesc(uint64_t t, std::vector<SampleDesc> s, std::optional<uint32_t> claimed = std::nullopt)
        : time(t), samples(std::move(s)), claimedSamples(claimed)
    {
    }
    uint64_t time;
    std::vector<SampleDesc> samples;
    std::optional<uint32_t> claimedSamples;
};

// The command data of a device notification: stream length, stamp count, stamps.
std::vector<uint8_t> NotificationPayload(const std::vector<StampDesc>& stamps,
                                         std::optional<uint32_t> claimedStamps = std::nullopt);
// Queues one frame the way the receive thread does: length, payload, post.
void Enqueue(NotificationDispatcher& dispatcher, const std::vector<uint8_t>& payload);
// Bytes 0, 1, 2, ... offset by seed, n long.
std::vector<uint8_t> Pattern(size_t n, uint8_t seed);

} // namespace upper

#include "tools/sim/PlcSimulator.h"
#include "transport_support.h"

#include <functional>
#include <string>

namespace upper {

// Polls pred until it holds or the time runs out; returns its last value.
inline bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::seconds(5))
{
    return plcsim::WaitUntil(pred, timeout);
}

// Routes the stack's warnings and errors into a string while it lives.
struct LogCapture : transport::LogCapture {
    LogCapture() : transport::LogCapture(LOG_LEVEL_WARN) {}
};

} // namespace upper

namespace upper {

// A loopback address whose TCP port is bound but not listening: connects are refused.
class RefusingHost {
public:
    RefusingHost();
    ~RefusingHost();
    const std::string& Host() const { return host; }

private:
    int fd = -1;
    std::string host;
};

} // namespace upper
