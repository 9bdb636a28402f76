// One worker per configured device: owns the ADS connection to the device's PLC, keeps it
// alive on a thread of its own, subscribes items, serves writes and keeps the last samples.
#pragma once

#include "ads/AdsDevice.h"
#include "ads/SecureSettings.h"
#include "host/PluginInterface.h"
#include "worker/bulk_writes.h"
#include "worker/connection_watch.h"
#include "worker/item_notifiers.h"
#include "worker/item_polls.h"
#include "worker/plc_program_watch.h"
#include "worker/plc_type_check.h"
#include "worker/plc_values.h"
#include "worker/read_modes.h"
#include "worker/subscriptions.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QPair>
#include <QSet>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

// Receives every sample of every subscribed item (on a notification dispatcher thread).
void NotifyCallback(const AmsAddr* pAddr, const AdsNotificationHeader* pNotification, uint32_t hUser);

class Ads_Plc_Worker {
public:
    // The numbers are relied on by the plug-in, which waits while the state is Initial or Connecting.
    enum DeviceState : int { Connecting = 0, Connected = 1, Disconnected = 2, Initial = 3 };

    struct AdsValue {
        QString value;
        std::shared_ptr<const Plc_Type> type; // what the samples are; null: not known yet
        QDateTime timestamp;
    };

    using AdsNotificationTAV = ::AdsNotificationTAV;

    using ValueKey = QPair<quint32, quint32>; // (device id, item id)

    Ads_Plc_Worker(PluginInterface& host, DeviceInstancePlugin device);
    virtual ~Ads_Plc_Worker();
    Ads_Plc_Worker(const Ads_Plc_Worker&) = delete;
    Ads_Plc_Worker& operator=(const Ads_Plc_Worker&) = delete;

    bool isRunning() const { return running.load(); }
    DeviceState getDeviceState() const { return state.load(); }
    QString getDeviceError() const;
    QMap<QString, QString> getIdentityValues() const;

    // Clears `running` and wakes the loop without waiting for it, so that several workers
    // can be told to stop before any of them is destroyed and their pending waits overlap.
    void requestStop();
    // Whether the worker logs through this host object.
    bool logsTo(const PluginInterface& other) const { return &host == &other; }

    // Item reads and writes.
    bool getItemValue(const ItemInstancePlugin& item, AdsValue* out);
    // Writes each item's value (in bulk where the PLC allows); whether each landed, in order.
    // A failed item holds its error.
    std::vector<bool> writeItemValues(const QList<QPair<ItemInstancePlugin, QString>>& writes);
    void setItemError(unsigned int itemId, QString error);
    QString getItemError(unsigned int itemId);

    // Subscriptions.
    // Subscribes every item of the list that needs it in one pass, by notification or polled as
    // `mode` says (an item changing its way moves without a reconnection); each keeps its own result.
    void addItemsToNotifier(const std::vector<const ItemInstancePlugin*>& list, const Read_Mode& mode = Read_Mode());
    // Whether the item is watched: by a notification or polled.
    bool itemExistsAsNotifier(const ItemInstancePlugin& item);
    // Whether the item is polled, with the error of its last read (empty when it succeeded).
    bool polledItemError(const ItemInstancePlugin& item, QString* error) const;
    size_t notifiedCount() const { return notifiers.count(); }
    size_t polledCount() const { return polls.count(); }
    uint64_t skippedPolls() const { return polls.skippedRounds(); }
    uint64_t pollRequests() const { return polls.requestsSent(); }
    static uint32_t registerCallbackHandle(quint32 deviceId, quint32 itemId);
    static void unregisterCallbackHandle(uint32_t userValue);
    static bool resolveCallbackHandle(uint32_t userValue, quint32* deviceId, quint32* itemId);
    // What the samples of the item behind a user value are, once the PLC has told.
    static void setValueType(uint32_t userValue, const std::shared_ptr<const Plc_Type>& type);

    // Connection set-up.
    AdsDevice* connectToAds();
    bool connectTimeoutWrapper(QString address, AmsNetId netId, uint16_t port, uint32_t timeoutMs);
    AdsDevice* connectTimeout(QString address, AmsNetId netId, uint16_t port, int32_t* error, uint32_t timeoutMs);
    static int addressToNetId(QString text, AmsNetId* netId);
    QString targetOperationKey() const;
    std::shared_ptr<std::mutex> targetOperationMutex() const;

