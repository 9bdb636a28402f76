#include "worker/item_notifiers.h"

#include "worker/ads_plc_worker.h"

#include <algorithm>
#include <exception>

Item_Notifiers::Item_Notifiers(quint32 device, SetError setErrorOf, Log logLine)
    : deviceId(device), setError(std::move(setErrorOf)), log(std::move(logLine))
{
}

bool Item_Notifiers::has(quint32 itemId) const
{
    std::lock_guard<std::mutex> lock(notifiersMutex);
    return notifiers.count(itemId) != 0;
}

size_t Item_Notifiers::count() const
{
    std::lock_guard<std::mutex> lock(notifiersMutex);
    return notifiers.size();
}

std::vector<const ItemInstancePlugin*> Item_Notifiers::missing(const std::vector<const ItemInstancePlugin*>& list) const
{
    std::vector<const ItemInstancePlugin*> out;
    std::lock_guard<std::mutex> lock(notifiersMutex);
    for (const ItemInstancePlugin* item : list) {
        if (notifiers.count(static_cast<quint32>(item->id)) == 0) {
            out.push_back(item);
        }
    }
    return out;
}

Item_Notifiers::Lost Item_Notifiers::subscribe(const AdsDevice& device, std::mutex& targetMutex,
                                               Item_Subscriptions& subscriptions,
                                               const std::vector<const ItemInstancePlugin*>& list,
                                               std::chrono::seconds errorWait, Items& items,
                                               ItemTypeChecks& typeChecks, const Overflow& overflow)
{
    const QList<ItemInstancePlugin> wanted =
        item_pass::due(list, [this](quint32 itemId) { return has(itemId); }, failedSubscriptions, errorWait, items);
    std::vector<Item_Subscriptions::Request> requests;
    for (const ItemInstancePlugin& item : wanted) {
        const quint32 itemId = static_cast<quint32>(item.id);
        const DataType type = static_cast<DataType>(item.config.value(QStringLiteral("type")).toUInt());
        const QString symbol = item.config.value(QStringLiteral("variable_name"));
        log(QStringLiteral("Adding notifier for ") + item.name + QStringLiteral(". Address: ") + symbol +
            QStringLiteral(" ID: ") + QString::number(itemId));
        const uint32_t userValue = Ads_Plc_Worker::registerCallbackHandle(deviceId, itemId);
        // The PLC sends the first sample as soon as the notification exists; an unchanging
        // variable sends no other, so its entry must be there before the request goes out.
        {
            std::lock_guard<std::mutex> valuesLock(Ads_Plc_Worker::valuesMutex);
            Ads_Plc_Worker::values.insert(
                Ads_Plc_Worker::ValueKey(deviceId, itemId),
                Ads_Plc_Worker::AdsValue{Ads_Plc_Worker::placeholderValue(), defaultTypeOf(type), QDateTime()});
        }
        requests.push_back({item.name, type, symbol.toUtf8().toStdString(),
                            Item_Subscriptions::attributesFor(item, type), userValue});
    }
    Lost lost;
    if (requests.empty()) {
        return lost;
    }
    // notifiersMutex is not held meanwhile: readers of subscribed items never wait for the PLC.
    std::vector<Item_Subscriptions::Outcome> outcomes = item_pass::inBulk(
        targetMutex, requests.size(), [&] { return subscriptions.subscribe(device, requests, &Ads_Plc_Worker::setValueType); });
    for (size_t i = 0; i < outcomes.size(); ++i) {
        adopt(wanted[static_cast<int>(i)], requests[i], outcomes[i], lost, typeChecks, overflow);
    }
    return lost;
}

void Item_Notifiers::adopt(const ItemInstancePlugin& item, const Item_Subscriptions::Request& request,
                           Item_Subscriptions::Outcome& outcome, Lost& lost, ItemTypeChecks& typeChecks,
                           const Overflow& overflow)
{
    const quint32 itemId = static_cast<quint32>(item.id);
    if (outcome.typeJudged) {
        typeChecks.remember(itemId, request.type, request.symbol, outcome.typeCheck);
    }
    if (outcome.notification) {
        {
            std::lock_guard<std::mutex> lock(notifiersMutex);
            notifiers[itemId] = std::make_unique<AdsNotificationTAV>(itemId, request.userValue,
                                                                     std::move(outcome.notification));
        }
        log(QStringLiteral("Success. Notifier added for ") + item.name + QStringLiteral(". Address: ") +
            QString::fromStdString(request.symbol));
        setError(itemId, QString());
        return;
    }
    forgetValue(itemId, request.userValue);
    if (overflow && outcome.outOfNotifications()) {
        overflow(item, outcome);
        return;
    }
    item_pass::fail(item, outcome, setError, log, lost, failedSubscriptions);
}

