#include "worker/read_modes.h"

Read_Mode Read_Mode::fromConfig(const QMap<QString, QString>& config)
{
    Read_Mode mode;
    const QString kind = config.value(QStringLiteral("Read_Mode")).trimmed().toLower();
    mode.kind = kind == QLatin1String("polled")      ? Polled
                : kind == QLatin1String("automatic") ? Automatic
                                                      : Notifications;
    bool ok = false;
    const int max = config.value(QStringLiteral("Max_Notifications")).toInt(&ok);
    mode.maxNotifications = ok && max > 0 ? static_cast<size_t>(max) : DEFAULT_MAX_NOTIFICATIONS;
    return mode;
}

Read_Placement placeItems(const Read_Mode& mode, const std::vector<const ItemInstancePlugin*>& list,
                          const std::function<bool(quint32 itemId)>& isNotified, bool notificationsRefused)
{
    Read_Placement placement;
    if (mode.kind != Read_Mode::Automatic) {
        (mode.kind == Read_Mode::Polled ? placement.polled : placement.notified) = list;
        return placement;
    }
    size_t kept = 0;
    std::vector<const ItemInstancePlugin*> others;
    for (const ItemInstancePlugin* item : list) {
        if (isNotified(static_cast<quint32>(item->id)) && kept < mode.maxNotifications) {
            placement.notified.push_back(item);
            ++kept;
        } else {
            others.push_back(item);
        }
    }
    size_t room = notificationsRefused ? 0 : mode.maxNotifications - kept;
    for (const ItemInstancePlugin* item : others) {
        if (room > 0 && !isNotified(static_cast<quint32>(item->id))) {
            placement.notified.push_back(item);
            --room;
        } else {
            placement.polled.push_back(item);
        }
    }
    return placement;
}
