#include "worker/item_polls.h"

#include "worker/ads_error_texts.h"
#include "worker/ads_plc_worker.h"
#include "worker/device_statistics.h"

#include <QDateTime>
#include <QList>

#include <algorithm>
#include <exception>

using namespace plc::ads;

namespace {
// Shorter intervals would keep a PLC busy with nothing but reads.
constexpr qint32 MIN_INTERVAL_MS = 10;

// The devices polling on each PLC connection, in the order they began: each takes its own
// slot of the interval, so that their requests do not all go out at the same instant.
std::mutex sharesMutex;
QHash<QString, QList<quint32>> sharesByTarget;

std::chrono::milliseconds phaseOf(const QString& targetKey, quint32 deviceId, std::chrono::milliseconds interval)
{
    std::lock_guard<std::mutex> lock(sharesMutex);
    const QList<quint32> devices = sharesByTarget.value(targetKey);
    const int slot = std::max(0, devices.indexOf(deviceId));
    return devices.size() > 1 ? interval * slot / devices.size() : std::chrono::milliseconds(0);
}
}

Item_Polls::Item_Polls(quint32 device, QString target, Item_Notifiers::SetError setErrorOf, Item_Notifiers::Log logLine)
    : deviceId(device), targetKey(std::move(target)), setError(std::move(setErrorOf)), log(std::move(logLine))
{
}

Item_Polls::~Item_Polls()
{
    share(false);
}

void Item_Polls::share(bool polling)
{
    if (polling == shared) {
        return;
    }
    shared = polling;
    std::lock_guard<std::mutex> lock(sharesMutex);
    QList<quint32>& devices = sharesByTarget[targetKey];
    if (polling) {
        devices.append(deviceId);
    } else {
        devices.removeAll(deviceId);
        if (devices.isEmpty()) {
            sharesByTarget.remove(targetKey);
        }
    }
}

bool Item_Polls::has(quint32 itemId) const
{
    std::lock_guard<std::mutex> lock(idsMutex);
    return errors.contains(itemId);
}

bool Item_Polls::errorOf(quint32 itemId, QString* error) const
{
    std::lock_guard<std::mutex> lock(idsMutex);
    const auto it = errors.constFind(itemId);
    if (it == errors.constEnd()) {
        return false;
    }
    *error = *it;
    return true;
}

size_t Item_Polls::count() const
{
    std::lock_guard<std::mutex> lock(idsMutex);
    return static_cast<size_t>(errors.size());
}

void Item_Polls::showError(quint32 itemId, const QString& error)
{
    setError(itemId, error);
    std::lock_guard<std::mutex> lock(idsMutex);
    errors[itemId] = error;
}

std::vector<const ItemInstancePlugin*> Item_Polls::missing(const std::vector<const ItemInstancePlugin*>& list) const
{
    std::vector<const ItemInstancePlugin*> out;
    std::lock_guard<std::mutex> lock(idsMutex);
    for (const ItemInstancePlugin* item : list) {
        if (!errors.contains(static_cast<quint32>(item->id))) {
            out.push_back(item);
        }
    }
    return out;
}

