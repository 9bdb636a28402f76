#include "upper_Notify.h"

#include "ads/LittleEndian.h"

namespace upper {

Recorder& Recorder::Get()
{
    static Recorder recorder;
    return recorder;
}

void Recorder::Callback(const AmsAddr* source, const AdsNotificationHeader* header, uint32_t user)
{
    Recorder& r = Get();
    std::unique_lock<std::mutex> lock(r.mutex);
    const auto* data = reinterpret_cast<const uint8_t*>(header + 1);
    r.samples.push_back(Delivered{*source, header->sourceHandle, user, header->sampleTime, header->dataSize,
                                  std::vector<uint8_t>(data, data + header->dataSize)});
    r.cv.notify_all();
    if (r.holdNext) {
        r.holdNext = false;
        r.held = true;
        r.cv.notify_all();
        r.cv.wait(lock, [&] { return r.released; });
        r.held = false;
    }
}

void Recorder::Reset()
{
    std::lock_guard<std::mutex> lock(mutex);
    samples.clear();
    holdNext = held = released = false;
}

std::vector<Delivered> Recorder::Samples()
{
    std::lock_guard<std::mutex> lock(mutex);
    return samples;
}

size_t Recorder::Count()
{
    std::lock_guard<std::mutex> lock(mutex);
    return samples.size();
}

bool Recorder::WaitForCount(size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, timeout, [&] { return samples.size() >= n; });
}

void Recorder::HoldNext()
{
    std::lock_guard<std::mutex> lock(mutex);
    holdNext = true;
    released = false;
}

bool Recorder::WaitUntilHeld(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, timeout, [&] { return held; });
}

void Recorder::Release()
{
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
    cv.notify_all();
}

std::vector<uint8_t> NotificationPayload(const std::vector<StampDesc>& stamps, std::optional<uint32_t> claimedStamps)
{
    std::vector<uint8_t> out(8);
    auto put32 = [&](uint32_t v) {
        uint8_t b[4];
        plc::ads::le::Write<uint32_t>(b, v);
        out.insert(out.end(), b, b + 4);
    };
    for (const auto& stamp : stamps) {
        uint8_t t[8];
        plc::ads::le::Write<uint64_t>(t, stamp.time);
        out.insert(out.end(), t, t + 8);
        put32(stamp.claimedSamples.value_or(static_cast<uint32_t>(stamp.samples.size())));
        for (const auto& sample : stamp.samples) {
            put32(sample.handle);
            put32(sample.claimedSize.value_or(static_cast<uint32_t>(sample.data.size())));
            out.insert(out.end(), sample.data.begin(), sample.data.end());
        }
    }
    plc::ads::le::Write<uint32_t>(out.data(), static_cast<uint32_t>(out.size() - 4));
    plc::ads::le::Write<uint32_t>(out.data() + 4, claimedStamps.value_or(static_cast<uint32_t>(stamps.size())));
    return out;
}

void Enqueue(NotificationDispatcher& dispatcher, const std::vector<uint8_t>& payload)
{
    uint8_t length[4];
    plc::ads::le::Write<uint32_t>(length, static_cast<uint32_t>(payload.size()));
    dispatcher.ring.Write(length, sizeof(length));
    dispatcher.ring.Write(payload.data(), payload.size());
    dispatcher.Notify();
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<uint8_t>(seed + i);
    }
    return v;
}

} // namespace upper

#include "ads/Log.h"


#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace upper {

RefusingHost::RefusingHost() : fd(::socket(AF_INET, SOCK_STREAM, 0))
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        throw std::runtime_error("no socket to refuse connections with");
    }
    host = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
}

RefusingHost::~RefusingHost()
{
    if (fd >= 0) {
        ::close(fd);
    }
}

} // namespace upper
