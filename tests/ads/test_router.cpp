// A router of its own per test against simulators on loopback: connection sharing,
// route counting and teardown, the local NetId, ports and time-outs, failed routes.
#include "ads/AmsRouter.h"
#include "support/upper_Notify.h"
#include "tools/sim/PlcSimulator.h"

#include <gtest/gtest.h>


using namespace std::chrono_literals;

namespace {

const AmsNetId kA{10, 10, 0, 1, 1, 1};
const AmsNetId kB{10, 10, 0, 2, 1, 1};

int32_t ReadState(AmsRouter& router, const AmsNetId& netId, uint16_t port, uint16_t* adsState = nullptr)
{
    const AmsAddr target{netId, 851};
    uint8_t reply[4] = {};
    AmsRequest request{target, port, ADS_CMD_READ_STATE, 0, sizeof(reply), reply};
    const int32_t status = router.AdsRequest(request);
    if (adsState) {
        *adsState = plc::ads::le::Read<uint16_t>(reply);
    }
    return status;
}

class Router : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim.Start();
        port = router.OpenPort();
        ASSERT_EQ(ADS_PORT_BASE, port);
        router.SetTimeout(port, 2000);
    }

    bool SimConnections(size_t n) { return upper::WaitUntil([&] { return sim.ConnectionCount() == n; }); }

    plcsim::PlcSimulator sim;
    AmsRouter router;
    uint16_t port = 0;
};

TEST_F(Router, NetIdsBehindOneAddressShareOneConnection)
{
    ASSERT_EQ(0, router.AddRoute(kA, sim.HostString()));
    ASSERT_EQ(0, router.AddRoute(kB, sim.HostString()));
    EXPECT_EQ(1u, router.ConnectionCount());
    EXPECT_EQ(router.GetConnection(kA), router.GetConnection(kB));
    EXPECT_EQ(0, ReadState(router, kA, port));
    EXPECT_EQ(0, ReadState(router, kB, port));
    EXPECT_TRUE(SimConnections(1));
    EXPECT_EQ(1u, sim.AcceptedCount());
}

TEST_F(Router, MappedNetIdOverAnotherAddressIsRefusedAndTheOldRouteKeepsWorking)
{
    plcsim::PlcSimulator other;
    other.Start();
    ASSERT_EQ(0, router.AddRoute(kA, sim.HostString()));
    EXPECT_EQ(ROUTERERR_PORTALREADYINUSE, router.AddRoute(kA, other.HostString()));
    EXPECT_EQ(1u, router.RouteCount(kA));
    EXPECT_EQ(0, ReadState(router, kA, port));
    EXPECT_EQ(0u, other.AcceptedCount());
}

TEST_F(Router, SameRouteTwiceNeedsTwoDeletesBeforeTheConnectionCloses)
{
    ASSERT_EQ(0, router.AddRoute(kA, sim.HostString()));
    ASSERT_EQ(0, router.AddRoute(kA, sim.HostString()));
    EXPECT_EQ(2u, router.GetConnection(kA)->routeCount);

    router.DelRoute(kA);
    EXPECT_EQ(0, ReadState(router, kA, port));
    EXPECT_EQ(1u, router.ConnectionCount());

    router.DelRoute(kA);
    EXPECT_EQ(ADS_ERR_TARGET_NOT_FOUND, ReadState(router, kA, port));
    EXPECT_EQ(0u, router.ConnectionCount());
    EXPECT_TRUE(SimConnections(0));

    router.DelRoute(kA); // nothing left: no effect
    EXPECT_EQ(0u, router.ConnectionCount());
}

