#include "worker/subscriptions.h"

#include "ads/AdsSum.h"
#include "ads/AdsSymbols.h"
#include "ads/LittleEndian.h"
#include "worker/ads_error_texts.h"
#include "worker/ads_plc_worker.h"
#include "worker/item_steps.h"
#include "worker/plc_type_check.h"

#include <algorithm>
#include <limits>
#include <unordered_map>

using namespace plc::ads;

struct Item_Subscriptions::Pending {
    Request request;
    OwnedHandle symbolHandle;
    bool typeChecked = false;
    Outcome outcome;

    bool failed() const { return outcome.failed(); }
    void fail(int32_t code) { outcome.fail(code); }
    void fail(const QString& text) { outcome.fail(text); }
};

using namespace item_steps;

Item_Subscriptions::Item_Subscriptions(PAdsNotificationFuncEx notifyCallback, QString name, Log logLine)
    : callback(notifyCallback), deviceName(std::move(name)), log(std::move(logLine))
{
}

void Item_Subscriptions::reset()
{
    sumRefused = false;
    infoMissing = false;
    dataTypes.forget();
}

Layouts_Source Item_Subscriptions::layoutsOf(const AdsDevice& device)
{
    return [this, &device](int32_t& code) { return dataTypes.layoutsFor(device, code); };
}

AdsNotificationAttrib Item_Subscriptions::attributesFor(const ItemInstancePlugin& item, DataType type)
{
    bool modeOk = false;
    int mode = item.config.value(QStringLiteral("notification_transmission_mode")).toInt(&modeOk);
    if (!modeOk || mode < 1) {
        mode = ADS_TRANS_SERVER_ON_CHANGE;
    }
    AdsNotificationAttrib attributes;
    attributes.watchedLength = dataLength(type);
    attributes.transmissionMode = static_cast<uint32_t>(mode);
    attributes.maximumDelay = 0;
    // In 100 ns units: above 429,496 ms the period no longer fits and would wrap to a short one.
    const uint64_t period = uint64_t(std::max<qint32>(item.readIntervalMs, 0)) * 10000u;
    attributes.samplingPeriod = static_cast<uint32_t>(std::min<uint64_t>(period, std::numeric_limits<uint32_t>::max()));
    return attributes;
}

void Item_Subscriptions::refuseSum(const char* command, int32_t code)
{
    if (!sumRefused) {
        log(QStringLiteral("Sum commands not usable with ") + deviceName + QStringLiteral(" (") +
                QLatin1String(command) + QStringLiteral(": code ") + QString::number(code) +
                QStringLiteral("); serving items one by one on this connection"),
            true);
    }
    sumRefused = true;
}

std::vector<Item_Subscriptions::Outcome> Item_Subscriptions::subscribe(const AdsDevice& device,
                                                                       std::vector<Request> requests,
                                                                       const Typed& typed)
{
    return run(device, std::move(requests), true, typed);
}

std::vector<Item_Subscriptions::Outcome> Item_Subscriptions::prepareReads(const AdsDevice& device,
                                                                          std::vector<Request> requests,
                                                                          const Typed& typed)
{
    return run(device, std::move(requests), false, typed);
}

std::vector<Item_Subscriptions::Outcome> Item_Subscriptions::run(const AdsDevice& device, std::vector<Request> requests,
                                                                 bool notify, const Typed& typed)
{
    std::vector<Pending> items(requests.size());
    for (size_t i = 0; i < requests.size(); ++i) {
        items[i].request = std::move(requests[i]);
    }
    takeHandles(device, items, *this);
    checkTypes(device, items);
    announceTypes(items, typed);
    if (notify) {
        addNotifications(device, items);
    }
    std::vector<Outcome> outcomes;
    for (Pending& item : items) {
        // Items to be polled keep their symbol handle: those prepared, those the PLC had no notification for.
        if (notify ? item.outcome.outOfNotifications() : !item.failed()) {
            item.outcome.symbolHandle = std::move(item.symbolHandle);
            item.outcome.readLength = item.request.attributes.watchedLength;
        }
        outcomes.push_back(std::move(item.outcome));
    }
    // Handles of other failed items are released here, when `items` ends.
    return outcomes;
}

bool Item_Subscriptions::Outcome::outOfNotifications() const
{
    return code == ADSERR_DEVICE_NOMOREHDLS || code == ADSERR_DEVICE_NOMEMORY;
}

void Item_Subscriptions::judge(const AdsDevice& device, Pending& item, int32_t code, const SymbolEntry& entry)
{
    const Symbol_Check check = judgeSymbolInfo(item.request.type, code, entry, layoutsOf(device));
    item.typeChecked = true;
    item.outcome.valueType = check.type;
    if (code == ADS_OK) {
        item.outcome.typeJudged = true;
        item.outcome.typeCheck = ItemTypeCheck{check.mismatch.isEmpty(), check.type, check.mismatch};
    }
    switch (check.outcome) {
    case Symbol_Check::Fail:
        check.code != 0 ? item.fail(check.code) : item.fail(check.mismatch);
        break;
    case Symbol_Check::InfoMissing:
        noteSymbolInfoMissing(code);
        break;
    case Symbol_Check::Unchecked:
        log(QStringLiteral("Symbol information for ") + item.request.itemName +
            QStringLiteral(" unusable, type not checked. Code: ") + QString::number(code),
            false);
        break;
    case Symbol_Check::Watch:
        break;
    }
}

