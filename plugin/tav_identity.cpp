#include "plugin/tav_identity.h"

#include <QDateTime>
#include <QSet>

namespace tav_identity {

namespace {
const QString IDENTITY_PREFIX = QStringLiteral("__identity.");
const QString VALUE_KEY = QStringLiteral("value");

void setValue(DataItem& item, const QString& text, const QDateTime& now)
{
    item.values.insert(VALUE_KEY, text);
    item.timestamp = now;
    item.item.error.clear();
}
}

int readIntervalMs()
{
    return 604800000;
}

bool isIdentityAddress(const QString& address)
{
    return address.startsWith(IDENTITY_PREFIX, Qt::CaseSensitive);
}

QString fieldKey(const QString& address)
{
    return isIdentityAddress(address) ? address.mid(IDENTITY_PREFIX.size()) : QString();
}

QString uidFor(int deviceId, const QString& key)
{
    return QStringLiteral("identity_%1_%2").arg(deviceId).arg(key);
}

int ensureItems(PluginInterface* host, int deviceId, const QList<ItemSpec>& items)
{
    if (!host || deviceId < 1) {
        return 0;
    }
    int created = 0;
    for (const ItemSpec& entry : items) {
        const QString uid = uidFor(deviceId, entry.key);
        ItemInstancePlugin known{};
        if (host->getPluginItem(uid, &known)) {
            continue;
        }
        ItemInstancePlugin record{};
        record.deviceId = deviceId;
        record.uid = uid;
        record.name = entry.label;
        record.description = entry.description;
        record.extraFlag1 = true;
        record.extraInt7 = 1;
        record.readIntervalMs = readIntervalMs();
        record.extraFlag3 = entry.flag;
        for (auto it = entry.extraConfig.constBegin(); it != entry.extraConfig.constEnd(); ++it) {
            record.config.insert(it.key(), it.value());
        }
        record.config.insert(QStringLiteral("item_tags"), entry.key);
        host->addPluginItem(&record);
        ++created;
    }
    return created;
}

void requestReloadIfIdentityCreated(PluginInterface* host, int created)
{
    if (!host || created < 1) {
        return;
    }
    if (host->getSetting(QStringLiteral("plugin_refreshing")) == QLatin1String("1")) {
        return; // the host is reloading already
    }
    host->reloadPlugins();
}

void ensureItemsForAllDevices(PluginInterface* host, const QList<ItemSpec>& items)
{
    if (!host) {
        return;
    }
    int created = 0;
    const QList<DeviceInstancePlugin> devices = host->getPluginDevices();
    for (const DeviceInstancePlugin& device : devices) {
        created += ensureItems(host, device.id, items);
    }
    requestReloadIfIdentityCreated(host, created);
}

void applyValuesByUid(LogList* list, const QMap<QString, QString>& values)
{
    if (!list) {
        return;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    // The uids once per batch, not once per item: a batch may hold thousands of items.
    QList<QPair<QString, QString>> byUid;
    for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
        byUid.append(qMakePair(uidFor(list->device.id, it.key()), it.value()));
    }
    for (DataItem& item : list->items) {
        for (const auto& entry : qAsConst(byUid)) {
            if (item.item.uid == entry.first) {
                setValue(item, entry.second, now);
            }
        }
    }
}

void applyValues(LogList* list, const char* addressKey, const QMap<QString, QString>& values)
{
    if (!list) {
        return;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QString configKey = QString::fromUtf8(addressKey ? addressKey : "");
    for (DataItem& item : list->items) {
        const QString key = fieldKey(item.item.config.value(configKey));
        if (!key.isEmpty() && values.contains(key)) {
            setValue(item, values.value(key), now);
        }
    }
}

void publishValues(PluginInterface* host, LogList* list, const QMap<QString, QString>& values,
                   const char* addressKey)
{
    applyValuesByUid(list, values);
    if (addressKey) {
        applyValues(list, addressKey, values);
    }
    if (!host || !list) {
        return;
    }

    // Only the identity uids are looked for: no set of every uid of a batch of thousands.
    QSet<QString> identityUids;
    for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
        identityUids.insert(uidFor(list->device.id, it.key()));
    }
    QSet<QString> presentUids;
    QSet<QString> presentKeys;
    const QString configKey = QString::fromUtf8(addressKey ? addressKey : "");
    for (const DataItem& item : qAsConst(list->items)) {
        if (identityUids.contains(item.item.uid)) {
            presentUids.insert(item.item.uid);
        }
        if (addressKey) {
            presentKeys.insert(fieldKey(item.item.config.value(configKey)));
        }
    }

    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
        const QString uid = uidFor(list->device.id, it.key());
        if (it.value().trimmed().isEmpty() || presentUids.contains(uid) || presentKeys.contains(it.key())) {
            continue;
        }
        ItemInstancePlugin record{};
        if (!host->getPluginItem(uid, &record)) {
            continue;
        }
        DataItem item(record);
        setValue(item, it.value(), now);
        list->items.append(item);
    }
}

} // namespace tav_identity

QList<tav_identity::ItemSpec> adsPlcIdentitySpecs()
{
    QList<tav_identity::ItemSpec> items;
    items.append({QStringLiteral("vendor"), QStringLiteral("Vendor"), QStringLiteral("ADS device manufacturer"), {}, false});
    items.append({QStringLiteral("model"), QStringLiteral("Model"), QStringLiteral("ADS device name"), {}, false});
    items.append({QStringLiteral("firmware"), QStringLiteral("Firmware"), QStringLiteral("ADS device version"), {}, false});
    return items;
}
