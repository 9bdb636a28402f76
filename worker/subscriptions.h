// The subscriptions of one device's items on its PLC connection: symbol handles, the type
// check against the PLC's symbol information and the device notifications, for many items at
// once with sum commands (a few round trips for all of them), or one item at a time where the
// PLC does not offer those. Also their release, in bulk the same way.
#pragma once

#include "ads/AdsDevice.h"
#include "ads/AdsSymbols.h"
#include "host/PluginInterface.h"
#include "worker/item_outcome.h"
#include "worker/plc_data_types.h"
#include "worker/plc_type_check.h"
#include "worker/plc_values.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class Item_Subscriptions {
public:
    struct Request {
        QString itemName;
        DataType type;
        std::string symbol;
        AdsNotificationAttrib attributes; // watchedLength is set by the type check
        uint32_t userValue;
    };
    // A subscribed item holds its notification and what its samples are; a failed one its error.
    // An item the PLC had no notification left for (`outOfNotifications`), and an item prepared
    // for reading, keep their symbol handle and the bytes to read, so that they can be polled
    // without asking again.
    struct Outcome : Item_Outcome {
        std::unique_ptr<AdsNotification> notification;
        std::shared_ptr<const Plc_Type> valueType;
        OwnedHandle symbolHandle;
        uint32_t readLength = 0;
        bool outOfNotifications() const;
    };
    using Log = std::function<void(const QString& line, bool warning)>;
    // Told what an item's samples are before its notification is added, so that the first
    // sample, sent at once, is converted right.
    using Typed = std::function<void(uint32_t userValue, const std::shared_ptr<const Plc_Type>& type)>;

    Item_Subscriptions(PAdsNotificationFuncEx callback, QString deviceName, Log log);

    // Forgets what was learned of the previous connection's PLC.
    void reset();
    // Forgets the data types of the PLC's program, after a program change.
    void forgetProgram() { dataTypes.forget(); }
    // The data types of the PLC's program, read from `device` at the first item that needs them.
    Layouts_Source layoutsOf(const AdsDevice& device);
    // Called with the device's target mutex held; one outcome per request, in order.
    std::vector<Outcome> subscribe(const AdsDevice& device, std::vector<Request> requests, const Typed& typed);
    // Symbol handles and type checks without notifications, for items that are read by polling.
    std::vector<Outcome> prepareReads(const AdsDevice& device, std::vector<Request> requests, const Typed& typed);
    // Deletes the notifications, then releases their symbol handles; failures are ignored.
    void release(const AdsDevice& device, const std::vector<AdsNotification::Handles>& handles);

    // Whether the PLC offers symbol information; noted once per connection with a log line.
    bool symbolInfoMissing() const { return infoMissing; }
    void noteSymbolInfoMissing(int32_t code);

    // Mode, sampling period and length of an item's notification (the period clamped to 32 bits).
    static AdsNotificationAttrib attributesFor(const ItemInstancePlugin& item, DataType type);

    // Whether `count` items go in a sum request; shared with the bulk writes of the device.
    bool sumUsable(size_t count) const { return !sumRefused && count > 1; }
    // After a refused or invalid sum reply the rest of the connection is served item by item.
    void refuseSum(const char* command, int32_t code);

private:
    struct Pending; // an item on its way through the steps
    std::vector<Outcome> run(const AdsDevice& device, std::vector<Request> requests, bool notify, const Typed& typed);
    void checkTypes(const AdsDevice& device, std::vector<Pending>& items);
    void addNotifications(const AdsDevice& device, std::vector<Pending>& items);
    void judge(const AdsDevice& device, Pending& item, int32_t code, const plc::ads::SymbolEntry& entry);
    void announceTypes(std::vector<Pending>& items, const Typed& typed);

    const PAdsNotificationFuncEx callback;
    const QString deviceName;
    const Log log;
    bool sumRefused = false;
    bool infoMissing = false;
    Plc_Data_Types dataTypes;
};
