// Steps shared by the bulk subscriptions and the bulk writes: each item goes through a request
// in bulk where the PLC offers sum commands, then one by one for whatever is left. An item type
// for these templates has `failed()`, `fail(code)`, `fail(text)` and `outcome.code`.
#pragma once

#include "ads/AdsDevice.h"
#include "ads/AdsSum.h"
#include "ads/AdsSymbols.h"
#include "worker/ads_plc_worker.h"

#include <QString>

#include <cstdint>
#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace item_steps {

// After a connection-class failure every item still going fails alike, without a request.
template <typename Items>
bool connectionLost(Items& items)
{
    int32_t lost = 0;
    for (const auto& item : items) {
        if (item.failed() && Ads_Plc_Worker::isConnectionError(item.outcome.code)) {
            lost = item.outcome.code;
        }
    }
    for (auto& item : items) {
        if (lost != 0 && !item.failed()) {
            item.fail(lost);
        }
    }
    return lost != 0;
}

// One item at a time: `each` does the item's step; what it throws is the item's failure.
template <typename Items, typename Each>
void oneByOne(Items& items, Each&& each)
{
    for (auto& item : items) {
        if (connectionLost(items)) {
            return;
        }
        if (item.failed()) {
            continue;
        }
        try {
            each(item);
        } catch (const AdsException& e) {
            item.fail(e.resultCode);
        } catch (const std::exception& e) {
            // Not only ADS errors (a dispatcher thread that cannot start): nothing may escape towards the host.
            item.fail(QString::fromLocal8Bit(e.what()));
        }
    }
}

// After a sum request for the items at `indices`, of which the first `answered` got their own
// results: a refusal of the service serves the rest of the connection item by item, a lost
// connection fails the rest alike, and any other failure of the whole request (a gateway's
// odd answer) leaves the rest to the one-by-one pass of this batch, so each gets its own result.
template <typename Items, typename Subscriptions>
void afterSum(Items& items, const std::vector<size_t>& indices, size_t answered, int32_t status,
              Subscriptions& subscriptions, const char* command)
{
    if (plc::ads::SumRefused(status)) {
        subscriptions.refuseSum(command, status);
    } else if (Ads_Plc_Worker::isConnectionError(status)) {
        for (size_t k = answered; k < indices.size(); ++k) {
            items[indices[k]].fail(status);
        }
    }
}

// The indices of the items still going, in order.
template <typename Items, typename Wanted>
std::vector<size_t> going(const Items& items, Wanted&& wanted)
{
    std::vector<size_t> indices;
    for (size_t i = 0; i < items.size(); ++i) {
        if (!items[i].failed() && wanted(items[i])) {
            indices.push_back(i);
        }
    }
    return indices;
}
template <typename Items>
std::vector<size_t> going(const Items& items)
{
    return going(items, [](const auto&) { return true; });
}

// Handles by name of `symbols` in sum requests: one code per answered symbol, its handle with
// ADS_OK. Returns the status of the requests; fewer answers than symbols when one failed.
int32_t sumSymbolHandles(const AdsDevice& device, const std::vector<std::string>& symbols,
                         std::vector<std::pair<int32_t, OwnedHandle>>& answers);

// The symbol information of `symbols` in sum requests, one code and entry per answered symbol;
// an entry larger than the room it was given reads as ADS_ERR_INVALID_SIZE or
// ADS_ERR_INVALID_RESPONSE and is to be asked for again on its own.
int32_t sumSymbolInfos(const AdsDevice& device, const std::vector<std::string>& symbols,
                       std::vector<std::pair<int32_t, plc::ads::SymbolEntry>>& answers);

// Symbol handles by name for every item still going: in sum requests while `subscriptions`
// allows them, then one by one for whatever is left. An item type has `request.symbol` and
// `symbolHandle` besides what the templates above need.
template <typename Items>
void takeHandles(const AdsDevice& device, Items& items, Item_Subscriptions& subscriptions)
{
    const std::vector<size_t> indices = going(items);
    if (subscriptions.sumUsable(indices.size())) {
        std::vector<std::string> symbols;
        for (const size_t i : indices) {
            symbols.push_back(items[i].request.symbol);
        }
        std::vector<std::pair<int32_t, OwnedHandle>> answers;
        const int32_t status = sumSymbolHandles(device, symbols, answers);
        for (size_t k = 0; k < answers.size(); ++k) {
            auto& item = items[indices[k]];
            if (answers[k].first != ADS_OK) {
                item.fail(answers[k].first);
            } else {
                item.symbolHandle = std::move(answers[k].second);
            }
        }
        afterSum(items, indices, answers.size(), status, subscriptions, "handles by name");
    }
    oneByOne(items, [&](auto& item) {
        if (!item.symbolHandle) {
            item.symbolHandle = device.GetHandle(item.request.symbol);
        }
    });
}

} // namespace item_steps
