// What a connection lost on the way, for the connection's users to see.
#pragma once

#include <cstdint>

namespace plc::ads {

struct ConnectionCounters {
    // Identifies the connection that serves the NetId; 0 when none does or it is lost.
    // A new value means notifications made on the earlier connection are gone.
    uint64_t connection = 0;
    uint64_t ringFull = 0;      // samples dropped: the dispatcher's ring had no room
    uint64_t unknownHandle = 0; // samples dropped: no notification with that handle
    uint64_t sizeMismatch = 0;  // samples dropped: size differs from the watched length
    // Replies nobody waited for (late, or a foreign invoke id); answers to requests sent without
    // waiting for them (deletes of notifications the PLC already dropped) are expected, not counted.
    uint64_t unmatchedReplies = 0;
    // New connections for the NetId after one that had carried answers; attempts of a target that
    // never answered do not count.
    uint64_t reconnections = 0;

    uint64_t Dropped() const { return ringFull + unknownHandle + sizeMismatch; }
};

} // namespace plc::ads
