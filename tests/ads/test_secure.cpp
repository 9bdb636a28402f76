// The secure transport against the simulator's secure port: each authentication mode with the
// connection carrying requests and notifications, each wrong key, certificate and fingerprint
// refused with its own text, peers that stall or send garbage bounded by the time-out, and the
// formats inside the tunnel.
#include "support/stack.h"
#include "tls_certificates.h"

#include "ads/ConnectInfo.h"
#include "ads/SecureSettings.h"
#include "ads/TunnelFraming.h"

#include <gmock/gmock.h>

#include <poll.h>

#include <thread>

namespace stack {
namespace {

using plc::ads::ConnectInfo;
using plc::ads::SecureSettings;
using plcsim::SecureSimOptions;
using ::testing::HasSubstr;
using Mode = SecureSettings::Mode;

TEST(TunnelFormat, ConnectInfoHasItsFixedLayoutAndLengthsThatMustAddUp)
{
    ConnectInfo info;
    info.flags = ConnectInfo::SELF_SIGNED | ConnectInfo::ADD_REMOTE;
    info.netId = AmsNetId(10, 1, 2, 3, 1, 1);
    info.hostName = "gateway";
    info.userName = "admin";
    info.password = "pw";
    const std::vector<uint8_t> block = info.Encode();
    std::vector<uint8_t> expected(71, 0);
    const uint8_t head[] = {71, 0, 0x90, 0, 1, 0, 10, 1, 2, 3, 1, 1, 5, 2};
    std::copy(std::begin(head), std::end(head), expected.begin());
    std::copy_n("gateway", 7, expected.begin() + 32);
    std::copy_n("adminpw", 7, expected.begin() + 64);
    EXPECT_EQ(expected, block);

    ConnectInfo back;
    ASSERT_TRUE(ConnectInfo::Decode(block.data(), block.size(), back));
    EXPECT_EQ("gateway", back.hostName);
    EXPECT_EQ("admin", back.userName);
    EXPECT_EQ("pw", back.password);
    EXPECT_EQ(info.netId, back.netId);
    // Shorter than announced, credentials that overrun or underrun the block, a length below the fixed part.
    EXPECT_FALSE(ConnectInfo::Decode(block.data(), block.size() - 1, back));
    for (const auto& [at, value] : std::vector<std::pair<size_t, uint8_t>>{{12, 6}, {13, 1}, {0, 63}, {0, 70}}) {
        std::vector<uint8_t> broken = block;
        broken[at] = value;
        EXPECT_FALSE(ConnectInfo::Decode(broken.data(), broken.size(), back)) << at << "=" << int(value);
    }
    info.password.assign(256, 'x');
    EXPECT_THROW(info.Encode(), std::length_error);
}

TEST(TunnelFormat, FramesLoseTheirTcpHeaderInTheTunnelAndGetItBackOutOfIt)
{
    // Two AMS/TCP frames: header, 32-byte AMS header with data length 3 and 0, then the data.
    std::vector<uint8_t> frames;
    for (const uint32_t dataLength : {3u, 0u}) {
        plc::ads::AoEHeader header;
        header.length = dataLength;
        header.invokeId = 0xA0 + dataLength;
        std::vector<uint8_t> frame(6 + 32 + dataLength, static_cast<uint8_t>(0xD0 + dataLength));
        plc::ads::AmsTcpHeader tcp;
        tcp.length = 32 + dataLength;
        tcp.Encode(frame.data());
        header.Encode(frame.data() + 6);
        frames.insert(frames.end(), frame.begin(), frame.end());
    }
    // The encoder may get the frames cut anywhere; the tunnel carries the AMS packets only.
    plc::ads::TunnelEncoder encoder;
    std::vector<uint8_t> tunnel;
    for (const uint8_t byte : frames) {
        encoder.Encode(&byte, 1, tunnel);
    }
    ASSERT_EQ(frames.size() - 12, tunnel.size());
    EXPECT_TRUE(std::equal(frames.begin() + 6, frames.begin() + 41, tunnel.begin()));
    // A write cut after the first packet sent the first frame whole, and not the second's header.
    encoder.Encode(frames.data(), frames.size(), tunnel = {});
    EXPECT_EQ(41u, encoder.InputFor(35));
    EXPECT_EQ(50u, encoder.InputFor(38));

    // The decoder fed byte by byte and with a small output gives the frames back exactly.
    plc::ads::TunnelDecoder decoder;
    std::vector<uint8_t> back;
    for (const uint8_t byte : tunnel) {
        size_t used = 0;
        for (size_t produced = 1; produced != 0;) {
            uint8_t out[5];
            size_t now = 0;
            produced = decoder.Decode(&byte + used, 1 - used, now, out, sizeof(out));
            back.insert(back.end(), out, out + produced);
            used += now;
        }
        ASSERT_EQ(1u, used);
    }
    EXPECT_EQ(frames, back);
    // A data length no AMS/TCP frame can carry ends the stream.
    std::vector<uint8_t> huge(32, 0xFF);
    size_t used = 0;
    uint8_t out[64];
    EXPECT_THROW(plc::ads::TunnelDecoder().Decode(huge.data(), huge.size(), used, out, sizeof(out)),
                 std::runtime_error);
}

class SecureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        plcsim::SimOptions options;
        options.defaultSymbols = false;
        options.netId = kPlc;
        sim = std::make_unique<plcsim::PlcSimulator>(options);
        sim->Start();
        sim->SetMemory(kGroup, 0, Words({0xC0DE}));
        pki.Make("ca", "Plant CA", "", true);
        pki.Make("plc", "127.0.0.1", "ca");
        pki.Make("gateway", "gateway", "ca");
        Recorder::Reset();
    }
    void TearDown() override
    {
        for (const int32_t p : ports) {
            AdsPortCloseEx(p);
        }
        plc::ads::DelLocalRoute(kPlc);
        EXPECT_EQ(0u, GetRouter().ConnectionCount());
    }

