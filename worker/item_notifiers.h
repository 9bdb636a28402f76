// The notifications of one device's items: which items are subscribed, the pass of `readData`
// that subscribes those that need it (each keeping its own outcome), the failures that wait out
// the error wait time, and giving them up again: all of them, or those the PLC took back.
#pragma once

#include "ads/AdsDevice.h"
#include "host/PluginInterface.h"
#include "worker/plc_type_check.h"
#include "worker/subscriptions.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

// One subscribed item; destroying it deletes the notification on the PLC and releases its symbol handle.
struct AdsNotificationTAV {
    AdsNotificationTAV(uint32_t item, uint32_t userValue, std::unique_ptr<AdsNotification> granted)
        : itemId(item), callbackHandle(userValue), notification(std::move(granted))
    {
    }
    uint32_t itemId;
    uint32_t callbackHandle;
    std::unique_ptr<AdsNotification> notification;
};

class Item_Notifiers {
public:
    // What the worker keeps of its items: their records with their errors.
    using Items = QMap<quint32, ItemInstancePlugin>;
    using SetError = std::function<void(quint32 itemId, const QString& error)>;
    using Log = std::function<void(const QString& line)>;

    Item_Notifiers(quint32 deviceId, SetError setError, Log log);

    bool has(quint32 itemId) const;
    size_t count() const;
    // The items of the list without a notification, in order.
    std::vector<const ItemInstancePlugin*> missing(const std::vector<const ItemInstancePlugin*>& list) const;

    // The items of the list that need a subscription, each tried once per error wait time
    // after a failure, subscribed in one pass with `subscriptions` under the target mutex.
    // Items that failed with a connection-class error are returned with that error's text.
    struct Lost {
        QList<ItemInstancePlugin> items;
        QString text;
    };
    // `overflow`, when set, takes the items the PLC had no notification left for (their outcome
    // keeps the symbol handle); otherwise they fail like any other.
    using Overflow = std::function<void(const ItemInstancePlugin& item, Item_Subscriptions::Outcome& outcome)>;
    Lost subscribe(const AdsDevice& device, std::mutex& targetMutex, Item_Subscriptions& subscriptions,
                   const std::vector<const ItemInstancePlugin*>& list, std::chrono::seconds errorWait, Items& items,
                   ItemTypeChecks& typeChecks, const Overflow& overflow = nullptr);

    // Gives every notification up (their user values first, so that a sample in flight is
    // dropped) and returns their handles for a release in bulk; failures are forgotten too.
    std::vector<AdsNotification::Handles> takeAll();
    // The same for the given items only (they are to be read another way).
    std::vector<AdsNotification::Handles> take(const std::vector<quint32>& itemIds);
    // Gives up the notifications the PLC took back (it granted their handles again) without
    // deleting them, releases their symbol handles and drops their values; their items are
    // subscribed again by the next read. Returns those items.
    std::vector<quint32> dropLost(const AdsDevice& device, const std::vector<plc::ads::LostNotification>& lost);

private:
    void adopt(const ItemInstancePlugin& item, const Item_Subscriptions::Request& request,
               Item_Subscriptions::Outcome& outcome, Lost& lost, ItemTypeChecks& typeChecks, const Overflow& overflow);
    void forgetValue(quint32 itemId, uint32_t userValue);

    const quint32 deviceId;
    const SetError setError;
    const Log log;
    // Readers of subscribed items take only this lock: they never wait for the PLC.
    mutable std::mutex notifiersMutex;
    // By item id: the host asks for every item on every read.
    std::unordered_map<quint32, std::unique_ptr<AdsNotificationTAV>> notifiers;
    // Subscriptions that failed, with when: tried again only after the error wait time.
    QHash<quint32, std::chrono::steady_clock::time_point> failedSubscriptions;
};

// Steps shared by the passes of the notified and the polled items.
namespace item_pass {
using Failures = QHash<quint32, std::chrono::steady_clock::time_point>;
// The items of `list` to take on now: not `held`, each once, and not within the error wait time
// of their last failure (a symbol that does not exist would cost requests on every read). Each
// is recorded in `items`, keeping its earlier error.
QList<ItemInstancePlugin> due(const std::vector<const ItemInstancePlugin*>& list,
                              const std::function<bool(quint32 itemId)>& held, Failures& failures,
                              std::chrono::seconds errorWait, Item_Notifiers::Items& items);
// The pass's request under the target mutex; whatever it throws is every item's failure, since
// nothing may escape towards the host.
std::vector<Item_Subscriptions::Outcome> inBulk(std::mutex& targetMutex, size_t count,
                                                const std::function<std::vector<Item_Subscriptions::Outcome>()>& request);
// A failed item: its error shown and logged; a connection-class failure joins `lost`, any other
// one is remembered so that the item waits out the error wait time.
void fail(const ItemInstancePlugin& item, const Item_Subscriptions::Outcome& outcome,
          const Item_Notifiers::SetError& setError, const Item_Notifiers::Log& log, Item_Notifiers::Lost& lost,
          Failures& failures);
} // namespace item_pass
