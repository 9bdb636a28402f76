// Secure ADS through the plug-in against the simulator's secure port: every mode reads and
// writes with no clear text on the wire, refusals show as device errors that name what to
// check (never a password), and a stop gives up a stalled handshake at once.
#include "support/exchange_fixture.h"
#include "tls_certificates.h"

#include <poll.h>

#include <thread>

namespace exchange_test {
namespace {

using plcsim::SecureSimOptions;

// A TCP relay in front of the simulator's secure port that keeps every byte it passes.
class WireTap {
public:
    explicit WireTap(uint16_t upstream) : upstreamPort(upstream)
    {
        sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof(addr);
        ::bind(listener, reinterpret_cast<sockaddr*>(&addr), length);
        ::listen(listener, 4);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
        port = ntohs(addr.sin_port);
        relay = std::thread([this] { Run(); });
    }
    ~WireTap()
    {
        ::shutdown(listener, SHUT_RDWR);
        done = true;
        relay.join();
        ::close(listener);
    }
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(port); }
    std::string Captured()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return captured;
    }

private:
    void Run()
    {
        pollfd waiting{listener, POLLIN, 0};
        while (!done && ::poll(&waiting, 1, 50) == 0) {
        }
        const int client = ::accept(listener, nullptr, nullptr);
        if (client < 0) {
            return;
        }
        const int server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{AF_INET, htons(upstreamPort), {htonl(INADDR_LOOPBACK)}, {}};
        if (::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
            pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            char buffer[4096];
            while (!done) {
                if (::poll(ends, 2, 50) <= 0) {
                    continue;
                }
                const int from = (ends[0].revents != 0) ? 0 : 1;
                const ssize_t n = ::recv(ends[from].fd, buffer, sizeof(buffer), 0);
                if (n <= 0 || ::send(ends[1 - from].fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
                    break;
                }
                std::lock_guard<std::mutex> lock(mutex);
                captured.append(buffer, static_cast<size_t>(n));
            }
        }
        ::close(server);
        ::close(client);
    }

    const uint16_t upstreamPort;
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    uint16_t port = 0;
    std::atomic<bool> done{false};
    std::mutex mutex;
    std::string captured;
    std::thread relay;
};

class SecureExchangeTest : public ExchangeTest {
protected:
    void SetUp() override
    {
        ExchangeTest::SetUp();
        sim = startSimulator("Secure PLC");
        pki.Make("ca", "Plant CA", "", true);
        pki.Make("plc", "127.0.0.1", "ca");
        pki.Make("gateway", "gateway", "ca");
        pki.Make("plc-own", "plc", "");
        pki.Make("gateway-own", "gateway", "");
    }
    uint16_t SecurePort() const { return static_cast<uint16_t>(std::stoi(sim->SecureHostString().substr(10))); }
    // A device on the simulator's secure port with these columns besides the transport.
    DeviceInstancePlugin secureDevice(int id, const QMap<QString, QString>& columns)
    {
        DeviceInstancePlugin device = deviceFor(id, *sim);
        device.address = QString::fromStdString(sim->SecureHostString());
        device.config["Ads_Transport"] = "1";
        for (auto it = columns.begin(); it != columns.end(); ++it) {
            device.config[it.key()] = it.value();
        }
        return device;
    }
    QString file(const std::string& name) const { return QString::fromStdString(pki.Path(name)); }
    // Values arrive and a write to the typed symbol `index` lands.
    void expectExchange(const DeviceInstancePlugin& device, size_t index)
    {
        LogList list = batchFor(device, {kTyped[index], kTyped[11]});
        ASSERT_TRUE(readUntil(list)) << list.device.error;
        EXPECT_EQ(valueOf(list, 0), kTyped[index].text);
        EXPECT_EQ(valueOf(list, 1), kTyped[11].text);
        list.items[0].values["value"] = kTyped[index].write;
        ASSERT_TRUE(plugin.writeData(&list));
        EXPECT_EQ(sim->GetSymbolValue(kTyped[index].symbol), kTyped[index].written);
        EXPECT_TRUE(list.device.error.isEmpty()) << list.device.error;
    }

