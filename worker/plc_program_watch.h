// Notices that a PLC loaded another program while the connection stayed up, after which every
// symbol handle and notification of the old program is gone: its symbol version moved (told at
// once by a notification on it, and read now and then in case that notification went with the old
// program, or once a second where the PLC refused it), or it left RUN and came back.
#pragma once

#include "ads/AdsDevice.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

class Plc_Program_Watch {
public:
    struct Finding {
        QStringList warnings;
        bool resubscribe = false; // the old program's handles and notifications are gone
    };

    // Behind a live notification on the version, the version is read only every `checkInterval`
    // (the device's error wait time): values are back within that and the time to subscribe.
    Plc_Program_Watch(QString deviceName, std::chrono::seconds checkInterval);
    ~Plc_Program_Watch();
    Plc_Program_Watch(const Plc_Program_Watch&) = delete;
    Plc_Program_Watch& operator=(const Plc_Program_Watch&) = delete;

    // Right after connecting, before any item is subscribed: takes the symbol version and
    // subscribes to it. Called, like the others, while the device's requests are serialised.
    // `known` is the version seen last, kept as the baseline when the read fails.
    void begin(const AdsDevice& device, int known = -1);
    // With every successful state poll, given the ADS state it read.
    Finding check(const AdsDevice& device, uint16_t adsState);
    // Before the device goes: deletes the notification and forgets the baseline.
    void end();

    static QString stateName(uint16_t adsState);

private:
    // The version read now, or -1 when it could not be read.
    int readVersion(const AdsDevice& device);
    // A warning for the host's log, once per connection.
    void note(const QString& warning);
    void dropNotification();
    static void versionCallback(const AmsAddr* addr, const AdsNotificationHeader* header, uint32_t userValue);

    using Clock = std::chrono::steady_clock;
    const QString deviceName;
    const std::chrono::seconds checkInterval;
    bool begun = false;
    bool versionUnknown = false; // the PLC refuses the symbol version
    int version = -1;            // the version acted on last
    bool unsure = false;         // items may have been subscribed without a version to compare with
    bool warned = false;         // the watch said once on this connection why it cannot work
    QStringList pendingWarnings;
    static constexpr int NO_STATE = -1;
    int lastState = NO_STATE;
    Clock::time_point lastRead{};
    OwnedHandle notification;
    uint32_t userValue = 0;
    // What the notification brought last (-1: nothing yet); written on a dispatcher thread.
    std::shared_ptr<std::atomic<int>> notified;
};