    void Serve(SecureSimOptions options) { sim->StartSecure(options); }
    SecureSimOptions PskPlc() const
    {
        SecureSimOptions options;
        options.pskIdentity = "Gateway7";
        options.pskPassword = "s3cret";
        return options;
    }
    SecureSettings Psk(const std::string& identity = "Gateway7", const std::string& password = "s3cret") const
    {
        SecureSettings s;
        s.pskIdentity = identity;
        s.pskPassword = password;
        return s;
    }
    SecureSimOptions CaPlc(const std::string& certificate = "plc") const
    {
        SecureSimOptions options;
        options.mode = SecureSimOptions::Mode::SharedCa;
        options.caFile = pki.Path("ca.pem");
        options.certificateFile = pki.Path(certificate + ".pem");
        options.keyFile = pki.Key(certificate);
        return options;
    }
    SecureSettings Certificates(Mode mode, const std::string& ca = "ca") const
    {
        SecureSettings s;
        s.mode = mode;
        s.caFile = pki.Path(ca + ".pem");
        s.certificateFile = pki.Path("gateway.pem");
        s.keyFile = pki.Key("gateway");
        return s;
    }
    // The route's outcome: empty once it works (and it is then read through), else the refusal.
    std::string Connect(const SecureSettings& settings, const std::string& host = "", uint32_t boundMs = 2000)
    {
        const std::string target = host.empty() ? sim->SecureHostString() : host;
        try {
            const int32_t status = plc::ads::AddLocalRoute(kPlc, target.c_str(), boundMs, &settings);
            if (status != 0) {
                return "code " + std::to_string(status);
            }
        } catch (const plc::ads::SecureConnectError& e) {
            EXPECT_EQ(0u, GetRouter().ConnectionCount());
            return e.what();
        }
        ++routes;
        const int32_t p = AdsPortOpenEx();
        ports.push_back(p);
        AdsSyncSetTimeoutEx(p, 2000);
        uint8_t cell[4] = {};
        uint32_t bytesRead = 0;
        EXPECT_EQ(0, AdsSyncReadReqEx2(p, &plc, kGroup, 0, 4, cell, &bytesRead));
        EXPECT_EQ(0xC0DEu, le::Read<uint32_t>(cell));
        return "";
    }
    void Disconnect()
    {
        for (; routes > 0; --routes) {
            plc::ads::DelLocalRoute(kPlc);
        }
    }

    const AmsNetId kPlc{10, 30, 0, 1, 1, 1};
    const AmsAddr plc{kPlc, 851};
    tls_test::Pki pki;
    std::unique_ptr<plcsim::PlcSimulator> sim;
    std::vector<int32_t> ports;
    int routes = 0;
};

