// The polled items of one device: read by cyclic sum reads of their symbol values instead of
// device notifications, grouped by read interval, each group once per interval in requests of
// at most 500 sub-reads. Values are stored like a notification's samples. The rounds of all
// devices on one PLC connection are spread over the interval; a round still running when the
// next is due skips that one (counted), never stacks it.
//
// Everything but the look-ups is called with the device's deviceMutex held; the worker sends
// each request of a round with the target mutex held for that request only.
#pragma once

#include "ads/AdsDevice.h"
#include "ads/AdsSum.h"
#include "host/PluginInterface.h"
#include "worker/item_notifiers.h"
#include "worker/plc_type_check.h"
#include "worker/plc_values.h"
#include "worker/subscriptions.h"

#include <QHash>
#include <QSet>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

class Item_Polls {
public:
    using Clock = std::chrono::steady_clock;
    using Items = Item_Notifiers::Items;
    using Lost = Item_Notifiers::Lost;

    // `targetKey` names the PLC connection whose devices share out the interval.
    Item_Polls(quint32 deviceId, QString targetKey, Item_Notifiers::SetError setError, Item_Notifiers::Log log);
    ~Item_Polls();
    Item_Polls(const Item_Polls&) = delete;
    Item_Polls& operator=(const Item_Polls&) = delete;

    // Look-ups from any thread.
    bool has(quint32 itemId) const;
    // Whether the item is polled, with its error text (empty while its reads succeed).
    bool errorOf(quint32 itemId, QString* error) const;
    size_t count() const;
    std::vector<const ItemInstancePlugin*> missing(const std::vector<const ItemInstancePlugin*>& list) const;
    uint64_t skippedRounds() const { return skipped.load(); }
    uint64_t requestsSent() const { return requests.load(); }

    // Takes symbol handles and type checks in bulk for the items of the list that are not yet
    // polled (a failed one is tried again after the error wait time) and polls them from now on.
    Lost add(const AdsDevice& device, std::mutex& targetMutex, Item_Subscriptions& subscriptions,
             const std::vector<const ItemInstancePlugin*>& list, std::chrono::seconds errorWait, Items& items,
             ItemTypeChecks& typeChecks);
    // Polls an item whose outcome already holds its symbol handle and read length.
    void adopt(const ItemInstancePlugin& item, Item_Subscriptions::Outcome& outcome);

    // Stops polling the items (all of them) and drops their values; returns their symbol
    // handles for a release in bulk.
    std::vector<AdsNotification::Handles> take(const std::vector<quint32>& itemIds);
    std::vector<AdsNotification::Handles> takeAll();

    // When the next request is due; Clock::time_point::max() when nothing is polled.
    Clock::time_point nextDue() const;

    // One request of a round: the sub-reads of `itemIds`, in order.
    struct Chunk {
        std::vector<quint32> itemIds;
        std::vector<plc::ads::SumReadRequest> subs;
        bool single = false; // one plain read: the PLC takes no sum commands
        size_t from = 0;     // where in its round the chunk begins
    };
    // The next request of the round under way, or of a round that is due at `now`; false when none.
    bool nextChunk(Clock::time_point now, bool sumUsable, Chunk& chunk);
    // Sends the chunk; called with the target mutex held. One result per sub-read on success.
    static int32_t read(const AdsDevice& device, const Chunk& chunk, std::vector<plc::ads::SumReadWriteResult>& results);
    // Stores what the request brought. A failed sub-read is its item's error; a request that
    // failed as a whole sets the error of each of its items and is tried again at the next
    // interval, unless the PLC refused sum reads (the round goes on one item at a time). Items
    // that failed with a connection-class error are returned.
    Lost apply(const Chunk& chunk, int32_t status, const std::vector<plc::ads::SumReadWriteResult>& results,
               Item_Subscriptions& subscriptions, const Items& items);

private:
    struct Polled {
        uint32_t handle = 0;
        uint32_t length = 0;
        std::shared_ptr<const Plc_Type> type;
        bool onChange = true;
        qint32 intervalMs = 0;
        int32_t failure = 0; // the code shown as the item's error
        bool stored = false; // `last` is the value in the values table
        std::vector<uint8_t> last;
    };
    struct Group {
        std::vector<quint32> itemIds;
        Clock::time_point due;
        bool fresh = false; // items joined since its last round began
    };
    struct Round {
        qint32 intervalMs = 0;
        Clock::time_point due;
        std::vector<quint32> itemIds;
        size_t next = 0;
    };

    void store(quint32 itemId, Polled& polled, const plc::ads::SumReadWriteResult& result,
               std::vector<std::pair<quint32, QString>>& changed, std::vector<quint32>& refreshed);
    void fail(quint32 itemId, Polled& polled, int32_t code, std::vector<quint32>& withdrawn);
    void showError(quint32 itemId, const QString& error);
    void finishRound(Clock::time_point now);
    Clock::time_point nextSlot(qint32 intervalMs, Clock::time_point after) const;
    void share(bool polling);

    const quint32 deviceId;
    const QString targetKey;
    const Item_Notifiers::SetError setError;
    const Item_Notifiers::Log log;

    std::unordered_map<quint32, Polled> polled;
    std::map<qint32, Group> groups; // by read interval
    Round round;                    // intervalMs 0: none under way
    item_pass::Failures failedAdds;
    bool shared = false;            // registered among the target's polling devices

    mutable std::mutex idsMutex; // guards `errors`: look-ups never wait for the PLC
    QHash<quint32, QString> errors; // every polled item, with its error text
    std::atomic<uint64_t> skipped{0};
    std::atomic<uint64_t> requests{0};
};
