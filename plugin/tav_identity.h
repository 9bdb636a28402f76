// Identity items: per device one host item for each identity key (vendor, model, firmware),
// recognised by the uid "identity_<device id>_<key>", created in the host and filled from a value map.
#pragma once

#include "host/PluginInterface.h"

#include <QList>
#include <QMap>
#include <QString>

namespace tav_identity {

// One identity item to keep in the host.
struct ItemSpec {
    QString key; // identity key, also the key in the value map
    QString label;
    QString description;
    QMap<QString, QString> extraConfig; // copied into the item's config
    bool flag = false;                  // copied into the item's extraFlag3
};

// Seven days: identity items are never polled.
int readIntervalMs();
// True when the address starts with "__identity." (case-sensitive).
bool isIdentityAddress(const QString& address);
// The key after "__identity.", or the empty text when the address is no identity address.
QString fieldKey(const QString& address);
QString uidFor(int deviceId, const QString& key);

// Creates the device's identity items the host does not know yet; returns how many it created.
int ensureItems(PluginInterface* host, int deviceId, const QList<ItemSpec>& items);
// Asks the host to reload plug-ins after creating items, unless it is reloading already.
void requestReloadIfIdentityCreated(PluginInterface* host, int created);
// ensureItems for every configured device, then at most one reload request.
void ensureItemsForAllDevices(PluginInterface* host, const QList<ItemSpec>& items);

// Fills identity items of the batch found by uid.
void applyValuesByUid(LogList* list, const QMap<QString, QString>& values);
// Fills items of the batch whose config entry `addressKey` is an identity address.
void applyValues(LogList* list, const char* addressKey, const QMap<QString, QString>& values);
// Fills the batch's identity items and appends those the host knows but the batch lacks
// (only for values that are not blank).
void publishValues(PluginInterface* host, LogList* list, const QMap<QString, QString>& values,
                   const char* addressKey);

} // namespace tav_identity

// Vendor, model and firmware, in this order.
QList<tav_identity::ItemSpec> adsPlcIdentitySpecs();
