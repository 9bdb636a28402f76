// How a device's items are read: each by a device notification, all by polled sum reads, or by
// notifications until the PLC has none left or a number per device is reached, the rest polled.
#pragma once

#include "host/PluginInterface.h"

#include <QMap>
#include <QString>

#include <cstddef>
#include <functional>
#include <vector>

struct Read_Mode {
    enum Kind { Notifications, Polled, Automatic };
    Kind kind = Notifications;
    size_t maxNotifications = 0; // in automatic mode

    // From the device columns "Read_Mode" and "Max_Notifications"; an unknown mode reads as
    // notifications, so that stored configurations keep their behaviour.
    static Read_Mode fromConfig(const QMap<QString, QString>& config);
    static constexpr size_t DEFAULT_MAX_NOTIFICATIONS = 400;

    bool operator==(const Read_Mode& other) const
    {
        return kind == other.kind && maxNotifications == other.maxNotifications;
    }
    bool operator!=(const Read_Mode& other) const { return !(*this == other); }
};

// Where the items of one read pass belong.
struct Read_Placement {
    std::vector<const ItemInstancePlugin*> notified;
    std::vector<const ItemInstancePlugin*> polled;
};

// In automatic mode the items that hold a notification keep it, up to the number allowed; the
// others take the room left in list order unless the PLC has refused a notification for lack of
// handles or memory on this connection.
Read_Placement placeItems(const Read_Mode& mode, const std::vector<const ItemInstancePlugin*>& list,
                          const std::function<bool(quint32 itemId)>& isNotified, bool notificationsRefused);
