#include "AmsPort.h"

#include <vector>

uint16_t AmsPort::Open(uint16_t number)
{
    decltype(dispatcherList) leftovers;
    {
        // A close that raced with a subscription may have left entries of the previous owner.
        std::lock_guard<std::mutex> lock(mutex);
        leftovers.swap(dispatcherList);
    }
    for (const auto& entry : leftovers) {
        entry.second->Forget(entry.first.second);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        lost.clear();
    }
    tmms = ADS_DEFAULT_TIMEOUT_MS;
    port = number;
    return number;
}

void AmsPort::Close()
{
    decltype(dispatcherList) entries;
    {
        std::lock_guard<std::mutex> lock(mutex);
        entries.swap(dispatcherList);
    }
    // Unlocked while the deletes wait, so a silent target cannot stall other users of the map.
    for (const auto& entry : entries) {
        entry.second->Erase(entry.first.second, tmms);
    }
    tmms = ADS_DEFAULT_TIMEOUT_MS;
    port = 0;
}

void AmsPort::AddNotification(AmsAddr target, uint32_t handle, std::shared_ptr<NotificationDispatcher> dispatcher)
{
    std::shared_ptr<NotificationDispatcher> previous;
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::shared_ptr<NotificationDispatcher>& entry = dispatcherList[Key{target, handle}];
        if (entry != dispatcher) {
            previous = std::move(entry);
        }
        entry = std::move(dispatcher);
    }
    // The old grant was served by another dispatcher (an earlier connection), where nothing
    // could delete it any more.
    if (previous) {
        previous->Forget(handle);
    }
}

// Taken out first: a second delete of the same handle finds nothing and sends nothing.
std::shared_ptr<NotificationDispatcher> AmsPort::TakeNotification(AmsAddr target, uint32_t handle)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = dispatcherList.find(Key{target, handle});
    if (it == dispatcherList.end()) {
        return nullptr;
    }
    std::shared_ptr<NotificationDispatcher> dispatcher = std::move(it->second);
    dispatcherList.erase(it);
    return dispatcher;
}

int32_t AmsPort::DelNotification(AmsAddr target, uint32_t handle)
{
    const std::shared_ptr<NotificationDispatcher> dispatcher = TakeNotification(target, handle);
    return dispatcher ? dispatcher->Erase(handle, tmms) : ADS_ERR_NOTIFICATION_NOT_FOUND;
}

int32_t AmsPort::ForgetNotification(AmsAddr target, uint32_t handle)
{
    const std::shared_ptr<NotificationDispatcher> dispatcher = TakeNotification(target, handle);
    if (!dispatcher) {
        return ADS_ERR_NOTIFICATION_NOT_FOUND;
    }
    return dispatcher->Erase(handle, 0);
}

bool AmsPort::DropNotification(AmsAddr target, uint32_t handle)
{
    const std::shared_ptr<NotificationDispatcher> dispatcher = TakeNotification(target, handle);
    if (dispatcher) {
        dispatcher->Forget(handle);
    }
    return dispatcher != nullptr;
}

bool AmsPort::Holds(AmsAddr target, uint32_t handle) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return dispatcherList.count(Key{target, handle}) != 0;
}

void AmsPort::NoteLost(const Notification& notification)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (lost.size() < MAX_LOST) {
        lost.push_back(Lost{notification.callback, notification.userValue});
    }
}

std::vector<AmsPort::Lost> AmsPort::TakeLost()
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Lost> taken;
    taken.swap(lost);
    return taken;
}

size_t AmsPort::ForgetNotifications(const DispatcherPredicate& matches)
{
    std::lock_guard<std::mutex> lock(mutex);
    size_t count = 0;
    for (auto it = dispatcherList.begin(); it != dispatcherList.end();) {
        if (matches(it->first.first, it->second)) {
            it = dispatcherList.erase(it);
            ++count;
        } else {
            ++it;
        }
    }
    return count;
}

size_t AmsPort::NotificationCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return dispatcherList.size();
}
