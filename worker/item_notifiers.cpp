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

bool Item_Notifiers::hasAll(const std::vector<const ItemInstancePlugin*>& list) const
{
    std::lock_guard<std::mutex> lock(notifiersMutex);
    return std::all_of(list.begin(), list.end(), [this](const ItemInstancePlugin* item) {
        return notifiers.count(static_cast<quint32>(item->id)) != 0;
    });
}

Item_Notifiers::Lost Item_Notifiers::subscribe(const AdsDevice& device, std::mutex& targetMutex,
                                               Item_Subscriptions& subscriptions,
                                               const std::vector<const ItemInstancePlugin*>& list,
                                               std::chrono::seconds errorWait, Items& items,
                                               ItemTypeChecks& typeChecks)
{
    QList<ItemInstancePlugin> wanted;
    QSet<quint32> wantedIds;
    std::vector<Item_Subscriptions::Request> requests;
    const auto now = std::chrono::steady_clock::now();
    for (const ItemInstancePlugin* listed : list) {
        const ItemInstancePlugin& item = *listed;
        const quint32 itemId = static_cast<quint32>(item.id);
        // A symbol that does not exist would cost requests on every read: its error stays
        // until the error wait time has passed.
        const auto failed = failedSubscriptions.constFind(itemId);
        if (has(itemId) || wantedIds.contains(itemId) ||
            (failed != failedSubscriptions.constEnd() && now - *failed < errorWait)) {
            continue;
        }
        failedSubscriptions.remove(itemId);
        const QString previousError = items.value(itemId).error;
        items.insert(itemId, item);
        items[itemId].error = previousError;
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
        wanted.append(item);
        wantedIds.insert(itemId);
        requests.push_back({item.name, type, symbol.toUtf8().toStdString(),
                            Item_Subscriptions::attributesFor(item, type), userValue});
    }
    Lost lost;
    if (requests.empty()) {
        return lost;
    }
    std::vector<Item_Subscriptions::Outcome> outcomes;
    try {
        // notifiersMutex is not held meanwhile: readers of subscribed items never wait for the PLC.
        std::lock_guard<std::mutex> targetLock(targetMutex);
        outcomes = subscriptions.subscribe(device, requests, &Ads_Plc_Worker::setValueType);
    } catch (const std::exception& e) {
        // Nothing may escape towards the host; every item of the pass keeps the failure.
        outcomes.clear();
        outcomes.resize(requests.size());
        for (Item_Subscriptions::Outcome& outcome : outcomes) {
            outcome.fail(QString::fromLocal8Bit(e.what()));
        }
    }
    for (size_t i = 0; i < outcomes.size(); ++i) {
        adopt(wanted[static_cast<int>(i)], requests[i], outcomes[i], lost, typeChecks);
    }
    return lost;
}

void Item_Notifiers::adopt(const ItemInstancePlugin& item, const Item_Subscriptions::Request& request,
                           Item_Subscriptions::Outcome& outcome, Lost& lost, ItemTypeChecks& typeChecks)
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
    setError(itemId, outcome.text);
    log(QStringLiteral("Error. Creating item ") + item.name + QLatin1Char(' ') + outcome.logText);
    if (Ads_Plc_Worker::isConnectionError(outcome.code)) {
        lost.items.append(item);
        lost.text = outcome.text;
    } else {
        failedSubscriptions.insert(itemId, std::chrono::steady_clock::now());
    }
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