    // Working loop and clean-up. `abortFirst` is set only when a stopping worker's PLC stopped
    // answering: the shared connection is given up so that the releases fail at once. After a
    // time-out while running, the connection stays (it decides itself whether it is dead).
    void listenToNotifiers();
    void disconnectCleanup(bool abortFirst = false);
    // Deletes the device's notifications, releases their handles and drops their values and item
    // records, keeping the connection; the next read subscribes again. Called with deviceMutex
    // and the target mutex held.
    void dropSubscriptions();
    static bool isConnectionError(int32_t code);
    // The value text of an item that has not had a sample yet.
    static const QString& placeholderValue();

    void writeLogDebug(QString message);
    void writeLogInfo(QString message);
    void writeLogWarning(QString message);
    void writeLogError(QString message);

    // Shared by all workers of the process.
    static QHash<ValueKey, AdsValue> values;
    static std::mutex valuesMutex;
    static QSet<quint32> unknownItems; // bounded, see NotifyCallback
    static QHash<quint32, ValueKey> callbackHandles;
    static std::mutex callbackHandlesMutex;
    static quint32 nextCallbackHandle;
    static QHash<QString, std::shared_ptr<std::mutex>> targetOperationMutexes;
    static std::mutex targetOperationMutexesMutex;
    static std::mutex adsRouterMutex;

private:
    void setDeviceError(const QString& error);
    uint32_t configuredTimeoutMs() const;
    void sleepUnlessStopped(std::chrono::steady_clock::time_point until);
    std::chrono::steady_clock::time_point endOfPause(std::chrono::steady_clock::time_point lastAttempt,
                                                     qint64 waitSeconds);
    void checkBeforeStop();
    bool waitForLoopEnd(std::chrono::milliseconds duration);
    void abortTargetConnection();
    // After a connection-class failure of a subscription or a write: cleans up, then keeps the
    // failure visible on the item and on the device.
    void failAndDisconnect(std::unique_lock<std::mutex>& deviceLock, const QList<ItemInstancePlugin>& failed,
                           const QString& text);
    // The state poll's checks besides the status read: connection replaced, samples lost.
    plc::ads::ConnectionCounters connectionCounters();
    // Items whose notifications the PLC took back are subscribed again by the next read.
    void resubscribeLost();
    // The requests of the poll rounds that are due, each under the locks for its own time.
    void pollDue();
    // Items moving between notifications and polls give up the old way first.
    void moveBetweenModes(const Read_Placement& placement);
    void noteNotificationsRefused(const QString& text);
    void wakeLoop();

    PluginInterface& host;
    std::atomic<bool> running;
    std::atomic<bool> stopping{false}; // ends a TCP connect of the worker thread in flight
    std::atomic<DeviceState> state;
    std::thread workerThread;
    std::unique_ptr<AdsDevice> device;
    QMap<QString, QString> identityValues;
    mutable std::mutex identityMutex;
    AmsNetId targetNetId;
    std::mutex deviceMutex;
    DeviceInstancePlugin deviceRecord;
    Plc_Program_Watch programWatch; // worker thread and deviceMutex; ends before `device` goes
    Item_Notifiers notifiers;       // subscribing under deviceMutex; looking up from any thread
    Item_Polls polls;               // likewise; its rounds run on the worker thread
    // The read mode the items were last placed by: a read in another mode places them anew.
    std::atomic<int> placedKind{Read_Mode::Notifications};
    std::atomic<size_t> placedMax{0};
    bool notificationsRefused = false; // under deviceMutex: the PLC had no notification left
    std::atomic<bool> pollsAdded{false}; // wakes the loop's pause for the first read of new items
    int64_t lastStatusTick = -1;         // worker thread: the pass grid tick of the last status read
    QMap<quint32, ItemInstancePlugin> items;
    Item_Subscriptions subscriptions; // under deviceMutex and the target mutex
    Item_Writes itemWrites;           // likewise
    ItemTypeChecks typeChecks;      // under deviceMutex

    // Guards deviceRecord.error and targetNetId, which the host thread reads while the
    // worker thread writes them; taken alone.
    mutable std::mutex errorMutex;
    // Stop handling: wakes the loop's pause, tells the destructor the loop has ended, and
    // remembers whether the PLC stopped answering while the worker was being stopped.
    std::mutex stopMutex;
    std::condition_variable stopCondition;
    bool loopEnded = false;
    std::chrono::steady_clock::time_point stopRequestedAt;
    std::atomic<bool> connectionSuspect{false};

    // The device error of the last failed set-up when its code alone cannot tell it (worker thread).
    QString setUpFailure;
    // The connection the subscriptions were made on and the losses warned of (worker thread and deviceMutex).
    Connection_Watch connectionWatch;

    // The secure transport of the next connection, when configured (worker thread).
    std::optional<plc::ads::SecureSettings> secureTransport;
};