void Item_Notifiers::forgetValue(quint32 itemId, uint32_t userValue)
{
    Ads_Plc_Worker::unregisterCallbackHandle(userValue);
    std::lock_guard<std::mutex> valuesLock(Ads_Plc_Worker::valuesMutex);
    Ads_Plc_Worker::values.remove(Ads_Plc_Worker::ValueKey(deviceId, itemId));
}

std::vector<AdsNotification::Handles> Item_Notifiers::takeAll()
{
    failedSubscriptions.clear();
    decltype(notifiers) removed;
    {
        std::lock_guard<std::mutex> lock(notifiersMutex);
        removed.swap(notifiers);
    }
    std::vector<AdsNotification::Handles> released;
    for (auto& entry : removed) {
        Ads_Plc_Worker::unregisterCallbackHandle(entry.second->callbackHandle);
        released.push_back(entry.second->notification->Release());
    }
    return released;
}

std::vector<AdsNotification::Handles> Item_Notifiers::take(const std::vector<quint32>& itemIds)
{
    std::vector<AdsNotification::Handles> released;
    for (const quint32 itemId : itemIds) {
        std::unique_ptr<AdsNotificationTAV> entry;
        {
            std::lock_guard<std::mutex> lock(notifiersMutex);
            const auto it = notifiers.find(itemId);
            if (it == notifiers.end()) {
                continue;
            }
            entry = std::move(it->second);
            notifiers.erase(it);
        }
        forgetValue(itemId, entry->callbackHandle);
        released.push_back(entry->notification->Release());
    }
    return released;
}

std::vector<quint32> Item_Notifiers::dropLost(const AdsDevice& device,
                                              const std::vector<plc::ads::LostNotification>& lost)
{
    std::vector<quint32> dropped;
    std::vector<uint32_t> symbols;
    for (const plc::ads::LostNotification& gone : lost) {
        if (gone.callback != NotifyCallback) {
            continue;
        }
        std::unique_ptr<AdsNotificationTAV> entry;
        {
            std::lock_guard<std::mutex> lock(notifiersMutex);
            const auto it = std::find_if(notifiers.begin(), notifiers.end(), [&](const auto& e) {
                return e.second->callbackHandle == gone.userValue;
            });
            if (it == notifiers.end()) {
                continue;
            }
            entry = std::move(it->second);
            notifiers.erase(it);
        }
        forgetValue(entry->itemId, entry->callbackHandle);
        // The notification's handle may belong to another subscription now: it is not deleted.
        const AdsNotification::Handles handles = entry->notification->Release();
        if (handles.symbol != 0) {
            symbols.push_back(handles.symbol);
        }
        dropped.push_back(entry->itemId);
    }
    if (!symbols.empty()) {
        device.ReleaseUnawaited({}, symbols);
    }
    return dropped;
}

namespace item_pass {

QList<ItemInstancePlugin> due(const std::vector<const ItemInstancePlugin*>& list,
                              const std::function<bool(quint32 itemId)>& held, Failures& failures,
                              std::chrono::seconds errorWait, Item_Notifiers::Items& items)
{
    QList<ItemInstancePlugin> wanted;
    QSet<quint32> wantedIds;
    const auto now = std::chrono::steady_clock::now();
    for (const ItemInstancePlugin* listed : list) {
        const quint32 itemId = static_cast<quint32>(listed->id);
        const auto failed = failures.constFind(itemId);
        if (held(itemId) || wantedIds.contains(itemId) || (failed != failures.constEnd() && now - *failed < errorWait)) {
            continue;
        }
        failures.remove(itemId);
        const QString previousError = items.value(itemId).error;
        items.insert(itemId, *listed);
        items[itemId].error = previousError;
        wanted.append(*listed);
        wantedIds.insert(itemId);
    }
    return wanted;
}

std::vector<Item_Subscriptions::Outcome> inBulk(std::mutex& targetMutex, size_t count,
                                                const std::function<std::vector<Item_Subscriptions::Outcome>()>& request)
{
    try {
        std::lock_guard<std::mutex> targetLock(targetMutex);
        return request();
    } catch (const std::exception& e) {
        std::vector<Item_Subscriptions::Outcome> outcomes(count);
        for (Item_Subscriptions::Outcome& outcome : outcomes) {
            outcome.fail(QString::fromLocal8Bit(e.what()));
        }
        return outcomes;
    }
}

void fail(const ItemInstancePlugin& item, const Item_Subscriptions::Outcome& outcome,
          const Item_Notifiers::SetError& setError, const Item_Notifiers::Log& log, Item_Notifiers::Lost& lost,
          Failures& failures)
{
    setError(static_cast<quint32>(item.id), outcome.text);
    log(QStringLiteral("Error. Creating item ") + item.name + QLatin1Char(' ') + outcome.logText);
    if (Ads_Plc_Worker::isConnectionError(outcome.code)) {
        lost.items.append(item);
        lost.text = outcome.text;
    } else {
        failures.insert(static_cast<quint32>(item.id), std::chrono::steady_clock::now());
    }
}

} // namespace item_pass
