#include "worker/ads_plc_worker.h"

#include "ads/AdsRequests.h"
#include "ads/Sockets.h"
#include "worker/ads_error_texts.h"
#include "worker/device_opening.h"
#include "worker/device_statistics.h"
#include "worker/secure_transport.h"

#include <QtGlobal>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <system_error>

QHash<Ads_Plc_Worker::ValueKey, Ads_Plc_Worker::AdsValue> Ads_Plc_Worker::values;
std::mutex Ads_Plc_Worker::valuesMutex;
QSet<quint32> Ads_Plc_Worker::unknownItems;
QHash<quint32, Ads_Plc_Worker::ValueKey> Ads_Plc_Worker::callbackHandles;
std::mutex Ads_Plc_Worker::callbackHandlesMutex;
quint32 Ads_Plc_Worker::nextCallbackHandle = 1;
QHash<QString, std::shared_ptr<std::mutex>> Ads_Plc_Worker::targetOperationMutexes;
std::mutex Ads_Plc_Worker::targetOperationMutexesMutex;
std::mutex Ads_Plc_Worker::adsRouterMutex;

namespace {
const QString EMPTY_VALUE = QStringLiteral("I_AM_EMPTY_TO_BEGIN_WITH");
constexpr uint32_t DEFAULT_TIMEOUT_MS = 15000;
constexpr auto LOOP_PAUSE = std::chrono::milliseconds(100);
// How long a stopping worker may take to finish a request before its connection is given up.
constexpr auto STOP_GRACE = std::chrono::milliseconds(1000);

// The PLC clock counts 100 ns units since 1601-01-01 00:00:00 UTC.
QDateTime sampleTimeToUtc(uint64_t fileTime)
{
    static const QDateTime epoch(QDate(1601, 1, 1), QTime(0, 0), Qt::UTC);
    return epoch.addMSecs(static_cast<qint64>(fileTime / 10000));
}
}

// ---------------------------------------------------------------- life cycle

Ads_Plc_Worker::Ads_Plc_Worker(PluginInterface& pluginHost, DeviceInstancePlugin deviceInstance)
    : host(pluginHost), running(true), state(Initial), device(nullptr), targetNetId(0u),
      deviceRecord(std::move(deviceInstance)), programWatch(deviceRecord.name, std::chrono::seconds(deviceRecord.getErrorWaitTimeSeconds())),
      notifiers(static_cast<quint32>(deviceRecord.id),
                [this](quint32 itemId, const QString& error) { setItemError(itemId, error); },
                [this](const QString& line) { writeLogDebug(line); }),
      polls(static_cast<quint32>(deviceRecord.id), targetOperationKey(),
            [this](quint32 itemId, const QString& error) { setItemError(itemId, error); },
            [this](const QString& line) { writeLogDebug(line); }),
      subscriptions(NotifyCallback, deviceRecord.name,
                    [this](const QString& line, bool warning) { warning ? writeLogWarning(line) : writeLogDebug(line); }),
      itemWrites(subscriptions,
                 [this](const QString& line, bool warning) { warning ? writeLogWarning(line) : writeLogDebug(line); })
{
    workerThread = std::thread(&Ads_Plc_Worker::listenToNotifiers, this);
}

Ads_Plc_Worker::~Ads_Plc_Worker()
{
    writeLogDebug(QStringLiteral("Deinitializer called for worker class. Instance: ") + deviceRecord.name);
    requestStop();
    // A request to a PLC that stopped answering would hold the loop for the whole time-out
    // (or longer, while the next request waits behind it): give up the connection instead.
    std::chrono::steady_clock::time_point deadline;
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        deadline = stopRequestedAt + STOP_GRACE;
    }
    // A connection set-up in flight has nothing to finish: it is given up at once.
    if (state.load() == Connecting) {
        deadline = std::chrono::steady_clock::now();
    }
    const auto now = std::chrono::steady_clock::now();
    bool ended = waitForLoopEnd(deadline > now ? std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now)
                                               : std::chrono::milliseconds(0));
    while (!ended) {
        connectionSuspect = true;
        abortTargetConnection();
        ended = waitForLoopEnd(LOOP_PAUSE);
    }
    if (workerThread.joinable()) {
        workerThread.join();
    }
    disconnectCleanup(connectionSuspect.load());
    Device_Statistics::forget(static_cast<quint32>(deviceRecord.id));
}

void Ads_Plc_Worker::requestStop()
{
    std::lock_guard<std::mutex> lock(stopMutex);
    if (running.exchange(false)) {
        stopRequestedAt = std::chrono::steady_clock::now();
    }
    stopping = true;
    stopCondition.notify_all();
}