Item_Polls::Lost Item_Polls::add(const AdsDevice& device, std::mutex& targetMutex, Item_Subscriptions& subscriptions,
                                 const std::vector<const ItemInstancePlugin*>& list, std::chrono::seconds errorWait,
                                 Items& items, ItemTypeChecks& typeChecks)
{
    const QList<ItemInstancePlugin> wanted = item_pass::due(
        list, [this](quint32 itemId) { return polled.count(itemId) != 0; }, failedAdds, errorWait, items);
    std::vector<Item_Subscriptions::Request> requests;
    for (const ItemInstancePlugin& item : wanted) {
        const DataType type = static_cast<DataType>(item.config.value(QStringLiteral("type")).toUInt());
        const QString symbol = item.config.value(QStringLiteral("variable_name"));
        log(QStringLiteral("Adding poll for ") + item.name + QStringLiteral(". Address: ") + symbol +
            QStringLiteral(" ID: ") + QString::number(item.id));
        requests.push_back({item.name, type, symbol.toUtf8().toStdString(),
                            Item_Subscriptions::attributesFor(item, type), 0});
    }
    Lost lost;
    if (requests.empty()) {
        return lost;
    }
    // A polled item's value entry is made with its type once the item is adopted.
    const Item_Subscriptions::Typed untold = [](uint32_t, const std::shared_ptr<const Plc_Type>&) {};
    std::vector<Item_Subscriptions::Outcome> outcomes = item_pass::inBulk(
        targetMutex, requests.size(), [&] { return subscriptions.prepareReads(device, requests, untold); });
    for (size_t i = 0; i < outcomes.size(); ++i) {
        const ItemInstancePlugin& item = wanted[static_cast<int>(i)];
        const quint32 itemId = static_cast<quint32>(item.id);
        Item_Subscriptions::Outcome& outcome = outcomes[i];
        if (outcome.typeJudged) {
            typeChecks.remember(itemId, requests[i].type, requests[i].symbol, outcome.typeCheck);
        }
        if (!outcome.failed() && outcome.readLength == 0) {
            outcome.fail(ADSERR_DEVICE_INVALIDWATCHSIZE); // as a notification of no bytes is refused
        }
        if (outcome.failed()) {
            item_pass::fail(item, outcome, setError, log, lost, failedAdds);
        } else {
            adopt(item, outcome);
        }
    }
    return lost;
}

void Item_Polls::adopt(const ItemInstancePlugin& item, Item_Subscriptions::Outcome& outcome)
{
    const std::unique_ptr<uint32_t> handle(outcome.symbolHandle.release());
    if (!handle) {
        return;
    }
    const quint32 itemId = static_cast<quint32>(item.id);
    const DataType type = static_cast<DataType>(item.config.value(QStringLiteral("type")).toUInt());
    Polled entry;
    entry.handle = *handle;
    entry.length = outcome.readLength;
    entry.type = outcome.valueType ? outcome.valueType : defaultTypeOf(type);
    entry.onChange = Item_Subscriptions::attributesFor(item, type).transmissionMode != ADS_TRANS_SERVER_CYCLE;
    entry.intervalMs = std::max(item.readIntervalMs, MIN_INTERVAL_MS);
    polled[itemId] = std::move(entry);
    Group& group = groups[std::max(item.readIntervalMs, MIN_INTERVAL_MS)];
    group.itemIds.push_back(itemId);
    // New items are read at once, as a notification sends its first sample at once.
    group.fresh = true;
    group.due = Clock::now();
    {
        std::lock_guard<std::mutex> valuesLock(Ads_Plc_Worker::valuesMutex);
        Ads_Plc_Worker::values.insert(
            Ads_Plc_Worker::ValueKey(deviceId, itemId),
            Ads_Plc_Worker::AdsValue{Ads_Plc_Worker::placeholderValue(), polled[itemId].type, QDateTime()});
    }
    share(true);
    showError(itemId, QString());
    log(QStringLiteral("Success. Poll added for ") + item.name + QStringLiteral(". Address: ") +
        item.config.value(QStringLiteral("variable_name")));
}

std::vector<AdsNotification::Handles> Item_Polls::take(const std::vector<quint32>& itemIds)
{
    std::vector<AdsNotification::Handles> released;
    QSet<quint32> gone;
    for (const quint32 itemId : itemIds) {
        failedAdds.remove(itemId);
        const auto it = polled.find(itemId);
        if (it == polled.end()) {
            continue;
        }
        released.push_back(AdsNotification::Handles{it->second.handle, 0});
        polled.erase(it);
        gone.insert(itemId);
    }
    if (gone.isEmpty()) {
        return released;
    }
    for (auto it = groups.begin(); it != groups.end();) {
        std::vector<quint32>& members = it->second.itemIds;
        members.erase(std::remove_if(members.begin(), members.end(), [&](quint32 id) { return gone.contains(id); }),
                      members.end());
        it = members.empty() ? groups.erase(it) : std::next(it);
    }
    {
        std::lock_guard<std::mutex> valuesLock(Ads_Plc_Worker::valuesMutex);
        for (const quint32 itemId : gone) {
            Ads_Plc_Worker::values.remove(Ads_Plc_Worker::ValueKey(deviceId, itemId));
        }
    }
    {
        std::lock_guard<std::mutex> lock(idsMutex);
        for (const quint32 itemId : gone) {
            errors.remove(itemId);
        }
    }
    if (polled.empty()) {
        round = Round();
        share(false);
    }
    return released;
}

