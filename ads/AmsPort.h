// One local AMS port: its request time-out and the device notifications it owns.
#pragma once

#include "AdsDef.h"
#include "NotificationDispatcher.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

class AmsPort {
public:
    using DispatcherPredicate =
        std::function<bool(const AmsAddr& target, const std::shared_ptr<NotificationDispatcher>& dispatcher)>;

    AmsPort() = default;
    AmsPort(const AmsPort&) = delete;
    AmsPort& operator=(const AmsPort&) = delete;

    uint16_t Open(uint16_t number);
    bool IsOpen() const { return port.load() != 0; }
    uint16_t Number() const { return port.load(); }
    // Deletes every notification of the port on its target, ignoring failures, then closes it.
    void Close();

    // A handle granted again replaces the old entry.
    void AddNotification(AmsAddr target, uint32_t handle, std::shared_ptr<NotificationDispatcher> dispatcher);
    int32_t DelNotification(AmsAddr target, uint32_t handle);
    // Forgets, without any request, the notifications whose dispatcher matches; used when
    // the connection behind those dispatchers goes away.
    size_t ForgetNotifications(const DispatcherPredicate& matches);
    // Deletes one notification without waiting for the reply (its target does not answer),
    // so that it stops streaming once the target answers again; forgets it whatever happens.
    int32_t ForgetNotification(AmsAddr target, uint32_t handle);
    // Forgets one without any request (the target deleted it already); false when unknown.
    bool DropNotification(AmsAddr target, uint32_t handle);
    bool Holds(AmsAddr target, uint32_t handle) const;
    size_t NotificationCount() const;

    // A notification the port had to give up while its owner still holds it (the target
    // granted its handle again): the owner learns it here, by callback and user value.
    struct Lost {
        PAdsNotificationFuncEx callback;
        uint32_t userValue;
    };
    void NoteLost(const Notification& notification);
    std::vector<Lost> TakeLost();

    std::atomic<uint32_t> tmms{ADS_DEFAULT_TIMEOUT_MS};

private:
    using Key = std::pair<AmsAddr, uint32_t>;
    std::shared_ptr<NotificationDispatcher> TakeNotification(AmsAddr target, uint32_t handle);
    std::atomic<uint16_t> port{0};
    std::map<Key, std::shared_ptr<NotificationDispatcher>> dispatcherList;
    static constexpr size_t MAX_LOST = 4096; // an owner that never asks must not make it grow
    std::vector<Lost> lost;
    // Guards the map only; never held while a delete request waits for its reply.
    mutable std::mutex mutex;
};
