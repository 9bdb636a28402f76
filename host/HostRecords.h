// Plain value records that the host and its plug-ins exchange.
//
// Field order and types follow the host library. Scalars the real host leaves
// uninitialised start at zero here: copies of half-filled records then stay
// well defined under the sanitizers. Plug-in code must still value-initialise
// records it builds itself, as it has to with the real host.
#pragma once

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QVariant>
#include <QVector>

class Mapping {
public:
    qint32 mapInt1 = 0;
    qint32 mapInt2 = 0;
    qint32 mapInt3 = 0;
    qint32 mapInt4 = 0;
    qint32 mapInt5 = 0;
    qint32 mapInt6 = 0;
    qint32 mapInt7 = 0;
    qint32 mapInt8 = 0;
    qint32 mapInt9 = 0;
    qint32 mapInt10 = 0;
    QString mapText1;
    QString mapText2;
    QMap<QString, QString> config;
    bool mapFlag1 = false;
    bool mapFlag2 = false;
    bool mapFlag3 = false;
    bool mapFlag4 = false;
    bool mapFlag5 = false;
    qint32 mapInt11 = 0;
    qint64 mapLong = 0;
};

class FileInstancePlugin {
public:
    qint32 id = 0;
    QString name;
    QString path;
    qint32 fileInt = 0;
    QString fileText;
    QMap<QString, QString> config;
};

class ItemInstancePlugin {
public:
    qint32 id = 0;
    QString uid;
    QString name;
    QString description;
    QString extraText1;
    bool extraFlag1 = false;
    qint32 extraInt1 = 0;
    qint32 extraInt2 = 0;
    bool extraFlag2 = false;
    QString extraText2;
    qint32 readIntervalMs = 0;
    bool extraFlag3 = false;
    qint32 extraInt3 = 0;
    qint32 extraInt4 = 0;
    qint32 extraInt5 = 0;
    QString extraText3;
    qint32 extraInt6 = 0;
    QVector<QString> extraTexts;
    qint32 deviceId = 0;
    qint32 extraInt7 = 0;
    qint32 extraInt8 = 0;
    qint32 extraInt9 = 0;
    qint32 extraInt10 = 0;
    qint32 extraInt11 = 0;
    QString error;
    QMap<QString, QString> config;
    QList<Mapping> mappings;
};

class DeviceInstancePlugin {
public:
    qint32 id = 0;
    QString extraText1;
    QString name;
    QString extraText2;
    qint32 extraInt1 = 0;
    bool extraFlag1 = false;
    qint32 extraInt2 = 0;
    qint32 extraInt3 = 0;
    QString address;
    qint32 errorWaitTimeSeconds = 0;
    QString error;
    bool extraFlag2 = false;
    bool extraFlag3 = false;
    QMap<QString, QString> config;
    QList<ItemInstancePlugin> items;
    QList<FileInstancePlugin> files;

    // Seconds between reconnection attempts: the configured value, or 5 when it is not positive.
    int getErrorWaitTimeSeconds() const;
};

class DatabaseColumnStructure {
public:
    // Column types of the host's configuration tables.
    enum DataType : qint32 {
        Integer = 0,
        Real = 1,
        Text = 2,
        Boolean = 3,
        Date = 4,
        Time = 5,
        DateTime = 6,
        Binary = 7,
        SizedText = 8,
    };

    // One offered choice: the label shown and the value stored.
    class SelectionValue {
    public:
        QString label;
        QString value;
    };

    DatabaseColumnStructure() = default;
    DatabaseColumnStructure(QString name, DataType dataType, int length, QString defaultValue, QString description);

    // Appends one choice; choices keep their insertion order.
    void insertSelectionValues(QString label, QString value);

    QList<SelectionValue> selectionValues;
    QString name;
    DataType dataType = Integer;
    QString defaultValue;
    QString description;
    qint32 length = 0;
};

class PluginInstancePlugin {
public:
    qint32 id = 0;
    QString name;
    QString fileName;
    QString version;
    QString category;
    QString description;
    qint32 pluginInt1 = 0;
    bool enabled = false;
    QList<DatabaseColumnStructure> columns1;
    QList<DatabaseColumnStructure> itemColumns;
    QList<DatabaseColumnStructure> deviceColumns;
    QList<DatabaseColumnStructure> columns4;
    QList<DatabaseColumnStructure> columns5;
    QList<DatabaseColumnStructure> columns6;
    QList<DatabaseColumnStructure> columns7;
    QList<DatabaseColumnStructure> columns8;
    QList<DeviceInstancePlugin> devices;
    QList<ItemInstancePlugin> items;
    QList<FileInstancePlugin> files;
    qint32 pluginInt2 = 0;
};

class DataItem {
public:
    DataItem();
    explicit DataItem(const ItemInstancePlugin& item);

    QMap<QString, QString> values; // "value" holds the value as text
    QDateTime timestamp;
    ItemInstancePlugin item; // item.error is the item's error text
    PluginInstancePlugin plugin;
    ItemInstancePlugin extraItem;
    DeviceInstancePlugin device;
    qint32 extraInt1;
    qint16 extraShort;
    qint32 extraInt2;
    qint64 extraLong;
};

// The batch of one device that travels on every read and write.
class LogList {
public:
    DeviceInstancePlugin device; // device.error carries the device error back
    PluginInstancePlugin plugin;
    QList<DataItem> items;
};

class NetworkInterfaceInstance {
public:
    QString name; // such as "eth0"
    QString hardwareAddress;
    QString ipv4Address;
    QString netmask;
    QString broadcast;
    bool isUp = false;
    bool isLoopback = false;
    QString ipv6Address;
    QString gateway;
    bool isWireless = false;
};

class PluginInitOptions {
public:
    qint32 historyHours = 24;
    bool supportsEvents = false;
    bool supportsLogCallback = false;
    bool supportsRead = true;
    qint32 eventTimeoutSeconds = 180;
    bool supportsDiscovery = false;
    bool discoveryCreatesDevices = false;
    bool supportsFiles = false;
    bool supportsMappings = false;
    QString discoveryAction = QStringLiteral("discover");
    QMap<QString, QVariant> extra;
};