void Item_Subscriptions::announceTypes(std::vector<Pending>& items, const Typed& typed)
{
    for (Pending& item : items) {
        if (item.failed()) {
            continue;
        }
        // Without a verdict (no symbol information) the item's own type is all there is.
        if (!item.outcome.valueType) {
            item.outcome.valueType = defaultTypeOf(item.request.type);
        }
        if (!item.outcome.valueType) {
            item.fail(typeUnknownText());
            continue;
        }
        item.request.attributes.watchedLength = static_cast<uint32_t>(item.outcome.valueType->size);
        typed(item.request.userValue, item.outcome.valueType);
    }
}

void Item_Subscriptions::noteSymbolInfoMissing(int32_t code)
{
    if (!infoMissing) {
        log(QStringLiteral("Symbol information not offered by ") + deviceName +
                QStringLiteral(": item types cannot be checked; an item whose type does not fit its PLC "
                               "variable shows wrong values. ") +
                withErrorCode(errorToString(code), code),
            true);
    }
    infoMissing = true;
}

void Item_Subscriptions::checkTypes(const AdsDevice& device, std::vector<Pending>& items)
{
    if (infoMissing) {
        return;
    }
    const std::vector<size_t> indices = going(items);
    if (sumUsable(indices.size())) {
        std::vector<std::string> symbols;
        for (const size_t i : indices) {
            symbols.push_back(items[i].request.symbol);
        }
        std::vector<std::pair<int32_t, SymbolEntry>> answers;
        const int32_t status = sumSymbolInfos(device, symbols, answers);
        for (size_t k = 0; k < answers.size(); ++k) {
            const int32_t code = answers[k].first;
            if (code != ADS_ERR_INVALID_SIZE && code != ADS_ERR_INVALID_RESPONSE) {
                judge(device, items[indices[k]], code, answers[k].second);
            }
        }
        afterSum(items, indices, answers.size(), status, *this, "symbol information");
    }
    oneByOne(items, [&](Pending& item) {
        if (item.typeChecked || infoMissing) {
            return;
        }
        SymbolEntry entry;
        const int32_t code =
            ReadSymbolInfoByName(device.GetLocalPort(), &device.Address(), item.request.symbol, &entry);
        judge(device, item, code, entry);
    });
}

void Item_Subscriptions::addNotifications(const AdsDevice& device, std::vector<Pending>& items)
{
    const std::vector<size_t> indices = going(items);
    if (sumUsable(indices.size())) {
        std::vector<SumNotificationRequest> subs;
        for (const size_t i : indices) {
            const Request& r = items[i].request;
            subs.push_back(SumNotificationRequest{ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, *items[i].symbolHandle,
                                                  r.attributes, callback, r.userValue});
        }
        std::vector<SumGrant> grants;
        const int32_t status = SumAddDeviceNotifications(device.GetLocalPort(), &device.Address(), subs, &grants);
        for (size_t k = 0; k < grants.size(); ++k) {
            Pending& item = items[indices[k]];
            if (grants[k].result != ADS_OK) {
                item.fail(grants[k].result);
                continue;
            }
            OwnedHandle notification = device.AdoptNotificationHandle(grants[k].handle);
            item.outcome.notification =
                std::make_unique<AdsNotification>(std::move(item.symbolHandle), std::move(notification));
        }
        afterSum(items, indices, grants.size(), status, *this, "add notification");
    }
    oneByOne(items, [&](Pending& item) {
        if (item.outcome.notification) {
            return;
        }
        const uint32_t symbolHandle = *item.symbolHandle;
        OwnedHandle notification = device.GetHandle(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, symbolHandle,
                                                    item.request.attributes, callback, item.request.userValue);
        item.outcome.notification =
            std::make_unique<AdsNotification>(std::move(item.symbolHandle), std::move(notification));
    });
}

