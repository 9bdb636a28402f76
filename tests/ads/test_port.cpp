// Local port records with the delete request replaced by a recording function: which
// deletes go out, and what a closed port forgets.
#include "ads/AmsPort.h"
#include "support/upper_Notify.h"

#include <gtest/gtest.h>

namespace {

const AmsAddr kPlcA{AmsNetId{10, 0, 0, 1, 1, 1}, 851};
const AmsAddr kPlcB{AmsNetId{10, 0, 0, 2, 1, 1}, 851};

using Calls = std::vector<std::pair<uint32_t, uint32_t>>; // handle, time-out

std::shared_ptr<NotificationDispatcher> Recording(Calls& calls, int32_t result)
{
    return std::make_shared<NotificationDispatcher>(
        [&calls, result](uint32_t handle, uint32_t timeout) {
            calls.emplace_back(handle, timeout);
            return result;
        },
        64);
}

void Register(AmsPort& port, const std::shared_ptr<NotificationDispatcher>& d, const AmsAddr& target, uint32_t handle)
{
    auto n = std::make_shared<Notification>(&upper::Recorder::Callback, handle, 4, target, port.Number());
    d->Emplace(handle, n);
    port.AddNotification(target, handle, d);
}

TEST(Port, DeleteSendsOneRequestForAKnownTargetAndHandle)
{
    Calls calls;
    auto d = Recording(calls, ADS_ERR_SYNC_TIMEOUT);
    AmsPort port;
    port.Open(30001);
    port.tmms = 700;
    Register(port, d, kPlcA, 5);

    EXPECT_EQ(ADS_ERR_NOTIFICATION_NOT_FOUND, port.DelNotification(kPlcB, 5));
    EXPECT_EQ(ADS_ERR_SYNC_TIMEOUT, port.DelNotification(kPlcA, 5)) << "the target's code is passed on";
    EXPECT_EQ(ADS_ERR_NOTIFICATION_NOT_FOUND, port.DelNotification(kPlcA, 5)) << "forgotten although it failed";
    EXPECT_EQ((Calls{{5, 700}}), calls);
    EXPECT_EQ(nullptr, d->Find(5));
}

TEST(Port, CloseDeletesEveryNotificationAndResetsThePortEvenWhenDeletesFail)
{
    Calls callsA;
    Calls callsB;
    auto dA = Recording(callsA, ADS_ERR_SYNC_TIMEOUT);
    auto dB = Recording(callsB, ADS_ERR_SYNC_TIMEOUT);
    AmsPort port;
    EXPECT_EQ(30002, port.Open(30002));
    port.tmms = 250;
    Register(port, dA, kPlcA, 1);
    Register(port, dA, kPlcA, 2);
    Register(port, dB, kPlcB, 1);
    port.AddNotification(kPlcB, 1, dA); // the first registration of a key stays

    port.Close();
    EXPECT_EQ((Calls{{1, 250}, {2, 250}}), callsA);
    EXPECT_EQ((Calls{{1, 250}}), callsB);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(ADS_DEFAULT_TIMEOUT_MS, port.tmms);

    // A subscription that completed while the port was being closed: its next owner starts clean.
    Register(port, dA, kPlcA, 9);
    port.Open(30002);
    EXPECT_EQ(ADS_DEFAULT_TIMEOUT_MS, port.tmms);
    EXPECT_EQ(0u, port.NotificationCount());
    EXPECT_EQ(nullptr, dA->Find(9));
    EXPECT_EQ(ADS_ERR_NOTIFICATION_NOT_FOUND, port.DelNotification(kPlcA, 1));
    EXPECT_EQ(2u, callsA.size());
}

} // namespace
