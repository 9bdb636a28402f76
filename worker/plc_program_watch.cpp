#include "worker/plc_program_watch.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>

namespace {
constexpr auto READ_INTERVAL = std::chrono::seconds(1);
constexpr uint32_t ON_CHANGE_CHECK = 1000000; // 100 ms in 100 ns units

// The notification callback finds its watch by user value; a watch that has ended is gone from here.
std::mutex registryMutex;
std::unordered_map<uint32_t, std::shared_ptr<std::atomic<int>>> registry;
uint32_t nextUserValue = 1;

// Only a refusal of the service says the PLC has no symbol version; anything else (not ready,
// busy, a program being loaded, a reply of the wrong size) may pass and is asked again.
bool refusesService(int32_t code)
{
    return code == ADSERR_DEVICE_SRVNOTSUPP || code == ADSERR_DEVICE_INVALIDGRP;
}
}

Plc_Program_Watch::Plc_Program_Watch(QString name, std::chrono::seconds interval)
    : deviceName(std::move(name)), checkInterval(std::max(interval, std::chrono::seconds(1)))
{
}

Plc_Program_Watch::~Plc_Program_Watch()
{
    end();
}

QString Plc_Program_Watch::stateName(uint16_t adsState)
{
    static const char* const names[] = {"INVALID", "IDLE", "RESET", "INIT", "START", "RUN", "STOP",
                                        "SAVECFG", "LOADCFG", "POWERFAILURE", "POWERGOOD", "ERROR",
                                        "SHUTDOWN", "SUSPEND", "RESUME", "CONFIG", "RECONFIG", "STOPPING",
                                        "INCOMPATIBLE", "EXCEPTION"};
    return adsState < sizeof(names) / sizeof(names[0]) ? QString::fromLatin1(names[adsState])
                                                        : QString::number(adsState);
}

void Plc_Program_Watch::versionCallback(const AmsAddr*, const AdsNotificationHeader* header, uint32_t userValue)
{
    if (!header || header->dataSize < 1) {
        return;
    }
    const uint8_t value = *reinterpret_cast<const uint8_t*>(header + 1);
    std::lock_guard<std::mutex> lock(registryMutex);
    const auto it = registry.find(userValue);
    if (it != registry.end()) {
        it->second->store(value);
    }
}

int Plc_Program_Watch::readVersion(const AdsDevice& device)
{
    lastRead = Clock::now();
    uint8_t value = 0;
    uint32_t bytesRead = 0;
    const int32_t code = device.ReadReqEx2(ADS_IGRP_SYMBOL_VERSION, 0, 1, &value, &bytesRead);
    if (code == 0 && bytesRead == 1) {
        return value;
    }
    if (refusesService(code)) {
        versionUnknown = true;
        note(QStringLiteral("PLC of ") + deviceName + QStringLiteral(" offers no symbol version (code ") +
             QString::number(code) + QStringLiteral("); a new program is noticed only when it leaves RUN"));
    } else {
        note(QStringLiteral("Symbol version of ") + deviceName + QStringLiteral(" could not be read (code ") +
             QString::number(code != 0 ? code : int32_t{ADS_ERR_INVALID_SIZE}) +
             QStringLiteral("); asking again with every state poll"));
    }
    return -1;
}

void Plc_Program_Watch::note(const QString& warning)
{
    if (!warned) {
        warned = true;
        pendingWarnings << warning;
    }
}

void Plc_Program_Watch::begin(const AdsDevice& device, int known)
{
    dropNotification();
    begun = true;
    versionUnknown = false;
    unsure = false;
    version = readVersion(device);
    if (version < 0) {
        // The version just seen stays the baseline; without one, the first version read later
        // may already be a new program's, so the items are subscribed again then.
        version = known;
        unsure = known < 0;
    }
    if (versionUnknown) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        while (nextUserValue == 0 || registry.count(nextUserValue) != 0) {
            ++nextUserValue;
        }
        userValue = nextUserValue++;
        notified = std::make_shared<std::atomic<int>>(-1);
        registry.emplace(userValue, notified);
    }
    AdsNotificationAttrib attributes{1, ADS_TRANS_SERVER_ON_CHANGE, 0, ON_CHANGE_CHECK};
    try {
        notification = device.GetHandle(ADS_IGRP_SYMBOL_VERSION, 0, attributes, versionCallback, userValue);
    } catch (const std::exception&) {
        // Refused: the state poll reads the version instead.
        std::lock_guard<std::mutex> lock(registryMutex);
        registry.erase(userValue);
        notified.reset();
    }
}

Plc_Program_Watch::Finding Plc_Program_Watch::check(const AdsDevice& device, uint16_t adsState)
{
    Finding finding;
    if (!begun) {
        begin(device);
    }
    const auto done = [&] {
        finding.warnings << pendingWarnings;
        pendingWarnings.clear();
        lastState = adsState;
        return finding;
    };
    if (lastState != NO_STATE && adsState != lastState) {
        if (lastState == ADSSTATE_RUN) {
            finding.warnings << QStringLiteral("PLC of ") + deviceName + QStringLiteral(" left RUN (state ") +
                              stateName(adsState) + QStringLiteral(")");
        } else if (adsState == ADSSTATE_RUN) {
            finding.warnings << QStringLiteral("PLC of ") + deviceName + QStringLiteral(" is in RUN again (was ") +
                              stateName(static_cast<uint16_t>(lastState)) + QStringLiteral("); subscribing again");
            finding.resubscribe = true;
            // A restarted runtime has forgotten the notification on the version as well.
            begin(device, version);
            return done();
        }
    }
    int current = notified ? notified->load() : -1;
    // A PLC may drop the notification on the version together with the old program's, so the
    // read stays as a check behind it. Without a version to compare with, it is read every poll.
    const Clock::duration readInterval = notified ? Clock::duration(checkInterval) : Clock::duration(READ_INTERVAL);
    const bool due = version < 0 || Clock::now() - lastRead >= readInterval;
    if ((current < 0 || current == version) && !versionUnknown && due) {
        current = readVersion(device);
    }
    if (current >= 0 && current != version) {
        if (version >= 0 || unsure) {
            if (version >= 0) {
                finding.warnings << QStringLiteral("PLC program of ") + deviceName +
                                        QStringLiteral(" changed (symbol version ") + QString::number(version) +
                                        QStringLiteral(" -> ") + QString::number(current) +
                                        QStringLiteral("); subscribing again");
            } else {
                finding.warnings << QStringLiteral("Symbol version of ") + deviceName + QStringLiteral(" is ") +
                                        QString::number(current) +
                                        QStringLiteral(" now, after it could not be read; subscribing again");
            }
            finding.resubscribe = true;
            // The notification on the version may have gone with the old program.
            begin(device, current);
            return done();
        }
        version = current;
    }
    return done();
}

void Plc_Program_Watch::dropNotification()
{
    notification.reset();
    if (notified) {
        std::lock_guard<std::mutex> lock(registryMutex);
        registry.erase(userValue);
        notified.reset();
    }
}

void Plc_Program_Watch::end()
{
    dropNotification();
    begun = false;
    versionUnknown = false;
    unsure = false;
    version = -1;
    lastState = NO_STATE;
    warned = false;
    pendingWarnings.clear();
}
