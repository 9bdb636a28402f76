#include "worker/device_statistics.h"

#include <algorithm>
#include <array>
#include <limits>
#include <mutex>

namespace {
struct Device {
    QHash<quint32, quint64> samples;
    std::array<uint32_t, Device_Statistics::ROUND_TRIPS> roundTrips{};
    uint64_t polls = 0;
};

struct State {
    std::mutex mutex;
    QHash<quint32, Device> devices;
};

// Never destroyed: dispatcher threads may still deliver samples while the process exits.
State& state()
{
    static State* const instance = new State;
    return *instance;
}
}

void Device_Statistics::noteSample(quint32 deviceId, quint32 itemId)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    ++state().devices[deviceId].samples[itemId];
}

void Device_Statistics::noteStatePoll(quint32 deviceId, std::chrono::microseconds roundTrip)
{
    const auto us = std::clamp<std::chrono::microseconds::rep>(roundTrip.count(), 0,
                                                                std::numeric_limits<uint32_t>::max());
    std::lock_guard<std::mutex> lock(state().mutex);
    Device& device = state().devices[deviceId];
    device.roundTrips[device.polls % ROUND_TRIPS] = static_cast<uint32_t>(us);
    ++device.polls;
}

void Device_Statistics::forget(quint32 deviceId)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().devices.remove(deviceId);
}

Device_Statistics::Snapshot Device_Statistics::snapshot(quint32 deviceId, uint64_t since)
{
    Snapshot out;
    std::lock_guard<std::mutex> lock(state().mutex);
    const auto it = state().devices.constFind(deviceId);
    if (it == state().devices.constEnd()) {
        return out;
    }
    out.samples.reserve(static_cast<size_t>(it->samples.size()));
    for (auto sample = it->samples.constBegin(); sample != it->samples.constEnd(); ++sample) {
        out.samples.emplace_back(sample.key(), sample.value());
    }
    out.polls = it->polls;
    const uint64_t kept = it->polls > ROUND_TRIPS ? it->polls - ROUND_TRIPS : 0;
    for (uint64_t poll = std::max(since, kept); poll < it->polls; ++poll) {
        out.roundTripsUs.push_back(it->roundTrips[poll % ROUND_TRIPS]);
    }
    return out;
}
