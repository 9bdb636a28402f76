// Replies that grant resources on the target (symbol handles, device notifications) but reach
// nobody who can keep them: late (their request timed out), cut short, too long, or not what
// their layout gives. Their grants are released again, so that nothing stays granted on a PLC
// without an owner. Also the requests sent without a waiter: their replies are expected and
// dropped quietly instead of being counted as unmatched.
#pragma once

#include "AdsDef.h"
#include "AmsHeader.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace plc::ads {

struct GrantReleases {
    std::vector<uint32_t> notifications;
    std::vector<uint32_t> symbolHandles;
    bool Empty() const { return notifications.empty() && symbolHandles.empty(); }
};

// What a granting request asked for, as far as its reply needs it.
struct GrantingRequest {
    enum class Kind : uint8_t { SymbolHandle, SumSymbolHandles, SumNotifications };
    Kind kind = Kind::SymbolHandle;
    uint32_t count = 1; // sub-requests
};

// The request of a frame's bare payload, if its reply grants anything a reply can lose: a
// handle by name, or a sum request of handles by name or of notifications. (A single
// notification's reply names itself; its late copies are recognised without noting.)
std::optional<GrantingRequest> GrantingRequestOf(uint16_t cmdId, const uint8_t* payload, size_t size);
// Whether a whole reply is exactly what the request's layout gives, so that its requester may
// keep the grants. `result` is the reply's ADS result, `data` what follows its read header.
bool GrantsUsable(const GrantingRequest& request, uint32_t result, const uint8_t* data, size_t size);
// The grants of a reply, as far as its complete records tell them: a reply cut short gives
// those it holds whole, one with bytes to spare those before the spare bytes.
GrantReleases GrantsIn(const GrantingRequest& request, uint32_t result, const uint8_t* data, size_t size);
// The most bytes of a reply worth reading to find its grants.
size_t GrantBytes(const GrantingRequest& request);

class LateGrants {
public:
    using Key = std::pair<uint16_t, AmsAddr>; // (local port, target)

    // Every request, before it is sent, with its frame still the bare payload.
    void Note(uint16_t cmdId, const Key& key, const uint8_t* payload, size_t size, uint32_t invokeId);
    // The noted request a reply answers, then forgotten; cheap while nothing is noted.
    std::optional<GrantingRequest> Take(const AoEHeader& reply);

    // A request nobody waits for.
    void NoteUnawaited(uint16_t port, uint32_t invokeId);
    // Whether the reply answers one of those (then forgotten).
    bool TakeUnawaited(const AoEHeader& reply);

private:
    struct Noted {
        Key key{0, AmsAddr{AmsNetId(0u), 0}};
        uint32_t invokeId = 0; // none
        GrantingRequest request;
    };
    // A bounded record: each local port has one request in flight, so this keeps those and
    // the latest that timed out.
    static constexpr size_t NOTED = 256;
    std::array<Noted, NOTED> noted;
    size_t next = 0;
    std::atomic<size_t> count{0};
    // Bounded too: a target that never answers them must not make the record grow.
    static constexpr size_t UNAWAITED = 4096;
    std::unordered_map<uint32_t, uint16_t> unawaited; // invoke id -> local port
    std::deque<uint32_t> unawaitedOrder;
    std::atomic<size_t> unawaitedCount{0};
    std::mutex mutex;
};

} // namespace plc::ads
