#include "worker/bulk_writes.h"

#include "ads/AdsSum.h"
#include "ads/AdsSymbols.h"
#include "worker/ads_error_texts.h"
#include "worker/item_steps.h"

using namespace plc::ads;
using namespace item_steps;

struct Item_Writes::Pending {
    Request request;
    std::optional<ItemTypeCheck> check; // set once judged, or known to stay unchecked
    std::vector<uint8_t> bytes;
    OwnedHandle symbolHandle;
    bool written = false;
    Outcome outcome;

    bool failed() const { return outcome.failed(); }
    void fail(int32_t code) { outcome.fail(code); }
    void fail(const QString& text) { outcome.fail(text); }
};

Item_Writes::Item_Writes(Item_Subscriptions& subs, Item_Subscriptions::Log logLine)
    : subscriptions(subs), log(std::move(logLine))
{
}

std::vector<Item_Writes::Outcome> Item_Writes::write(const AdsDevice& device, std::vector<Request> requests)
{
    std::vector<Pending> items(requests.size());
    for (size_t i = 0; i < requests.size(); ++i) {
        items[i].request = std::move(requests[i]);
        items[i].check = items[i].request.known;
        // A type without a text conversion is refused without asking the PLC.
        if (!hasTextConversion(items[i].request.type)) {
            items[i].fail(valueToBytes(items[i].request.value, items[i].request.type, nullptr, 0));
        }
    }
    judgeTypes(device, items);
    convert(items);
    takeHandles(device, items, subscriptions);
    writeValues(device, items);
    releaseHandles(device, items);
    std::vector<Outcome> outcomes;
    for (Pending& item : items) {
        outcomes.push_back(std::move(item.outcome));
    }
    return outcomes;
}

void Item_Writes::judge(const AdsDevice& device, Pending& item, int32_t code, const SymbolEntry& entry)
{
    const Symbol_Check check = judgeSymbolInfo(item.request.type, code, entry, subscriptions.layoutsOf(device));
    item.check = ItemTypeCheck();
    if (code == ADS_OK) {
        item.outcome.typeJudged = true;
        item.outcome.typeCheck = ItemTypeCheck{check.mismatch.isEmpty(), check.type, check.mismatch};
        item.check = item.outcome.typeCheck;
    }
    switch (check.outcome) {
    case Symbol_Check::Fail:
        if (check.code != 0) {
            item.fail(check.code);
        }
        break; // a mismatch is refused with the conversion
    case Symbol_Check::InfoMissing:
        subscriptions.noteSymbolInfoMissing(code);
        break;
    case Symbol_Check::Unchecked:
        // An answer the check cannot use must not keep an item from being written as before.
        log(QStringLiteral("Symbol information for ") + item.request.itemName +
                QStringLiteral(" unusable, type not checked. Code: ") + QString::number(code),
            false);
        break;
    case Symbol_Check::Watch:
        break;
    }
}

void Item_Writes::judgeTypes(const AdsDevice& device, std::vector<Pending>& items)
{
    const auto unjudged = [](const Pending& item) { return !item.check; };
    const std::vector<size_t> indices = going(items, unjudged);
    if (!subscriptions.symbolInfoMissing() && subscriptions.sumUsable(indices.size())) {
        std::vector<std::string> symbols;
        for (const size_t i : indices) {
            symbols.push_back(items[i].request.symbol);
        }
        std::vector<std::pair<int32_t, SymbolEntry>> answers;
        const int32_t status = sumSymbolInfos(device, symbols, answers);
        for (size_t k = 0; k < answers.size(); ++k) {
            const int32_t code = answers[k].first;
            // An entry larger than the room it was given is asked for again on its own.
            if (code != ADS_ERR_INVALID_SIZE && code != ADS_ERR_INVALID_RESPONSE) {
                judge(device, items[indices[k]], code, answers[k].second);
            }
        }
        afterSum(items, indices, answers.size(), status, subscriptions, "symbol information");
    }
    oneByOne(items, [&](Pending& item) {
        if (item.check) {
            return;
        }
        if (subscriptions.symbolInfoMissing()) {
            item.check = ItemTypeCheck();
            return;
        }
        SymbolEntry entry;
        const int32_t code =
            ReadSymbolInfoByName(device.GetLocalPort(), &device.Address(), item.request.symbol, &entry);
        judge(device, item, code, entry);
    });
}

void Item_Writes::convert(std::vector<Pending>& items)
{
    for (Pending& item : items) {
        if (item.failed()) {
            continue;
        }
        const Request& r = item.request;
        const ItemTypeCheck check = item.check.value_or(ItemTypeCheck());
        // Bytes of the wrong size would land in neighbouring PLC memory or in part of the variable.
        if (!check.fits) {
            item.fail(check.mismatch);
            continue;
        }
        // Written as the PLC's variable is: a STRING(n) with all of its n + 1 bytes, an array whole.
        const std::shared_ptr<const Plc_Type> type = check.type ? check.type : defaultTypeOf(r.type);
        if (!type) {
            item.fail(typeUnknownText());
            continue;
        }
        std::vector<uint8_t> bytes(type->size);
        const QString refused = textToBytes(r.value, *type, bytes.data());
        if (!refused.isEmpty()) {
            item.fail(refused);
            continue;
        }
        item.bytes = std::move(bytes);
        log(QStringLiteral("Writing to ") + r.itemName + QStringLiteral(" at ") + QString::fromStdString(r.symbol) +
                QStringLiteral(" (") + QString::number(r.type) + QStringLiteral("). Value: ") + r.value,
            false);
    }
}

void Item_Writes::writeValues(const AdsDevice& device, std::vector<Pending>& items)
{
    const std::vector<size_t> indices = going(items);
    if (subscriptions.sumUsable(indices.size())) {
        std::vector<SumWriteRequest> subs;
        for (const size_t i : indices) {
            subs.push_back(SumWriteRequest{ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, *items[i].symbolHandle, items[i].bytes});
        }
        std::vector<int32_t> results;
        const int32_t status = SumWrite(device.GetLocalPort(), &device.Address(), subs, &results);
        for (size_t k = 0; k < results.size(); ++k) {
            Pending& item = items[indices[k]];
            if (results[k] != ADS_OK) {
                item.fail(results[k]);
            } else {
                item.written = true;
            }
        }
        // A request refused or failed as a whole wrote nothing: the values go again one by one.
        afterSum(items, indices, results.size(), status, subscriptions, "write");
    }
    oneByOne(items, [&](Pending& item) {
        if (item.written) {
            return;
        }
        const int32_t code = device.WriteReqEx(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, *item.symbolHandle,
                                               static_cast<uint32_t>(item.bytes.size()), item.bytes.data());
        if (code != ADS_OK) {
            throw AdsException(code);
        }
        item.written = true;
    });
}

void Item_Writes::releaseHandles(const AdsDevice& device, std::vector<Pending>& items)
{
    std::vector<AdsNotification::Handles> handles;
    std::vector<uint32_t> raw;
    bool lost = false;
    for (Pending& item : items) {
        lost = lost || Ads_Plc_Worker::isConnectionError(item.outcome.code);
        const std::unique_ptr<uint32_t> handle(item.symbolHandle.release());
        if (handle) {
            handles.push_back(AdsNotification::Handles{*handle, 0});
            raw.push_back(*handle);
        }
    }
    // A PLC that stopped answering would let the release wait out another time-out, but one
    // that is only slow (or a connection shared with other devices) keeps its handles: they
    // go without waiting.
    if (lost) {
        device.ReleaseUnawaited({}, raw);
    } else {
        subscriptions.release(device, handles);
    }
}
