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
    bool hasAll(const std::vector<const ItemInstancePlugin*>& list) const;

    // The items of the list that need a subscription, each tried once per error wait time
    // after a failure, subscribed in one pass with `subscriptions` under the target mutex.
    // Items that failed with a connection-class error are returned with that error's text.
    struct Lost {
        QList<ItemInstancePlugin> items;
        QString text;
    };
    Lost subscribe(const AdsDevice& device, std::mutex& targetMutex, Item_Subscriptions& subscriptions,
                   const std::vector<const ItemInstancePlugin*>& list, std::chrono::seconds errorWait, Items& items,
                   ItemTypeChecks& typeChecks);

    // Gives every notification up (their user values first, so that a sample in flight is
    // dropped) and returns their handles for a release in bulk; failures are forgotten too.
    std::vector<AdsNotification::Handles> takeAll();
    // Gives up the notifications the PLC took back (it granted their handles again) without
    // deleting them, releases their symbol handles and drops their values; their items are
    // subscribed again by the next read. Returns those items.
    std::vector<quint32> dropLost(const AdsDevice& device, const std::vector<plc::ads::LostNotification>& lost);

private:
    void adopt(const ItemInstancePlugin& item, const Item_Subscriptions::Request& request,
               Item_Subscriptions::Outcome& outcome, Lost& lost, ItemTypeChecks& typeChecks);
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