bool Ads_Plc_Worker::waitForLoopEnd(std::chrono::milliseconds duration)
{
    std::unique_lock<std::mutex> lock(stopMutex);
    return stopCondition.wait_for(lock, duration, [this] { return loopEnded; });
}

void Ads_Plc_Worker::sleepUnlessStopped(std::chrono::steady_clock::time_point until)
{
    std::unique_lock<std::mutex> lock(stopMutex);
    stopCondition.wait_until(lock, until, [this] { return !running.load() || pollsAdded.load(); });
    pollsAdded = false;
}

void Ads_Plc_Worker::abortTargetConnection()
{
    AmsNetId netId(0u);
    {
        std::lock_guard<std::mutex> lock(errorMutex);
        netId = targetNetId;
    }
    plc::ads::AbortConnection(netId);
}

QString Ads_Plc_Worker::getDeviceError() const
{
    std::lock_guard<std::mutex> lock(errorMutex);
    return deviceRecord.error;
}

void Ads_Plc_Worker::setDeviceError(const QString& error)
{
    std::lock_guard<std::mutex> lock(errorMutex);
    deviceRecord.error = error;
}

QMap<QString, QString> Ads_Plc_Worker::getIdentityValues() const
{
    std::lock_guard<std::mutex> lock(identityMutex);
    return identityValues;
}

uint32_t Ads_Plc_Worker::configuredTimeoutMs() const
{
    bool ok = false;
    const int timeout = deviceRecord.config.value(QStringLiteral("Timeout")).toInt(&ok);
    // A negative time-out would turn into weeks of waiting; treat it like a missing one.
    return ok && timeout > 0 ? static_cast<uint32_t>(timeout) : DEFAULT_TIMEOUT_MS;
}

// ---------------------------------------------------------------- logging

void Ads_Plc_Worker::writeLogDebug(QString message)
{
    host.logDebug(message);
}

void Ads_Plc_Worker::writeLogInfo(QString message)
{
    host.logInfo(message);
}

void Ads_Plc_Worker::writeLogWarning(QString message)
{
    host.logWarning(message);
}

void Ads_Plc_Worker::writeLogError(QString message)
{
    host.logError(message);
}

// ---------------------------------------------------------------- connection set-up

int Ads_Plc_Worker::addressToNetId(QString text, AmsNetId* netId)
{
    // Four fields are the PLC's IPv4 address, whose NetId ends in .1.1; otherwise six are needed.
    QString full = text.trimmed();
    if (full.count(QLatin1Char('.')) == 3) {
        full += QStringLiteral(".1.1");
    }
    AmsNetId parsed(0u);
    if (!ParseAmsNetId(full.toStdString(), parsed)) {
        return 1;
    }
    *netId = parsed;
    return 0;
}

QString Ads_Plc_Worker::targetOperationKey() const
{
    QString key = deviceRecord.address.trimmed();
    const QString netId = deviceRecord.config.value(QStringLiteral("Target_AMS_NetId")).trimmed();
    if (!netId.isEmpty()) {
        key += QLatin1Char('|') + netId;
    }
    return key;
}

std::shared_ptr<std::mutex> Ads_Plc_Worker::targetOperationMutex() const
{
    const QString key = targetOperationKey();
    std::lock_guard<std::mutex> lock(targetOperationMutexesMutex);
    auto it = targetOperationMutexes.find(key);
    if (it == targetOperationMutexes.end()) {
        it = targetOperationMutexes.insert(key, std::make_shared<std::mutex>());
    }
    return it.value();
}