// Each NetId counts its own routes: deleting A's only route unroutes A at once, and
// the connection closes when the last NetId using it goes.
TEST_F(Router, TwoNetIdsOnOneConnectionAreCountedSeparately)
{
    ASSERT_EQ(0, router.AddRoute(kA, sim.HostString()));
    ASSERT_EQ(0, router.AddRoute(kB, sim.HostString()));
    auto connection = router.GetConnection(kA);
    EXPECT_EQ(2u, connection->routeCount);

    router.DelRoute(kA);
    EXPECT_EQ(ADS_ERR_TARGET_NOT_FOUND, ReadState(router, kA, port));
    EXPECT_EQ(0, ReadState(router, kB, port));
    EXPECT_EQ(1u, connection->routeCount);
    EXPECT_EQ(1u, router.ConnectionCount());

    router.DelRoute(kA); // already gone: must not touch B's count
    EXPECT_EQ(1u, connection->routeCount);
    EXPECT_EQ(0, ReadState(router, kB, port));

    connection.reset(); // the router must be the one that closes it
    router.DelRoute(kB);
    EXPECT_EQ(0u, router.ConnectionCount());
    EXPECT_TRUE(SimConnections(0));
}

TEST_F(Router, LocalNetIdComesFromTheFirstConnectionUnlessSetBefore)
{
    EXPECT_FALSE(router.GetLocalNetId()) << "starts unset";
    ASSERT_EQ(0, router.AddRoute(kA, sim.HostString()));
    EXPECT_EQ((AmsNetId{127, 0, 0, 1, 1, 1}), router.GetLocalNetId());

    const AmsNetId chosen{1, 2, 3, 4, 5, 6};
    router.SetLocalAddress(chosen);
    plcsim::PlcSimulator other;
    other.Start();
    ASSERT_EQ(0, router.AddRoute(kB, other.HostString()));
    EXPECT_EQ(2u, router.ConnectionCount());
    EXPECT_EQ(chosen, router.GetLocalNetId());

    AmsAddr local{AmsNetId{}, 0};
    ASSERT_EQ(0, router.GetLocalAddress(port, &local));
    EXPECT_EQ((AmsAddr{chosen, port}), local);
    ASSERT_EQ(0, ReadState(router, kB, port));
    EXPECT_TRUE(other.WaitForRequests(
        [&](const std::vector<plcsim::Request>& r) { return !r.empty() && r.back().header.sourceNetId == chosen; },
        2s));
}

TEST_F(Router, PortsOpenLowestFirstAndAClosedPortComesBackWithTheDefaultTimeout)
{
    for (uint16_t expected = ADS_PORT_BASE + 1; expected < ADS_PORT_BASE + ADS_PORT_COUNT; ++expected) {
        ASSERT_EQ(expected, router.OpenPort());
    }
    EXPECT_EQ(0, router.OpenPort());

    EXPECT_EQ(0, router.SetTimeout(30005, 77));
    EXPECT_EQ(0, router.ClosePort(30005));
    EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, router.ClosePort(30005));
    AmsAddr untouched{AmsNetId{9, 9, 9, 9, 9, 9}, 9};
    EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, router.GetLocalAddress(30005, &untouched));
    EXPECT_EQ((AmsAddr{AmsNetId{9, 9, 9, 9, 9, 9}, 9}), untouched);

    EXPECT_EQ(30005, router.OpenPort());
    uint32_t timeout = 0;
    EXPECT_EQ(0, router.GetTimeout(30005, timeout));
    EXPECT_EQ(ADS_DEFAULT_TIMEOUT_MS, timeout);
    EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, router.ClosePort(29999));
    EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, router.ClosePort(30128));
}

TEST_F(Router, TimeoutsExistForEveryPortInRangeOpenOrNot)
{
    uint32_t timeout = 1;
    EXPECT_EQ(0, router.GetTimeout(30127, timeout));
    EXPECT_EQ(ADS_DEFAULT_TIMEOUT_MS, timeout);
    EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, router.GetTimeout(29999, timeout));
    EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, router.GetTimeout(30128, timeout));
    EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, router.SetTimeout(30128, 5));
    EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, router.SetTimeout(29999, 5));

    EXPECT_EQ(0, router.SetTimeout(30100, 123));
    EXPECT_EQ(0, router.GetTimeout(30100, timeout));
    EXPECT_EQ(123u, timeout);
}