std::vector<AdsNotification::Handles> Item_Polls::takeAll()
{
    std::vector<quint32> all;
    for (const auto& entry : polled) {
        all.push_back(entry.first);
    }
    failedAdds.clear();
    return take(all);
}

Item_Polls::Clock::time_point Item_Polls::nextDue() const
{
    if (round.intervalMs != 0) {
        return Clock::time_point::min();
    }
    Clock::time_point due = Clock::time_point::max();
    for (const auto& entry : groups) {
        due = std::min(due, entry.second.due);
    }
    return due;
}

bool Item_Polls::nextChunk(Clock::time_point now, bool sumUsable, Chunk& chunk)
{
    chunk = Chunk();
    chunk.single = !sumUsable;
    const size_t limit = sumUsable ? SUM_MAX_SUB_REQUESTS : 1;
    for (;;) {
        if (round.intervalMs == 0) {
            auto due = groups.end();
            for (auto it = groups.begin(); it != groups.end(); ++it) {
                if (it->second.due <= now && (due == groups.end() || it->second.due < due->second.due)) {
                    due = it;
                }
            }
            if (due == groups.end()) {
                return false;
            }
            round = Round{due->first, due->second.due, due->second.itemIds, 0};
            due->second.fresh = false;
        }
        chunk.from = round.next;
        while (round.next < round.itemIds.size() && chunk.itemIds.size() < limit) {
            const quint32 itemId = round.itemIds[round.next++];
            const auto it = polled.find(itemId);
            if (it != polled.end()) {
                chunk.itemIds.push_back(itemId);
                chunk.subs.push_back(SumReadRequest{ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, it->second.handle, it->second.length});
            }
        }
        if (!chunk.itemIds.empty()) {
            ++requests;
            return true;
        }
        finishRound(now);
    }
}

void Item_Polls::finishRound(Clock::time_point now)
{
    const Round done = round;
    round = Round();
    const auto group = groups.find(done.intervalMs);
    if (group == groups.end() || group->second.fresh) {
        return; // items added meanwhile are read at once
    }
    const std::chrono::milliseconds interval(done.intervalMs);
    const auto late = now - done.due;
    if (late >= interval) {
        skipped += static_cast<uint64_t>(late / interval);
    }
    group->second.due = nextSlot(done.intervalMs, now);
}

Item_Polls::Clock::time_point Item_Polls::nextSlot(qint32 intervalMs, Clock::time_point after) const
{
    const std::chrono::milliseconds interval(intervalMs);
    const Clock::duration phase = phaseOf(targetKey, deviceId, interval);
    const Clock::duration sincePhase = after.time_since_epoch() - phase;
    const int64_t passed = sincePhase.count() < 0 ? 0 : sincePhase / interval + 1;
    return Clock::time_point(phase + passed * interval);
}

int32_t Item_Polls::read(const AdsDevice& device, const Chunk& chunk, std::vector<SumReadWriteResult>& results)
{
    if (!chunk.single) {
        return SumRead(device.GetLocalPort(), &device.Address(), chunk.subs, &results);
    }
    const SumReadRequest& sub = chunk.subs.front();
    SumReadWriteResult one;
    one.data.assign(sub.length, 0);
    uint32_t bytesRead = 0;
    one.result = device.ReadReqEx2(sub.group, sub.offset, sub.length, one.data.data(), &bytesRead);
    if (Ads_Plc_Worker::isConnectionError(one.result)) {
        return one.result;
    }
    if (one.result == ADS_OK && bytesRead != sub.length) {
        one.result = ADS_ERR_INVALID_SIZE;
    }
    results.push_back(std::move(one));
    return ADS_OK;
}