AdsDevice* Ads_Plc_Worker::connectToAds()
{
    const QMap<QString, QString>& config = deviceRecord.config;
    const QString netIdText = config.value(QStringLiteral("Target_AMS_NetId"));
    const QString address = deviceRecord.address;
    const QString localNetIdText = config.value(QStringLiteral("Local_AMS_NetId"));
    const int configuredPort = config.value(QStringLiteral("Ads_Port")).toInt();
    const uint16_t port = static_cast<uint16_t>(std::min(std::max(configuredPort, 0), 65535));
    const uint32_t timeout = configuredTimeoutMs();

    writeLogDebug(QStringLiteral("Connecting for ") + deviceRecord.name + QStringLiteral(" to address: ") + address +
                  QStringLiteral(" AMS Net Id: ") + netIdText + QStringLiteral(" Local AMS Net Id: ") +
                  localNetIdText + QStringLiteral(" Port: ") + QString::number(port) + QStringLiteral(" Timeout: ") +
                  QString::number(timeout));

    if (!plc::ads::HostPortValid(address.toStdString())) {
        setDeviceError(QString::fromLatin1(plc::ads::INVALID_PORT_TEXT));
        writeLogDebug(QString::fromLatin1(plc::ads::INVALID_PORT_TEXT) + QLatin1Char('.'));
        return nullptr;
    }

    if (!localNetIdText.isEmpty()) {
        AmsNetId localNetId(0u);
        if (addressToNetId(localNetIdText, &localNetId) != 0) {
            setDeviceError(QStringLiteral("Invalid local AMS Net Id"));
            writeLogDebug(QStringLiteral("Invalid local AMS Net Id."));
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(adsRouterMutex);
        plc::ads::SetLocalAddress(localNetId);
    }

    AmsNetId parsed(0u);
    {
        std::lock_guard<std::mutex> lock(errorMutex);
        parsed = targetNetId;
    }
    const int netIdResult = addressToNetId(netIdText, &parsed);
    {
        std::lock_guard<std::mutex> lock(errorMutex);
        targetNetId = parsed;
    }
    if (netIdResult != 0) {
        setDeviceError(QStringLiteral("Invalid target AMS Net Id"));
        writeLogDebug(QStringLiteral("Invalid target AMS Net Id."));
        return nullptr;
    }
    const secure_transport::Choice transport = secure_transport::fromConfig(config);
    if (!transport.error.isEmpty()) {
        setDeviceError(transport.error);
        writeLogDebug(transport.error + QLatin1Char('.'));
        return nullptr;
    }
    secureTransport = transport.settings;

    const QString routeTail = deviceRecord.name + QStringLiteral(" to address: ") + address +
                              QStringLiteral(" AMS Net Id: ") + netIdText + QStringLiteral(" Local AMS Net Id: ") +
                              localNetIdText + QStringLiteral(" Port: ") + QString::number(port);
    writeLogDebug(QStringLiteral("Creating route for ") + routeTail);

    bool connected = false;
    try {
        connected = connectTimeoutWrapper(address, parsed, port, timeout);
    } catch (const std::runtime_error&) {
        setDeviceError(QStringLiteral("Timeout connecting"));
        return nullptr;
    }
    if (!connected) {
        return nullptr;
    }
    writeLogDebug(QStringLiteral("Success. Route created for ") + routeTail);
    std::lock_guard<std::mutex> lock(deviceMutex);
    return device.get();
}

bool Ads_Plc_Worker::connectTimeoutWrapper(QString address, AmsNetId netId, uint16_t port, uint32_t timeoutMs)
{
    if (state.load() == Connecting) {
        return false;
    }
    state = Connecting;
    int32_t error = 0;
    AdsDevice* created = connectTimeout(address, netId, port, &error, timeoutMs);
    {
        std::lock_guard<std::mutex> lock(deviceMutex);
        device.reset(created);
    }
    if (error != 0) {
        // A failed TCP connect, a NetId in use or a secure set-up has a text that says what to check.
        const QString text = setUpFailure.isEmpty() ? errorToString(error) : setUpFailure;
        writeLogDebug(QStringLiteral("Error. Creating route for ") + deviceRecord.name + QStringLiteral(" to ") +
                      address + QStringLiteral(" failed. ") + withErrorCode(text, error));
        setDeviceError(text);
        state = Disconnected;
        disconnectCleanup();
        return false;
    }
    connectionSuspect = false;
    {
        std::lock_guard<std::mutex> lock(deviceMutex);
        connectionWatch.begin(plc::ads::GetConnectionCounters(netId).connection);
        // Before any item is subscribed, so that no program change in between goes unseen.
        const std::shared_ptr<std::mutex> targetMutex = targetOperationMutex();
        std::lock_guard<std::mutex> targetLock(*targetMutex);
        if (device) {
            programWatch.begin(*device);
        }
    }
    state = Connected;
    setDeviceError(QString());
    return true;
}

AdsDevice* Ads_Plc_Worker::connectTimeout(QString address, AmsNetId netId, uint16_t port, int32_t* error,
                                          uint32_t timeoutMs)
{
    const std::shared_ptr<std::mutex> targetMutex = targetOperationMutex();
    std::lock_guard<std::mutex> targetLock(*targetMutex);
    Opened_Device opened = openDevice(deviceRecord.name, address, netId, port, timeoutMs,
                                      secureTransport ? &*secureTransport : nullptr,
                                      [this](const QString& line) { writeLogDebug(line); });
    *error = opened.error;
    setUpFailure = opened.failure;
    if (opened.identity) {
        std::lock_guard<std::mutex> lock(identityMutex);
        identityValues = *opened.identity;
    }
    return opened.device.release();
}

// ---------------------------------------------------------------- item reads and writes

bool Ads_Plc_Worker::getItemValue(const ItemInstancePlugin& item, AdsValue* out)
{
    if (!itemExistsAsNotifier(item)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(valuesMutex);
    const auto it = values.constFind(ValueKey(static_cast<quint32>(deviceRecord.id), static_cast<quint32>(item.id)));
    if (it == values.constEnd() || it->value == EMPTY_VALUE) {
        return false;
    }
    out->value = it->value;
    out->type = it->type;
    out->timestamp = it->timestamp;
    return true;
}

std::vector<bool> Ads_Plc_Worker::writeItemValues(const QList<QPair<ItemInstancePlugin, QString>>& writes)
{
    std::vector<bool> landed(static_cast<size_t>(writes.size()), false);
    if (writes.isEmpty()) {
        return landed;
    }
    std::unique_lock<std::mutex> deviceLock(deviceMutex);
    if (!device || state.load() != Connected) {
        return landed;
    }
    std::vector<Item_Writes::Request> requests;
    for (const auto& write : writes) {
        const ItemInstancePlugin& item = write.first;
        const DataType type = static_cast<DataType>(item.config.value(QStringLiteral("type")).toInt());
        const std::string symbol = item.config.value(QStringLiteral("variable_name")).toUtf8().toStdString();
        const ItemTypeCheck* known = typeChecks.find(static_cast<quint32>(item.id), type, symbol);
        requests.push_back({item.name, type, symbol, write.second,
                            known ? std::optional<ItemTypeCheck>(*known) : std::nullopt});
    }
    std::vector<Item_Writes::Outcome> outcomes;
    try {
        std::lock_guard<std::mutex> targetLock(*targetOperationMutex());
        outcomes = itemWrites.write(*device, requests);
    } catch (const std::exception& e) {
        // Nothing may escape towards the host; whether a value landed is then unknown.
        outcomes.assign(requests.size(), Item_Writes::Outcome());
        for (Item_Writes::Outcome& outcome : outcomes) {
            outcome.fail(QString::fromLocal8Bit(e.what()));
        }
    }
    QList<ItemInstancePlugin> lost;
    QString lostText;
    for (size_t i = 0; i < outcomes.size(); ++i) {
        const ItemInstancePlugin& item = writes[static_cast<int>(i)].first;
        const quint32 itemId = static_cast<quint32>(item.id);
        const Item_Writes::Outcome& outcome = outcomes[i];
        if (outcome.typeJudged) {
            typeChecks.remember(itemId, requests[i].type, requests[i].symbol, outcome.typeCheck);
        }
        landed[i] = outcome.code == 0;
        if (landed[i]) {
            continue;
        }
        items.insert(itemId, item);
        setItemError(itemId, outcome.text);
        writeLogDebug(QStringLiteral("Error. Writing item ") + item.name + QLatin1Char(' ') + outcome.logText);
        if (isConnectionError(outcome.code)) {
            lost.append(item);
            lostText = outcome.text;
        }
    }
    if (!lost.isEmpty()) {
        failAndDisconnect(deviceLock, lost, lostText);
    }
    return landed;
}

void Ads_Plc_Worker::setItemError(unsigned int itemId, QString error)
{
    auto it = items.find(itemId);
    if (it == items.end()) {
        return;
    }
    writeLogDebug(QStringLiteral("Item assigning error to ID: ") + QString::number(itemId) + QStringLiteral(" Error: ") +
                  error);
    it->error = error;
}

QString Ads_Plc_Worker::getItemError(unsigned int itemId)
{
    std::lock_guard<std::mutex> lock(deviceMutex);
    const auto it = items.constFind(itemId);
    return it == items.constEnd() ? QString() : it->error;
}

// ---------------------------------------------------------------- subscriptions

uint32_t Ads_Plc_Worker::registerCallbackHandle(quint32 deviceId, quint32 itemId)
{
    std::lock_guard<std::mutex> lock(callbackHandlesMutex);
    for (;;) {
        const quint32 candidate = nextCallbackHandle;
        if (++nextCallbackHandle == 0) {
            nextCallbackHandle = 1;
        }
        if (candidate != 0 && !callbackHandles.contains(candidate)) {
            callbackHandles.insert(candidate, ValueKey(deviceId, itemId));
            return candidate;
        }
    }
}

void Ads_Plc_Worker::unregisterCallbackHandle(uint32_t userValue)
{
    std::lock_guard<std::mutex> lock(callbackHandlesMutex);
    callbackHandles.remove(userValue);
}

void Ads_Plc_Worker::setValueType(uint32_t userValue, const std::shared_ptr<const Plc_Type>& type)
{
    quint32 deviceId = 0;
    quint32 itemId = 0;
    if (resolveCallbackHandle(userValue, &deviceId, &itemId)) {
        std::lock_guard<std::mutex> lock(valuesMutex);
        const auto it = values.find(ValueKey(deviceId, itemId));
        if (it != values.end()) {
            it->type = type;
        }
    }
}

bool Ads_Plc_Worker::resolveCallbackHandle(uint32_t userValue, quint32* deviceId, quint32* itemId)
{
    std::lock_guard<std::mutex> lock(callbackHandlesMutex);
    const auto it = callbackHandles.constFind(userValue);
    if (it == callbackHandles.constEnd()) {
        return false;
    }
    *deviceId = it->first;
    *itemId = it->second;
    return true;
}

bool Ads_Plc_Worker::itemExistsAsNotifier(const ItemInstancePlugin& item)
{
    const quint32 itemId = static_cast<quint32>(item.id);
    return notifiers.has(itemId) || polls.has(itemId);
}

bool Ads_Plc_Worker::polledItemError(const ItemInstancePlugin& item, QString* error) const
{
    return polls.errorOf(static_cast<quint32>(item.id), error);
}

void Ads_Plc_Worker::addItemsToNotifier(const std::vector<const ItemInstancePlugin*>& list, const Read_Mode& mode)
{
    // The host asks for every item on every read: items already subscribed are answered
    // without waiting for the device, which a status read, a write or a poll may hold.
    const bool samePlacement = placedKind.load() == mode.kind && placedMax.load() == mode.maxNotifications;
    if (state.load() == Connected && samePlacement && polls.missing(notifiers.missing(list)).empty()) {
        return;
    }
    std::unique_lock<std::mutex> deviceLock(deviceMutex);
    if (!device || state.load() != Connected) {
        return;
    }
    placedKind = mode.kind;
    placedMax = mode.maxNotifications;
    const Read_Placement placement =
        placeItems(mode, list, [this](quint32 itemId) { return notifiers.has(itemId); }, notificationsRefused);
    moveBetweenModes(placement);
    Item_Notifiers::Overflow overflow;
    if (mode.kind == Read_Mode::Automatic) {
        overflow = [this](const ItemInstancePlugin& item, Item_Subscriptions::Outcome& outcome) {
            noteNotificationsRefused(outcome.text);
            polls.adopt(item, outcome);
        };
    }
    const std::chrono::seconds errorWait(deviceRecord.getErrorWaitTimeSeconds());
    const std::shared_ptr<std::mutex> targetMutex = targetOperationMutex();
    const size_t polledBefore = polls.count();
    Item_Notifiers::Lost lost = notifiers.subscribe(*device, *targetMutex, subscriptions, placement.notified,
                                                    errorWait, items, typeChecks, overflow);
    if (lost.items.isEmpty()) {
        lost = polls.add(*device, *targetMutex, subscriptions, placement.polled, errorWait, items, typeChecks);
    }
    if (polls.count() != polledBefore) {
        wakeLoop();
    }
    if (!lost.items.isEmpty()) {
        failAndDisconnect(deviceLock, lost.items, lost.text);
    }
}

void Ads_Plc_Worker::moveBetweenModes(const Read_Placement& placement)
{
    std::vector<quint32> leavingNotifiers;
    std::vector<quint32> leavingPolls;
    for (const ItemInstancePlugin* item : placement.polled) {
        if (notifiers.has(static_cast<quint32>(item->id))) {
            leavingNotifiers.push_back(static_cast<quint32>(item->id));
        }
    }
    for (const ItemInstancePlugin* item : placement.notified) {
        if (polls.has(static_cast<quint32>(item->id))) {
            leavingPolls.push_back(static_cast<quint32>(item->id));
        }
    }
    if (leavingNotifiers.empty() && leavingPolls.empty()) {
        return;
    }
    std::vector<AdsNotification::Handles> released = notifiers.take(leavingNotifiers);
    const std::vector<AdsNotification::Handles> polled = polls.take(leavingPolls);
    released.insert(released.end(), polled.begin(), polled.end());
    std::lock_guard<std::mutex> targetLock(*targetOperationMutex());
    subscriptions.release(*device, released);
}

void Ads_Plc_Worker::noteNotificationsRefused(const QString& text)
{
    if (!notificationsRefused) {
        writeLogWarning(QStringLiteral("PLC of ") + deviceRecord.name + QStringLiteral(" has no notification left (") +
                        text + QStringLiteral(") after ") + QString::number(notifiers.count()) +
                        QStringLiteral(" items; the items beyond are polled"));
    }
    notificationsRefused = true;
}

void Ads_Plc_Worker::wakeLoop()
{
    std::lock_guard<std::mutex> lock(stopMutex);
    pollsAdded = true;
    stopCondition.notify_all();
}

void Ads_Plc_Worker::pollDue()
{
    for (;;) {
        // The device lock and the target's are held per request: between two, the host's
        // subscriptions and writes and the other devices on this PLC get their turn.
        std::unique_lock<std::mutex> deviceLock(deviceMutex);
        Item_Polls::Chunk chunk;
        if (!running.load() || !device || state.load() != Connected ||
            !polls.nextChunk(std::chrono::steady_clock::now(), subscriptions.sumUsable(2), chunk)) {
            return;
        }
        int32_t status = ADS_OK;
        std::vector<plc::ads::SumReadWriteResult> results;
        try {
            std::lock_guard<std::mutex> targetLock(*targetOperationMutex());
            status = Item_Polls::read(*device, chunk, results);
        } catch (const std::exception&) {
            status = ADS_ERR_NO_MEMORY;
        }
        const Item_Polls::Lost lost = polls.apply(chunk, status, results, subscriptions, items);
        if (!lost.items.isEmpty()) {
            failAndDisconnect(deviceLock, lost.items, lost.text);
            return;
        }
    }
}

namespace {
// Each stray user value is warned about once. The set is bounded: a gateway that runs for
// months through many reconnections must not collect them forever; past the bound it starts
// over, at the price of warning again about values seen long ago.
bool firstWarningFor(quint32 hUser)
{
    constexpr int MAX_REMEMBERED = 4096;
    if (Ads_Plc_Worker::unknownItems.contains(hUser)) {
        return false;
    }
    if (Ads_Plc_Worker::unknownItems.size() >= MAX_REMEMBERED) {
        Ads_Plc_Worker::unknownItems.clear();
    }
    Ads_Plc_Worker::unknownItems.insert(hUser);
    return true;
}
}

void NotifyCallback(const AmsAddr* pAddr, const AdsNotificationHeader* pNotification, uint32_t hUser)
{
    Q_UNUSED(pAddr);
    if (!pNotification) {
        return;
    }
    quint32 deviceId = 0;
    quint32 itemId = 0;
    if (!Ads_Plc_Worker::resolveCallbackHandle(hUser, &deviceId, &itemId)) {
        std::lock_guard<std::mutex> lock(Ads_Plc_Worker::valuesMutex);
        if (firstWarningFor(hUser)) {
            qWarning("%s", qPrintable(QStringLiteral("[ads_plc] Unknown notifier callback handle returned a value. "
                                                     "Handle: ") +
                                      QString::number(hUser)));
        }
        return;
    }
    const QDateTime timestamp = sampleTimeToUtc(pNotification->sampleTime);
    // The sample bytes follow the header in the dispatcher's buffer.
    char* data = const_cast<char*>(reinterpret_cast<const char*>(pNotification + 1));

    const Ads_Plc_Worker::ValueKey key(deviceId, itemId);
    std::unique_lock<std::mutex> lock(Ads_Plc_Worker::valuesMutex);
    auto it = Ads_Plc_Worker::values.find(key);
    if (it != Ads_Plc_Worker::values.end()) {
        // A large array is converted without holding up every reader of every device meanwhile.
        constexpr uint64_t CONVERTED_UNDER_LOCK = 256;
        const std::shared_ptr<const Plc_Type> type = it->type;
        const bool large = type && type->size > CONVERTED_UNDER_LOCK;
        if (large) {
            lock.unlock();
        }
        const QString text =
            type ? bytesToText(*type, reinterpret_cast<const uint8_t*>(data), pNotification->dataSize) : QString();
        if (large) {
            lock.lock();
            it = Ads_Plc_Worker::values.find(key);
        }
        // Stored only as what the item reads now: a sample of an earlier subscription is dropped.
        if (type && it != Ads_Plc_Worker::values.end() && it->type == type) {
            it->value = text;
            it->timestamp = timestamp;
            Device_Statistics::noteSample(deviceId, itemId);
        }
    } else if (firstWarningFor(hUser)) {
        qWarning("%s", qPrintable(QStringLiteral("[ads_plc] Unknown notifier returned a value. DeviceID: ") +
                                  QString::number(deviceId) + QStringLiteral(" ItemID: ") + QString::number(itemId)));
    }
}

// ---------------------------------------------------------------- working loop and clean-up

const QString& Ads_Plc_Worker::placeholderValue()
{
    return EMPTY_VALUE;
}

bool Ads_Plc_Worker::isConnectionError(int32_t code)
{
    switch (code) {
    case 0x1A:
    case 0x1B:
    case 0x745:
    case 0x748:
    case 0x2746:
    case 0x274C:
    case 0x274D:
    case 0x2751:
        return true;
    default:
        return false;
    }
}

void Ads_Plc_Worker::listenToNotifiers()
{
    using Clock = std::chrono::steady_clock;
    const qint64 waitSeconds = deviceRecord.getErrorWaitTimeSeconds();
    // Waits run on the monotonic clock: a wall clock set back must not delay the next attempt.
    std::optional<Clock::time_point> lastAttempt;
    plc::ads::SetConnectCancelFlag(&stopping);
    while (running.load()) {
        bool noDevice = false;
        {
            std::lock_guard<std::mutex> lock(deviceMutex);
            noDevice = !device;
        }
        const DeviceState current = state.load();
        const bool due = (current == Disconnected || current == Initial || noDevice) &&
                         (!lastAttempt || *lastAttempt + std::chrono::seconds(waitSeconds) < Clock::now());
        if (due) {
            connectToAds();
            lastAttempt = Clock::now();
            bool failed = false;
            {
                std::lock_guard<std::mutex> lock(deviceMutex);
                failed = !device;
            }
            if (failed) {
                disconnectCleanup();
            }
        } else {
            // Polls wake the loop between the ticks of the status read; it stays at one per tick.
            const int64_t tick = Clock::now().time_since_epoch() / LOOP_PAUSE;
            const bool statusDue = tick != lastStatusTick;
            lastStatusTick = tick;
            std::unique_lock<std::mutex> deviceLock(deviceMutex);
            if (device && statusDue) {
                const std::shared_ptr<std::mutex> targetMutex = targetOperationMutex();
                std::unique_lock<std::mutex> targetLock(*targetMutex);
                int32_t code = 0;
                QString text;
                uint16_t adsState = ADSSTATE_RUN;
                try {
                    const auto pollStart = std::chrono::steady_clock::now();
                    adsState = device->GetState().adsState;
                    Device_Statistics::noteStatePoll(static_cast<quint32>(deviceRecord.id),
                                                     std::chrono::duration_cast<std::chrono::microseconds>(
                                                         std::chrono::steady_clock::now() - pollStart));
                } catch (const AdsException& e) {
                    code = e.resultCode;
                    text = errorToString(code);
                } catch (const std::exception& e) {
                    // A state the stack does not know: the PLC is not usable either.
                    code = -1;
                    text = QString::fromLocal8Bit(e.what());
                }
                plc::ads::ConnectionCounters counters;
                if (text.isEmpty()) {
                    counters = connectionCounters();
                    if (connectionWatch.replaced(counters)) {
                        writeLogWarning(QStringLiteral("Connection of ") + deviceRecord.name + QStringLiteral(" to ") +
                                        deviceRecord.address + QStringLiteral(" was lost or replaced; subscribing again"));
                        code = ADS_ERR_SYNC_TIMEOUT;
                        text = QStringLiteral("Connection lost");
                    }
                }
                if (text.isEmpty()) {
                    if (const std::optional<QString> warning = connectionWatch.lossWarning(counters, deviceRecord.name)) {
                        writeLogWarning(*warning);
                    }
                    const Plc_Program_Watch::Finding program = programWatch.check(*device, adsState);
                    for (const QString& warning : program.warnings) {
                        writeLogWarning(warning);
                    }
                    if (program.resubscribe) {
                        dropSubscriptions();
                    } else {
                        resubscribeLost();
                    }
                } else {
                    setDeviceError(text);
                    writeLogDebug(QStringLiteral("Error. Status for route ") + deviceRecord.name + QStringLiteral(" - ") +
                                  deviceRecord.address + QStringLiteral(" failed. ") + withErrorCode(text, code));
                    const bool broken = isConnectionError(code);
                    if (broken) {
                        connectionSuspect = true;
                    }
                    targetLock.unlock();
                    deviceLock.unlock();
                    disconnectCleanup();
                }
            }
            if (deviceLock.owns_lock()) {
                deviceLock.unlock();
            }
            pollDue();
        }
        sleepUnlessStopped(endOfPause(lastAttempt.value_or(Clock::time_point()), waitSeconds));
    }
    plc::ads::SetConnectCancelFlag(nullptr);
    checkBeforeStop();
    writeLogDebug(QStringLiteral("Out side of working loop. Instance: ") + deviceRecord.name);
    std::lock_guard<std::mutex> lock(stopMutex);
    loopEnded = true;
    stopCondition.notify_all();
}

// A connected device's passes fall on a 100 ms grid shared by every worker of the process, so
// that their status reads go out together: the process wakes a few times per tick instead of
// once per device at scattered times. A device waiting to reconnect sleeps until its attempt
// is due instead of waking every pass.
std::chrono::steady_clock::time_point Ads_Plc_Worker::endOfPause(std::chrono::steady_clock::time_point lastAttempt,
                                                                 qint64 waitSeconds)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point now = Clock::now();
    bool noDevice = false;
    Clock::time_point pollDue = Clock::time_point::max();
    {
        std::lock_guard<std::mutex> lock(deviceMutex);
        noDevice = !device;
        pollDue = polls.nextDue();
    }
    const DeviceState current = state.load();
    if (!noDevice && current != Disconnected && current != Initial) {
        const Clock::duration tick = LOOP_PAUSE;
        return std::min(Clock::time_point(((now + tick).time_since_epoch() / tick) * tick), pollDue);
    }
    // The attempt is due once the wait has passed by at least a millisecond.
    const Clock::time_point due = lastAttempt + std::chrono::seconds(waitSeconds) + std::chrono::milliseconds(1);
    return std::max(due, now + LOOP_PAUSE);
}

// The orderly tear-down sends two requests per item; a PLC that went silent since the last
// status read would make each of them wait the full time-out. One status read tells.
void Ads_Plc_Worker::checkBeforeStop()
{
    std::lock_guard<std::mutex> deviceLock(deviceMutex);
    if (!device || connectionSuspect.load()) {
        return;
    }
    const std::shared_ptr<std::mutex> targetMutex = targetOperationMutex();
    std::lock_guard<std::mutex> targetLock(*targetMutex);
    try {
        device->GetState();
    } catch (const AdsException& e) {
        if (isConnectionError(e.resultCode)) {
            connectionSuspect = true;
        }
    } catch (const std::exception&) {
    }
}

void Ads_Plc_Worker::failAndDisconnect(std::unique_lock<std::mutex>& deviceLock,
                                       const QList<ItemInstancePlugin>& failed, const QString& text)
{
    connectionSuspect = true;
    deviceLock.unlock();
    disconnectCleanup();
    // The clean-up forgets the items; the failure must still show when the host reads it back.
    std::lock_guard<std::mutex> lock(deviceMutex);
    for (const ItemInstancePlugin& item : failed) {
        items.insert(static_cast<quint32>(item.id), item);
        items[static_cast<quint32>(item.id)].error = text;
    }
    setDeviceError(text);
}

plc::ads::ConnectionCounters Ads_Plc_Worker::connectionCounters()
{
    AmsNetId netId(0u);
    {
        std::lock_guard<std::mutex> lock(errorMutex);
        netId = targetNetId;
    }
    return plc::ads::GetConnectionCounters(netId);
}

void Ads_Plc_Worker::disconnectCleanup(bool abortFirst)
{
    std::lock_guard<std::mutex> deviceLock(deviceMutex);
    writeLogDebug(QStringLiteral("Disconnecting and cleaning up ") + deviceRecord.name);
    state = Disconnected;
    if (abortFirst && device) {
        device->AbortConnection();
    }
    writeLogDebug(QStringLiteral("Removing notifiers for ") + deviceRecord.name);
    const std::shared_ptr<std::mutex> targetMutex = targetOperationMutex();
    std::lock_guard<std::mutex> targetLock(*targetMutex);
    dropSubscriptions();
    subscriptions.reset();
    programWatch.end();
    writeLogDebug(QStringLiteral("Done removing notifiers for ") + deviceRecord.name);
    writeLogDebug(QStringLiteral("Closing connection for ") + deviceRecord.name);
    device.reset();
    writeLogDebug(QStringLiteral("Done cleaning up ") + deviceRecord.name);
}

void Ads_Plc_Worker::dropSubscriptions()
{
    typeChecks.clear();
    subscriptions.forgetProgram();
    notificationsRefused = false;
    std::vector<AdsNotification::Handles> released = notifiers.takeAll();
    const std::vector<AdsNotification::Handles> polled = polls.takeAll();
    released.insert(released.end(), polled.begin(), polled.end());
    if (device) {
        subscriptions.release(*device, released);
    }
    {
        std::lock_guard<std::mutex> lock(valuesMutex);
        const quint32 deviceId = static_cast<quint32>(deviceRecord.id);
        for (auto it = values.begin(); it != values.end();) {
            it = it.key().first == deviceId ? values.erase(it) : std::next(it);
        }
    }
    // An item's failure stays visible until it is subscribed again: a clean-up of the worker
    // thread racing a failed subscription must not wipe the error the host is about to read.
    for (auto it = items.begin(); it != items.end();) {
        it = it->error.isEmpty() ? items.erase(it) : std::next(it);
    }
}

void Ads_Plc_Worker::resubscribeLost()
{
    const std::vector<plc::ads::LostNotification> lost = device->TakeLostNotifications();
    if (lost.empty()) {
        return;
    }
    for (const quint32 itemId : notifiers.dropLost(*device, lost)) {
        const QString name = items.value(itemId).name;
        writeLogWarning(QStringLiteral("PLC of ") + deviceRecord.name + QStringLiteral(" granted the notification of ") +
                        name + QStringLiteral(" to another request; subscribing it again"));
        setItemError(itemId, QStringLiteral("Notification given up: the PLC granted its handle again"));
    }
}