TEST_F(Router, RequestsNeedARouteAndAnOpenPortInRange)
{
    ASSERT_EQ(0, router.AddRoute(kA, sim.HostString()));
    EXPECT_EQ(ADS_ERR_TARGET_NOT_FOUND, ReadState(router, kB, port));
    EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, ReadState(router, kA, 851));
    EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, ReadState(router, kA, 30001)) << "in range but not open";
    sim.ClearRequests();
    uint16_t state = 0;
    EXPECT_EQ(0, ReadState(router, kA, port, &state));
    EXPECT_EQ(ADSSTATE_RUN, state);
    EXPECT_EQ(1u, sim.RequestCount()) << "refused requests send nothing";

    uint32_t bytesRead = 77;
    uint8_t buffer[4];
    const AmsAddr unrouted{kB, 851};
    AmsRequest read{unrouted, port, ADS_CMD_READ, 12, sizeof(buffer), buffer, &bytesRead};
    EXPECT_EQ(ADS_ERR_TARGET_NOT_FOUND, router.AdsRequest(read));
    EXPECT_EQ(0u, bytesRead);
}

TEST_F(Router, FailedRoutesLeaveNothingBehind)
{
    upper::RefusingHost refusing;
    try {
        router.AddRoute(kA, refusing.Host());
        ADD_FAILURE() << "a refused connection must throw";
    } catch (const std::runtime_error& ex) {
        ADD_FAILURE() << "must not be a runtime_error: " << ex.what();
    } catch (const std::bad_alloc&) {
        ADD_FAILURE() << "must not be bad_alloc";
    } catch (const std::exception&) {
    }
    // A service name that does not exist fails in the resolver without any network query.
    EXPECT_THROW(router.AddRoute(kA, "127.0.0.1:no-such-service"), std::runtime_error);

    EXPECT_EQ(0u, router.ConnectionCount());
    EXPECT_EQ(0u, router.RouteCount(kA));
    // No attempt is left pending: the same NetId can be routed at once.
    EXPECT_EQ(0, router.AddRoute(kA, sim.HostString()));
    EXPECT_EQ(0, ReadState(router, kA, port));
}

// A connection that has been lost is never handed to a new route; a NetId that still
// points at it moves to a working connection the next time its route is added.
TEST_F(Router, LostConnectionsAreNotSharedAndRoutesMoveAway)
{
    ASSERT_EQ(0, router.AddRoute(kA, sim.HostString()));
    auto lost = router.GetConnection(kA);
    router.AbortConnection(kA);
    ASSERT_TRUE(upper::WaitUntil([&] { return lost->IsLost(); }));
    EXPECT_EQ(ADS_ERR_SYNC_TIMEOUT, ReadState(router, kA, port));

    ASSERT_EQ(0, router.AddRoute(kB, sim.HostString()));
    auto fresh = router.GetConnection(kB);
    EXPECT_NE(lost, fresh);
    EXPECT_EQ(0, ReadState(router, kB, port));
    EXPECT_EQ(2u, router.ConnectionCount());

    lost.reset();
    ASSERT_EQ(0, router.AddRoute(kA, sim.HostString()));
    EXPECT_EQ(fresh, router.GetConnection(kA));
    EXPECT_EQ(0, ReadState(router, kA, port));
    EXPECT_EQ(1u, router.ConnectionCount()) << "the lost connection is gone with its last route";
    EXPECT_EQ(3u, fresh->routeCount);
    EXPECT_EQ(2u, router.RouteCount(kA));
    EXPECT_TRUE(SimConnections(1));
    fresh.reset();

    router.DelRoute(kA);
    router.DelRoute(kA);
    EXPECT_EQ(ADS_ERR_TARGET_NOT_FOUND, ReadState(router, kA, port));
    EXPECT_EQ(1u, router.ConnectionCount());
    router.DelRoute(kB);
    EXPECT_EQ(0u, router.ConnectionCount());
    EXPECT_TRUE(SimConnections(0));
}

} // namespace
