// Local port records: notification bookkeeping, deletes on close, and the reset of a
// closed port, with the delete request replaced by a recording function.
#include "ads/AmsPort.h"
#include "support/upper_Notify.h"

#include <gtest/gtest.h>

namespace {

const AmsAddr kPlcA{AmsNetId{10, 0, 0, 1, 1, 1}, 851};
const AmsAddr kPlcB{AmsNetId{10, 0, 0, 2, 1, 1}, 851};

struct Deletes {
    std::mutex mutex;
    std::vector<std::pair<uint32_t, uint32_t>> calls; // handle, time-out
    int32_t result = 0;
};

std::shared_ptr<NotificationDispatcher> MakeDispatcher(Deletes& log)
{
    return std::make_shared<NotificationDispatcher>(
        [&log](uint32_t handle, uint32_t timeout) {
            std::lock_guard<std::mutex> lock(log.mutex);
            log.calls.emplace_back(handle, timeout);
            return log.result;
        },
        64);
}

void Subscribe(AmsPort& port, const std::shared_ptr<NotificationDispatcher>& d, const AmsAddr& target,
               uint32_t handle)
{
    auto n = std::make_shared<Notification>(&upper::Recorder::Callback, handle, 4, target, port.Number());
    n->SetHandle(handle);
    d->Emplace(handle, n);
    port.AddNotification(target, handle, d);
}

TEST(Port, DeletingTwiceSendsOneRequestThenReportsNotFound)
{
    Deletes log;
    auto d = MakeDispatcher(log);
    AmsPort port;
    port.Open(30001);
    port.tmms = 700;
    Subscribe(port, d, kPlcA, 5);

    EXPECT_EQ(0, port.DelNotification(kPlcA, 5));
    EXPECT_EQ(ADS_ERR_NOTIFICATION_NOT_FOUND, port.DelNotification(kPlcA, 5));
    ASSERT_EQ(1u, log.calls.size());
    EXPECT_EQ(std::make_pair(5u, 700u), log.calls[0]);
    EXPECT_EQ(nullptr, d->Find(5));
}

TEST(Port, DeleteNeedsTheSameTargetAndPassesTheTargetsCodeOn)
{
    Deletes log;
    log.result = ADS_ERR_SYNC_TIMEOUT;
    auto d = MakeDispatcher(log);
    AmsPort port;
    port.Open(30001);
    Subscribe(port, d, kPlcA, 5);

    EXPECT_EQ(ADS_ERR_NOTIFICATION_NOT_FOUND, port.DelNotification(kPlcB, 5));
    EXPECT_TRUE(log.calls.empty());
    EXPECT_EQ(ADS_ERR_SYNC_TIMEOUT, port.DelNotification(kPlcA, 5));
    EXPECT_EQ(0u, port.NotificationCount()) << "forgotten even when the delete failed";
}

TEST(Port, CloseDeletesEveryNotificationAndResetsThePortEvenWhenDeletesFail)
{
    Deletes logA;
    Deletes logB;
    logA.result = logB.result = ADS_ERR_SYNC_TIMEOUT;
    auto dA = MakeDispatcher(logA);
    auto dB = MakeDispatcher(logB);
    AmsPort port;
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(30002, port.Open(30002));
    EXPECT_TRUE(port.IsOpen());
    port.tmms = 250;
    Subscribe(port, dA, kPlcA, 1);
    Subscribe(port, dA, kPlcA, 2);
    Subscribe(port, dB, kPlcB, 1);
    // A second registration of the same key keeps the first dispatcher.
    port.AddNotification(kPlcB, 1, dA);

    port.Close();
    EXPECT_EQ((std::vector<std::pair<uint32_t, uint32_t>>{{1, 250}, {2, 250}}), logA.calls);
    EXPECT_EQ((std::vector<std::pair<uint32_t, uint32_t>>{{1, 250}}), logB.calls);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(ADS_DEFAULT_TIMEOUT_MS, port.tmms);
    EXPECT_EQ(0u, port.NotificationCount());

    port.Open(30002);
    EXPECT_EQ(ADS_DEFAULT_TIMEOUT_MS, port.tmms);
    EXPECT_EQ(ADS_ERR_NOTIFICATION_NOT_FOUND, port.DelNotification(kPlcA, 1));
}

TEST(Port, ForgettingNotificationsSendsNothing)
{
    Deletes logA;
    Deletes logB;
    auto dA = MakeDispatcher(logA);
    auto dB = MakeDispatcher(logB);
    AmsPort port;
    port.Open(30000);
    Subscribe(port, dA, kPlcA, 1);
    Subscribe(port, dB, kPlcB, 2);

    EXPECT_EQ(1u, port.ForgetNotifications([&](const AmsAddr&, const std::shared_ptr<NotificationDispatcher>& d) {
        return d == dA;
    }));
    port.Close();
    EXPECT_TRUE(logA.calls.empty());
    EXPECT_EQ(1u, logB.calls.size());
}

} // namespace
