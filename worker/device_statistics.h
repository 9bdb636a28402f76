// What a rehearsal needs to trust a device beyond its values: the samples each item received
// and the round trips of the device's state poll. Process-wide, by device id, kept until the
// device's worker ends; cheap enough to be kept always.
#pragma once

#include <QHash>

#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

class Device_Statistics {
public:
    // The latest round trips kept per device: a reader that looks every few seconds sees them all.
    static constexpr size_t ROUND_TRIPS = 64;

    struct Snapshot {
        // (item id, samples over the worker's life); a plain copy, shared with nothing the
        // dispatcher threads write.
        std::vector<std::pair<quint32, quint64>> samples;
        std::vector<uint32_t> roundTripsUs; // of the polls from `since` on that are still kept, oldest first
        uint64_t polls = 0;                 // state polls so far: the `since` of the next snapshot
    };

    // From a notification dispatcher thread; a leaf lock, never held while anything else is taken.
    static void noteSample(quint32 deviceId, quint32 itemId);
    static void noteStatePoll(quint32 deviceId, std::chrono::microseconds roundTrip);
    static void forget(quint32 deviceId);
    static Snapshot snapshot(quint32 deviceId, uint64_t since);
};
