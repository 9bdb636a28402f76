// The driver's command line and configuration file: what to run against which PLCs.
#pragma once

#include <QList>
#include <QMap>
#include <QString>

namespace driver {

enum class Format { Table, Csv, Json };

// For a cyclic item the period of its samples; for an on-change item how often the PLC looks
// for a change.
constexpr int DEFAULT_CYCLE_MS = 1000;

struct ItemOption {
    QString symbol;
    int type = 0;
    int mode = 4;        // 4 on change, 3 cyclic: the plug-in's notification modes
    int cycleMs = DEFAULT_CYCLE_MS;
};

struct WriteOption {
    QString symbol;
    int type = -1; // -1: the type of the item with this symbol
    QString value;
};

struct DeviceOption {
    QString name;
    QString address = QStringLiteral("127.0.0.1");
    QString netId; // derived from the address when empty
    int adsPort = 801;
    int timeoutMs = 15000;
    int errorWaitSeconds = 5;
    QString localNetId;
    QList<ItemOption> items;
    QList<WriteOption> writes; // applied in this order once the device is connected
    // Device columns of secure ADS, by column name (see secure_options.h); empty: plain ADS.
    QMap<QString, QString> secureColumns;

    // How the plug-in reads the items: notifications, polled or automatic (its device columns).
    QString readMode = QStringLiteral("notifications");
    int maxNotifications = 0; // automatic mode; 0 leaves the plug-in's default
};

struct Options {
    QList<DeviceOption> devices;
    Format format = Format::Table;
    double seconds = 10;
    int refreshMs = 1000;
    int readPauseMs = 100;
    bool verbose = false;
    bool browse = false;
    bool browseMembers = false; // browse also lists the members of structures
    bool help = false;
    bool version = false;
    bool stats = false; // views show samples, ages and round trips
    QString browsePrefix;
};

// Fills `options` from the arguments (program name first). On a bad option or configuration
// file, prints the reason to stderr and returns false.
bool parseOptions(const QStringList& args, Options* options);
void printUsage();

// Checks of the texts a device takes; empty when fine, else the reason.
QString addressProblem(const QString& address);
QString netIdProblem(const QString& netId, bool local);

QString typeName(int type);

} // namespace driver