void Item_Subscriptions::release(const AdsDevice& device, const std::vector<AdsNotification::Handles>& handles)
{
    std::vector<uint32_t> notifications;
    std::vector<uint32_t> symbols;
    for (const AdsNotification::Handles& h : handles) {
        if (h.notification != 0) {
            notifications.push_back(h.notification);
        }
        if (h.symbol != 0) {
            symbols.push_back(h.symbol);
        }
    }
    bool deleted = false;
    bool unanswered = false;
    if (sumUsable(notifications.size())) {
        std::vector<int32_t> results;
        const int32_t status =
            SumDelDeviceNotifications(device.GetLocalPort(), &device.Address(), notifications, &results);
        deleted = !results.empty();
        if (!deleted) {
            refuseSum("delete notification", status);
        }
        unanswered = deleted && Ads_Plc_Worker::isConnectionError(status);
    }
    if (!deleted) {
        for (const uint32_t h : notifications) {
            device.DeleteNotificationHandle(h);
        }
    }
    // A PLC that did not answer the deletes may only be slow: the releases go without waiting.
    if (unanswered) {
        device.ReleaseUnawaited({}, symbols);
        return;
    }
    if (sumUsable(symbols.size())) {
        std::vector<SumWriteRequest> subs;
        for (const uint32_t h : symbols) {
            std::vector<uint8_t> bytes(sizeof(h));
            le::Write<uint32_t>(bytes.data(), h);
            subs.push_back(SumWriteRequest{ADS_IGRP_SYMBOL_RELEASE_HANDLE, 0, std::move(bytes)});
        }
        std::vector<int32_t> results;
        const int32_t status = SumWrite(device.GetLocalPort(), &device.Address(), subs, &results);
        if (results.size() == symbols.size()) {
            return;
        }
        if (SumRefused(status) && results.empty()) {
            refuseSum("release handles", status);
        }
        const std::vector<uint32_t> rest(symbols.begin() + static_cast<std::ptrdiff_t>(results.size()), symbols.end());
        if (Ads_Plc_Worker::isConnectionError(status)) {
            device.ReleaseUnawaited({}, rest);
            return;
        }
        symbols = rest;
    }
    for (const uint32_t h : symbols) {
        device.DeleteSymbolHandle(h);
    }
}

namespace item_steps {
namespace {
// Room for a symbol entry's type name, comment and what newer runtimes append; an entry that
// does not fit is asked for again on its own.
constexpr uint32_t SYMBOL_INFO_SPARE = 1024;

std::vector<uint8_t> bytesOf(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}
}

int32_t sumSymbolHandles(const AdsDevice& device, const std::vector<std::string>& symbols,
                         std::vector<std::pair<int32_t, OwnedHandle>>& answers)
{
    std::vector<SumReadWriteRequest> subs;
    for (const std::string& symbol : symbols) {
        subs.push_back(SumReadWriteRequest{ADS_IGRP_SYMBOL_HANDLE_BY_NAME, 0, 4, bytesOf(symbol)});
    }
    std::vector<SumReadWriteResult> results;
    const int32_t status = SumReadWrite(device.GetLocalPort(), &device.Address(), subs, &results);
    std::unordered_map<uint32_t, size_t> holders;
    for (const SumReadWriteResult& r : results) {
        if (r.result != ADS_OK || r.data.size() != sizeof(uint32_t)) {
            answers.emplace_back(r.result != ADS_OK ? r.result : int32_t{ADS_ERR_INVALID_SIZE}, OwnedHandle());
            continue;
        }
        const uint32_t handle = le::Read<uint32_t>(r.data.data());
        answers.emplace_back(ADS_OK, device.AdoptSymbolHandle(handle));
        // One handle for two different variables reads one of them for both: neither is used,
        // and the handle is released once.
        const auto [holder, first] = holders.emplace(handle, answers.size() - 1);
        if (!first && QString::fromStdString(symbols[holder->second])
                              .compare(QString::fromStdString(symbols[answers.size() - 1]), Qt::CaseInsensitive) != 0) {
            delete answers.back().second.release();
            answers.back().first = ADS_ERR_INVALID_RESPONSE;
            answers[holder->second].first = ADS_ERR_INVALID_RESPONSE;
        }
    }
    for (auto& answer : answers) {
        if (answer.first != ADS_OK) {
            answer.second.reset();
        }
    }
    return status;
}

int32_t sumSymbolInfos(const AdsDevice& device, const std::vector<std::string>& symbols,
                       std::vector<std::pair<int32_t, SymbolEntry>>& answers)
{
    std::vector<SumReadWriteRequest> subs;
    for (const std::string& symbol : symbols) {
        const uint32_t room = static_cast<uint32_t>(SYMBOL_ENTRY_HEADER_SIZE + 3 + symbol.size()) + SYMBOL_INFO_SPARE;
        subs.push_back(SumReadWriteRequest{ADS_IGRP_SYMBOL_INFO_BY_NAME, 0, room, bytesOf(symbol)});
    }
    std::vector<SumReadWriteResult> results;
    const int32_t status = SumReadWrite(device.GetLocalPort(), &device.Address(), subs, &results);
    for (const SumReadWriteResult& r : results) {
        SymbolEntry entry;
        size_t consumed = 0;
        const int32_t code =
            r.result != ADS_OK ? r.result : DecodeSymbolEntry(r.data.data(), r.data.size(), entry, consumed);
        answers.emplace_back(code, std::move(entry));
    }
    return status;
}
} // namespace item_steps
