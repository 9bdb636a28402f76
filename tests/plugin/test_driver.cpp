// The stand-alone driver as a process against a simulator.
#include "tools/sim/PlcSimulator.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>


namespace {

QString driverPath()
{
    return QStringLiteral(ADS_PLC_DRIVER_PATH);
}

// Starts a built program, through the emulator of a cross build when there is one.
void startProgram(QProcess& process, const QString& program, const QStringList& args)
{
    const QString emulator = QStringLiteral(ADS_PLC_EMULATOR);
    if (emulator.isEmpty()) {
        process.start(program, args);
    } else {
        process.start(emulator, QStringList{program} + args);
    }
}

struct DriverRun {
    int exitCode = -1;
    QString out;
    QString err;
};

DriverRun runDriver(const QStringList& args, int limitMs)
{
    QProcess process;
    startProgram(process, driverPath(), args);
    DriverRun run;
    if (!process.waitForStarted(5000)) {
        run.err = QStringLiteral("could not start ") + driverPath();
        return run;
    }
    if (!process.waitForFinished(limitMs)) {
        process.kill();
        process.waitForFinished(5000);
        run.err = QStringLiteral("did not finish in time\n");
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err += QString::fromUtf8(process.readAllStandardError());
    return run;
}

// The value column of every printed row for the symbol.
QStringList valuesOf(const QString& out, const QString& symbol)
{
    QStringList found;
    for (const QString& line : out.split('\n')) {
        const QStringList columns = line.split('|');
        if (columns.size() == 6 && columns[1].trimmed() == symbol) {
            found.append(columns[3].trimmed());
        }
    }
    return found;
}

TEST(Driver, DefaultBatchShowsChangingValuesAndEndsCleanly)
{
    plcsim::PlcSimulator sim; // NetId 127.0.0.1.1.1: what the driver derives from the address
    sim.Start();
    // The default items are "On value change" with a 5 s cycle: run long enough for a change.
    const DriverRun run = runDriver({"--address", QString::fromStdString(sim.HostString()), "--seconds", "6.5", "--refresh",
                               "500"},
                              30000);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QStringList counts = valuesOf(run.out, ".count");
    const QSet<QString> distinct(counts.begin(), counts.end());
    EXPECT_GE(distinct.size() - (distinct.contains(QString()) ? 1 : 0), 2) << run.out.toStdString();
    const QStringList downs = valuesOf(run.out, "MAIN.down");
    ASSERT_FALSE(downs.isEmpty());
    EXPECT_FALSE(downs.last().isEmpty());
    EXPECT_TRUE(valuesOf(run.out, "(identity)").contains("ADS")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("device error: -"));
    EXPECT_TRUE(run.err.contains("LETS GO: " + QString::fromStdString(sim.HostString())));
    EXPECT_TRUE(run.err.contains("DONE RUNNIPNG"));
    EXPECT_FALSE(run.err.contains("[host ")) << "host log lines are echoed only with --verbose";
}

TEST(Driver, WritesAValueAndEchoesHostLogsWhenVerbose)
{
    plcsim::SimOptions options;
    options.netId = AmsNetId(127, 0, 0, 60, 1, 1);
    plcsim::PlcSimulator sim(options);
    sim.Start();
    const DriverRun run = runDriver({"--address", QString::fromStdString(sim.HostString()), "--netid", "127.0.0.60.1.1",
                               "--ads-port", "851", "--timeout", "500", "--item", "MAIN.iInt:INT", "--cycle", "100",
                               "--write", "MAIN.iInt=-77", "--seconds", "1.5", "--refresh", "300", "--verbose"},
                              30000);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(sim.GetSymbolValue("MAIN.iInt"), (std::vector<uint8_t>{0xB3, 0xFF}));
    const QStringList values = valuesOf(run.out, "MAIN.iInt");
    ASSERT_FALSE(values.isEmpty());
    EXPECT_EQ(values.last(), "-77");
    EXPECT_TRUE(run.out.contains("write: MAIN.iInt = -77: sent"));
    EXPECT_TRUE(run.err.contains("[host debug] Writing to MAIN.iInt at MAIN.iInt (6). Value: -77"));
}

TEST(Driver, BadOptionsAreExplainedAndFail)
{
    for (const char* bad : {"--bogus", "--item=MAIN.x:FLOAT", "--seconds=soon", "--address=plc.local", "--write=MAIN.x=1"}) {
        const QString arg = QString::fromLatin1(bad);
        const DriverRun run = runDriver(arg.contains('=') ? QStringList{arg.section('=', 0, 0), arg.section('=', 1)}
                                                          : QStringList{arg},
                                        10000);
        EXPECT_NE(run.exitCode, 0) << bad;
        EXPECT_TRUE(run.err.startsWith("ads-plc-driver: ") && run.err.contains("--help")) << run.err.toStdString();
    }
    const DriverRun help = runDriver({"--help"}, 10000);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains("--address"));
}

// The two programs a user meets, each in its own process: the simulator and the driver.
TEST(Driver, RunsAgainstTheSimulatorProgram)
{
    QProcess sim;
    sim.setProcessChannelMode(QProcess::MergedChannels);
    startProgram(sim, QStringLiteral(ADS_PLC_SIM_PATH), {"--listen", "127.0.0.1:0", "--tick", "50"});
    ASSERT_TRUE(sim.waitForStarted(5000));
    QString address;
    QString simOut;
    plcsim::WaitUntil(
        [&] {
            sim.waitForReadyRead(50);
            simOut += QString::fromUtf8(sim.readAll());
            const int at = simOut.indexOf("listening on ");
            if (at >= 0 && simOut.indexOf('\n', at) > at) {
                address = simOut.mid(at + 13, simOut.indexOf('\n', at) - at - 13).trimmed();
            }
            return !address.isEmpty();
        },
        std::chrono::seconds(10));
    ASSERT_FALSE(address.isEmpty()) << simOut.toStdString();

    const DriverRun run = runDriver({"--address", address, "--netid", "127.0.0.1.1.1", "--ads-port", "851", "--timeout",
                                     "1000", "--item", "MAIN.udiCounter:UDINT", "--item", "MAIN.iInt:INT", "--cycle",
                                     "50", "--write", "MAIN.iInt=321", "--seconds", "2", "--refresh", "400"},
                                    30000);
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QStringList counters = valuesOf(run.out, "MAIN.udiCounter");
    const QSet<QString> distinct(counters.begin(), counters.end());
    EXPECT_GE(distinct.size() - (distinct.contains(QString()) ? 1 : 0), 2) << run.out.toStdString();
    const QStringList written = valuesOf(run.out, "MAIN.iInt");
    ASSERT_FALSE(written.isEmpty());
    EXPECT_EQ(written.last(), "321") << run.out.toStdString();

    sim.terminate();
    ASSERT_TRUE(sim.waitForFinished(10000));
    EXPECT_EQ(sim.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sim.exitCode(), 0);
    simOut += QString::fromUtf8(sim.readAll());
    EXPECT_TRUE(simOut.contains(QRegularExpression("connection [0-9]+ from 127\\.0\\.0\\.1")))
        << "the simulator logs the driver's connection: " << simOut.toStdString();
}

} // namespace