    std::unique_ptr<PlcSimulator> sim;
    tls_test::Pki pki;
};

TEST_F(SecureExchangeTest, EveryModeReadsAndWritesWithNoClearTextOnTheWire)
{
    SecureSimOptions psk;
    psk.pskIdentity = "Gateway7";
    psk.pskPassword = "s3cret";
    sim->StartSecure(psk);
    WireTap tap(SecurePort());
    DeviceInstancePlugin device =
        secureDevice(1, {{"Tls_Mode", "0"}, {"Tls_Psk_Identity", "Gateway7"}, {"Tls_Psk_Password", "s3cret"}});
    device.address = tap.address();
    expectExchange(device, 5);
    // (The PSK identity itself travels in clear, as TLS sends it.)
    const std::string wire = tap.Captured();
    EXPECT_GT(wire.size(), 1000u);
    for (const char* clear : {"MAIN.", "Hello from the PLC", "Secure PLC"}) {
        EXPECT_EQ(wire.find(clear), std::string::npos) << clear;
    }
    ASSERT_TRUE(plugin.stopPlugin());

    SecureSimOptions ca;
    ca.mode = SecureSimOptions::Mode::SharedCa;
    ca.caFile = pki.Path("ca.pem");
    ca.certificateFile = pki.Path("plc.pem");
    ca.keyFile = pki.Key("plc");
    ca.routeName = "gateway";
    sim->StartSecure(ca);
    // The host without a port: the secure port comes from Tls_Port.
    DeviceInstancePlugin caDevice =
        secureDevice(2, {{"Tls_Mode", "1"}, {"Tls_Ca_File", file("ca.pem")}, {"Tls_Certificate_File", file("gateway.pem")},
                         {"Tls_Key_File", file("gateway.key")}, {"Tls_Port", QString::number(SecurePort())}});
    caDevice.address = "127.0.0.1";
    expectExchange(caDevice, 7);
    ASSERT_TRUE(plugin.stopPlugin());

    SecureSimOptions self;
    self.mode = SecureSimOptions::Mode::SelfSigned;
    self.certificateFile = pki.Path("plc-own.pem");
    self.keyFile = pki.Key("plc-own");
    self.user = "Administrator";
    self.password = "pw1";
    sim->StartSecure(self);
    expectExchange(secureDevice(3, {{"Tls_Mode", "2"},
                                    {"Tls_Certificate_File", file("gateway-own.pem")},
                                    {"Tls_Key_File", file("gateway-own.key")},
                                    {"Tls_Plc_Fingerprint", QString::fromStdString(pki.Fingerprint("plc-own"))},
                                    {"Tls_Plc_User", "Administrator"},
                                    {"Tls_Plc_Password", "pw1"}}),
                   8);
    EXPECT_EQ(sim->PinnedFingerprints(), std::vector<std::string>{pki.Fingerprint("gateway-own")});
}

TEST_F(SecureExchangeTest, RefusalsAreDeviceErrorsThatNameWhatToCheckAndNoPasswordIsLogged)
{
    SecureSimOptions self;
    self.mode = SecureSimOptions::Mode::SelfSigned;
    self.certificateFile = pki.Path("plc-own.pem");
    self.keyFile = pki.Key("plc-own");
    sim->StartSecure(self);
    LogList first = batchFor(secureDevice(1, {{"Tls_Mode", "2"},
                                              {"Tls_Certificate_File", file("gateway-own.pem")},
                                              {"Tls_Key_File", file("gateway-own.key")},
                                              {"Tls_Plc_User", "Administrator"},
                                              {"Tls_Plc_Password", "pw-secret-1"}}),
                             {kTyped[7]});
    EXPECT_FALSE(plugin.readData(&first));
    const QString fingerprint = QString::fromStdString(sim->SecureCertificateFingerprint());
    EXPECT_EQ(first.device.error, "PLC certificate fingerprint not configured: the PLC presented " + fingerprint +
                                      " (check it on the PLC and set Tls_Plc_Fingerprint to it)");
    EXPECT_EQ(logsContaining(tavhost::LogLevel::Debug, fingerprint), 1);

    LogList wrongMode = batchFor(secureDevice(2, {{"Tls_Mode", "7"}}), {});
    EXPECT_FALSE(plugin.readData(&wrongMode));
    EXPECT_EQ(wrongMode.device.error, "Invalid Tls_Mode: 0 pre-shared key, 1 shared CA or 2 self-signed");
    LogList pskOnCertificates = batchFor(
        secureDevice(3, {{"Tls_Psk_Identity", "Gateway7"}, {"Tls_Psk_Password", "pw-secret-2"}}), {});
    EXPECT_FALSE(plugin.readData(&pskOnCertificates));
    EXPECT_TRUE(pskOnCertificates.device.error.startsWith("TLS handshake with the PLC failed: "))
        << pskOnCertificates.device.error;
    EXPECT_TRUE(pskOnCertificates.device.error.endsWith(
        "(check Tls_Mode, Tls_Psk_Identity and Tls_Psk_Password against the PLC's route)"));
    for (const QString& line : HostState::instance().logTexts(tavhost::LogLevel::Debug)) {
        EXPECT_FALSE(line.contains("pw-secret")) << line.toStdString();
    }
}

TEST_F(SecureExchangeTest, AStopGivesUpAStalledHandshakeAtOnce)
{
    LocalSocket stalling(false);
    ::listen(stalling.fd, 4);
    LogList list = batchFor(secureDevice(1, {{"Tls_Psk_Identity", "Gateway7"}}), {});
    list.device.address = stalling.address();
    list.device.config["Timeout"] = "15000";
    std::thread reader([&] { plugin.readData(&list); });
    pollfd pending{stalling.fd, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&pending, 1, 5000));
    pending.fd = ::accept(stalling.fd, nullptr, nullptr);
    ASSERT_EQ(1, ::poll(&pending, 1, 5000)); // the ClientHello: the handshake waits for its answer
    const auto start = Clock::now();
    plugin.requestStop();
    reader.join();
    ASSERT_TRUE(plugin.stopPlugin());
    EXPECT_LT(secondsSince(start), 1.5);
    ::close(pending.fd);
}

} // namespace
} // namespace exchange_test
