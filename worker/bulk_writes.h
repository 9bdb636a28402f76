// The writes of one `writeData` batch to a device's PLC: handles by name, one write of all the
// values by handle and the release of the handles, each a sum command for all items where the
// PLC offers those, or item by item where it does not. Every item keeps its own outcome: what
// cannot be written exactly as asked is not written at all.
#pragma once

#include "ads/AdsDevice.h"
#include "worker/item_outcome.h"
#include "worker/plc_type_check.h"
#include "worker/plc_values.h"
#include "worker/subscriptions.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class Item_Writes {
public:
    struct Request {
        QString itemName;
        DataType type;
        std::string symbol;
        QString value;
        std::optional<ItemTypeCheck> known; // the type verdict already reached on this connection
    };
    using Outcome = Item_Outcome;

    // Shares the connection's sum-command and symbol-information findings with the subscriptions.
    Item_Writes(Item_Subscriptions& subscriptions, Item_Subscriptions::Log log);

    // Called with the device's target mutex held; one outcome per request, in order.
    std::vector<Outcome> write(const AdsDevice& device, std::vector<Request> requests);

private:
    struct Pending; // an item on its way through the steps
    void judgeTypes(const AdsDevice& device, std::vector<Pending>& items);
    void judge(const AdsDevice& device, Pending& item, int32_t code, const plc::ads::SymbolEntry& entry);
    void convert(std::vector<Pending>& items);
    void writeValues(const AdsDevice& device, std::vector<Pending>& items);
    void releaseHandles(const AdsDevice& device, std::vector<Pending>& items);

    Item_Subscriptions& subscriptions;
    const Item_Subscriptions::Log log;
};