TEST_F(SecureTest, PreSharedKeyCarriesRequestsAndNotificationsAfterALeanClientHello)
{
    Serve(PskPlc());
    ASSERT_EQ("", Connect(Psk()));
    const AdsNotificationAttrib attrib{4, ADS_TRANS_SERVER_ON_CHANGE, 0, 0};
    uint32_t handle = 0;
    ASSERT_EQ(0, AdsSyncAddDeviceNotificationReqEx(ports[0], &plc, kGroup, 0, &attrib, &Recorder::Callback, 7,
                                                   &handle));
    ASSERT_TRUE(Recorder::WaitForCount(1));
    sim->SetMemory(kGroup, 0, Words({0xBEEF}));
    ASSERT_TRUE(Recorder::WaitForCount(2));
    EXPECT_EQ(0xBEEFu, le::Read<uint32_t>(Recorder::Samples().back().data.data()));
    EXPECT_EQ(0, AdsSyncDelDeviceNotificationReqEx(ports[0], &plc, handle));

    const auto clients = sim->SecureClients();
    ASSERT_EQ(1u, clients.size());
    EXPECT_EQ(0, clients[0].flags);
    EXPECT_EQ(GetRouter().GetLocalNetId(), clients[0].netId);
    EXPECT_EQ("", clients[0].userName);
    // No server name, session ticket, encrypt-then-mac or extended master secret: only the
    // signature algorithms the library always sends.
    EXPECT_EQ(std::vector<int>{13}, clients[0].helloExtensions);
}

TEST_F(SecureTest, WrongPreSharedKeysAndMissingFilesAreRefusedWithTheirOwnTexts)
{
    Serve(PskPlc());
    for (const SecureSettings& wrong : {Psk("Gateway7", "guess"), Psk("Intruder", "s3cret")}) {
        EXPECT_THAT(Connect(wrong), HasSubstr("TLS handshake with the PLC failed: "));
    }
    // Tried again at once, the failure repeats without a connection the PLC might hold against us.
    const uint64_t accepted = sim->SecureAcceptedCount();
    EXPECT_EQ(2u, accepted);
    EXPECT_THAT(Connect(Psk("Gateway7", "guess")), HasSubstr("TLS handshake with the PLC failed: "));
    EXPECT_EQ(accepted, sim->SecureAcceptedCount());
    EXPECT_THAT(Connect(Psk("")), HasSubstr("set Tls_Psk_Identity"));
    SecureSettings noCa = Certificates(Mode::SharedCa, "missing");
    EXPECT_THAT(Connect(noCa), HasSubstr("Cannot read the CA file '" + pki.Path("missing.pem") +
                                         "': No such file or directory (check Tls_Ca_File)"));
    SecureSettings wrongKey = Certificates(Mode::SelfSigned);
    wrongKey.keyFile = pki.Key("plc");
    EXPECT_THAT(Connect(wrongKey), HasSubstr("does not belong to the certificate"));
    EXPECT_EQ(0u, sim->ConnectionCount());
}

TEST_F(SecureTest, SharedCaChecksThePlcCertificateAndThePlcChecksOurs)
{
    pki.Make("other-ca", "Other CA", "", true);
    pki.Make("foreign", "127.0.0.1", "other-ca");
    pki.Make("expired", "127.0.0.1", "ca", false, -10, -1);
    pki.Make("renamed", "plc-7", "ca");

    Serve(CaPlc());
    EXPECT_EQ("", Connect(Certificates(Mode::SharedCa)));
    Disconnect();
    Serve(CaPlc("foreign"));
    EXPECT_EQ("PLC certificate not trusted: unable to get local issuer certificate (check Tls_Ca_File: the CA "
              "that signed the PLC's certificate, and the dates)",
              Connect(Certificates(Mode::SharedCa)));
    Serve(CaPlc("expired"));
    EXPECT_THAT(Connect(Certificates(Mode::SharedCa)), HasSubstr("not trusted: certificate has expired"));
    Serve(CaPlc("renamed"));
    EXPECT_EQ("PLC certificate common name mismatch: it names 'plc-7', the device address is '127.0.0.1' (check the "
              "address, or set Tls_Ignore_Common_Name)",
              Connect(Certificates(Mode::SharedCa)));
    SecureSettings lenient = Certificates(Mode::SharedCa);
    lenient.ignoreCommonName = true;
    EXPECT_EQ("", Connect(lenient));
    EXPECT_EQ(ConnectInfo::IGNORE_CN, sim->SecureClients().back().flags);
    Disconnect();

    SecureSimOptions strict = CaPlc();
    strict.routeName = "another-gateway";
    Serve(strict);
    EXPECT_THAT(Connect(Certificates(Mode::SharedCa)),
                HasSubstr("PLC refused the connect info: common name mismatch"));
    EXPECT_EQ(ConnectInfo::CN_MISMATCH, sim->SecureClients().back().error);
}