Item_Polls::Lost Item_Polls::apply(const Chunk& chunk, int32_t status, const std::vector<SumReadWriteResult>& results,
                                   Item_Subscriptions& subscriptions, const Items& items)
{
    Lost lost;
    if (status == ADS_OK && results.size() != chunk.itemIds.size()) {
        status = ADS_ERR_INVALID_RESPONSE;
    }
    if (status != ADS_OK && !chunk.single && SumRefused(status)) {
        subscriptions.refuseSum("read", status);
        round.next = chunk.from; // the same items again, one at a time
        return lost;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    std::vector<std::pair<quint32, QString>> changed;
    std::vector<quint32> refreshed;
    std::vector<quint32> withdrawn;
    for (size_t k = 0; k < chunk.itemIds.size(); ++k) {
        const quint32 itemId = chunk.itemIds[k];
        const auto it = polled.find(itemId);
        if (it == polled.end()) {
            continue;
        }
        const int32_t code = status != ADS_OK ? status : results[k].result;
        if (code == ADS_OK) {
            store(itemId, it->second, results[k], changed, refreshed);
            continue;
        }
        fail(itemId, it->second, code, withdrawn);
        if (Ads_Plc_Worker::isConnectionError(code)) {
            lost.items.append(items.value(itemId));
            lost.text = errorToString(code);
        }
    }
    if (changed.empty() && refreshed.empty() && withdrawn.empty()) {
        return lost;
    }
    // Each stored value counts as a sample, as a notification's would.
    std::lock_guard<std::mutex> valuesLock(Ads_Plc_Worker::valuesMutex);
    for (const auto& value : changed) {
        const auto entry = Ads_Plc_Worker::values.find(Ads_Plc_Worker::ValueKey(deviceId, value.first));
        if (entry != Ads_Plc_Worker::values.end()) {
            entry->value = value.second;
            entry->timestamp = now;
            Device_Statistics::noteSample(deviceId, value.first);
        }
    }
    for (const quint32 itemId : refreshed) {
        const auto entry = Ads_Plc_Worker::values.find(Ads_Plc_Worker::ValueKey(deviceId, itemId));
        if (entry != Ads_Plc_Worker::values.end()) {
            entry->timestamp = now;
            Device_Statistics::noteSample(deviceId, itemId);
        }
    }
    // A value that could not be read is not shown as if it were current.
    for (const quint32 itemId : withdrawn) {
        const auto entry = Ads_Plc_Worker::values.find(Ads_Plc_Worker::ValueKey(deviceId, itemId));
        if (entry != Ads_Plc_Worker::values.end()) {
            entry->value = Ads_Plc_Worker::placeholderValue();
            entry->timestamp = QDateTime();
        }
    }
    return lost;
}

void Item_Polls::store(quint32 itemId, Polled& entry, const SumReadWriteResult& result,
                       std::vector<std::pair<quint32, QString>>& changed, std::vector<quint32>& refreshed)
{
    if (entry.failure != 0) {
        entry.failure = 0;
        showError(itemId, QString());
    }
    if (entry.stored && result.data == entry.last) {
        // Like a notification: on change nothing comes, a cyclic sample carries its time.
        if (!entry.onChange) {
            refreshed.push_back(itemId);
        }
        return;
    }
    entry.last = result.data;
    entry.stored = true;
    changed.emplace_back(itemId, entry.type ? bytesToText(*entry.type, entry.last.data(), entry.last.size())
                                            : QString());
}

void Item_Polls::fail(quint32 itemId, Polled& entry, int32_t code, std::vector<quint32>& withdrawn)
{
    if (entry.stored) {
        entry.stored = false;
        withdrawn.push_back(itemId);
    }
    // A failure that lasts is said once, not at every interval.
    if (entry.failure == code) {
        return;
    }
    entry.failure = code;
    showError(itemId, errorToString(code));
    log(QStringLiteral("Error. Reading item ID: ") + QString::number(itemId) + QStringLiteral(" failed. ") +
        errorToString(code) + QStringLiteral(" Code: ") + QString::number(code));
}