TEST_F(SecureTest, SelfSignedPinsThePlcByFingerprintAndSendsCredentialsOnlyUntilPinned)
{
    pki.Make("plc-own", "plc", "");
    pki.Make("gateway", "gateway", ""); // now self-signed
    SecureSimOptions options;
    options.mode = SecureSimOptions::Mode::SelfSigned;
    options.certificateFile = pki.Path("plc-own.pem");
    options.keyFile = pki.Key("plc-own");
    options.user = "Administrator";
    options.password = "1";
    Serve(options);
    const std::string plcPrint = pki.Fingerprint("plc-own");

    SecureSettings settings = Certificates(Mode::SelfSigned);
    EXPECT_EQ("PLC certificate fingerprint not configured: the PLC presented " + plcPrint +
                  " (check it on the PLC and set Tls_Plc_Fingerprint to it)",
              Connect(settings));
    EXPECT_TRUE(sim->SecureClients().empty()); // nothing was sent to an unverified PLC
    settings.plcFingerprint = pki.Fingerprint("gateway");
    EXPECT_EQ("PLC certificate fingerprint mismatch: expected " + pki.Fingerprint("gateway") +
                  ", the PLC presented " + plcPrint + " (check Tls_Plc_Fingerprint)",
              Connect(settings));
    settings.plcFingerprint = plcPrint;
    EXPECT_THAT(Connect(settings), HasSubstr("PLC refused the connect info: unknown certificate"));
    settings.plcUser = "Administrator";
    settings.plcPassword = "2";
    EXPECT_THAT(Connect(settings), HasSubstr("PLC refused the connect info: unknown user"));

    settings.plcPassword = "1";
    // Lower case and without colons is the same fingerprint.
    std::string plain;
    for (const char c : plcPrint) {
        if (c != ':') {
            plain += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    settings.plcFingerprint = plain;
    EXPECT_EQ("", Connect(settings));
    EXPECT_EQ((std::vector<std::string>{pki.Fingerprint("gateway")}), sim->PinnedFingerprints());
    EXPECT_EQ(ConnectInfo::SELF_SIGNED | ConnectInfo::ADD_REMOTE, sim->SecureClients().back().flags);
    EXPECT_EQ(1u, sim->SecureClients().back().passwordLength);
    Disconnect();
    EXPECT_EQ("", Connect(settings));
    EXPECT_EQ("", sim->SecureClients().back().userName);
    EXPECT_EQ(ConnectInfo::SELF_SIGNED, sim->SecureClients().back().flags);
}

TEST_F(SecureTest, PeersThatStallOrSendGarbageFailWithinTheBoundAndAStopEndsAHandshakeAtOnce)
{
    Loopback stalling(true, 4);
    auto start = Clock::now();
    EXPECT_THAT(Connect(Psk(), stalling.Host(), 300), HasSubstr("TLS handshake with the PLC timed out"));
    EXPECT_GE(ElapsedMs(start), 290);
    EXPECT_LT(ElapsedMs(start), 2000);

    Loopback garbage(true, 4);
    std::thread talker([&] {
        const int fd = ::accept(garbage.fd, nullptr, nullptr);
        const char text[] = "HTTP/1.0 400 Bad Request\r\n\r\n";
        ::send(fd, text, sizeof(text) - 1, MSG_NOSIGNAL);
        ::close(fd);
    });
    EXPECT_THAT(Connect(Psk(), garbage.Host()), HasSubstr("TLS handshake with the PLC failed: "));
    talker.join();

    // A stopping device's thread gives up the handshake it waits in.
    Loopback silent(true, 4);
    std::atomic<bool> stop{false};
    std::string refusal;
    std::thread device([&] {
        plc::ads::SetConnectCancelFlag(&stop);
        refusal = Connect(Psk(), silent.Host(), 5000);
        plc::ads::SetConnectCancelFlag(nullptr);
    });
    // Its ClientHello arrives: it now waits for the answer.
    pollfd pending{silent.fd, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&pending, 1, 5000));
    pending.fd = ::accept(silent.fd, nullptr, nullptr);
    ASSERT_EQ(1, ::poll(&pending, 1, 5000));
    start = Clock::now();
    stop = true;
    device.join();
    ::close(pending.fd);
    EXPECT_LT(ElapsedMs(start), 1000);
    EXPECT_THAT(refusal, HasSubstr("given up"));
}

TEST_F(SecureTest, AReplyCutByItsDeadlineLeavesTheTunnelAligned)
{
    Serve(PskPlc());
    ASSERT_EQ("", Connect(Psk()));
    // The simulator keeps quiet; the test sends the reply itself, its data in two parts.
    sim->InjectReplyFault(ReplyFault::Drop().For(ADS_CMD_READ));
    sim->ClearRequests();
    AdsSyncSetTimeoutEx(ports[0], 200);
    std::vector<uint8_t> block(4096);
    std::atomic<int32_t> result{-1};
    std::thread reader([&] {
        result = AdsSyncReadReqEx2(ports[0], &plc, kGroup, 0x10000, 4096, block.data(), nullptr);
    });
    std::vector<plcsim::Request> seen;
    ASSERT_TRUE(sim->WaitForRequests([&](const auto& all) { return !(seen = all).empty(); }, 5s));
    const std::vector<uint8_t> reply = Reply(seen.back().header, ReadData(std::vector<uint8_t>(4096, 0x5A)));
    ASSERT_TRUE(sim->SendRawToLatest(std::vector<uint8_t>(reply.begin(), reply.begin() + 1000)));
    reader.join();
    EXPECT_EQ(ADS_ERR_SYNC_TIMEOUT, result.load());
    ASSERT_TRUE(sim->SendRawToLatest(std::vector<uint8_t>(reply.begin() + 1000, reply.end())));
    AdsSyncSetTimeoutEx(ports[0], 5000);
    uint8_t cell[4] = {};
    EXPECT_EQ(0, AdsSyncReadReqEx2(ports[0], &plc, kGroup, 0, 4, cell, nullptr));
    EXPECT_EQ(0xC0DEu, le::Read<uint32_t>(cell));
    EXPECT_EQ(1u, GetRouter().ConnectionCount());
}

TEST_F(SecureTest, RoutesShareAConnectionOnlyWithEqualSettingsAndALostOneIsReplaced)
{
    Serve(PskPlc());
    ASSERT_EQ("", Connect(Psk()));
    const AmsNetId second{10, 30, 0, 2, 1, 1};
    const SecureSettings same = Psk();
    ASSERT_EQ(0, plc::ads::AddLocalRoute(second, sim->SecureHostString().c_str(), 2000, &same));
    EXPECT_EQ(1u, GetRouter().ConnectionCount());
    // The same PLC over plain ADS is another connection.
    const AmsNetId plain{10, 30, 0, 3, 1, 1};
    ASSERT_EQ(0, plc::ads::AddLocalRoute(plain, sim->HostString().c_str()));
    EXPECT_EQ(2u, GetRouter().ConnectionCount());
    plc::ads::DelLocalRoute(plain);
    plc::ads::DelLocalRoute(second);

    // The simulator closes its side: the tunnel ends, requests fail at once, a new route works.
    sim->DropConnections();
    uint8_t cell[4];
    EXPECT_TRUE(WaitUntil([&] { return AdsSyncReadReqEx2(ports[0], &plc, kGroup, 0, 4, cell, nullptr) != 0; }));
    const auto failedAt = Clock::now();
    EXPECT_NE(0, AdsSyncReadReqEx2(ports[0], &plc, kGroup, 0, 4, cell, nullptr));
    EXPECT_LT(ElapsedMs(failedAt), 1000);
    Disconnect();
    EXPECT_EQ("", Connect(Psk()));
    EXPECT_EQ(3u, sim->AcceptedCount()); // the two tunnels and the plain connection
}

} // namespace
} // namespace stack
