// The stand-alone driver as a process against a simulator.
#include "tools/sim/PlcSimulator.h"

#include <gtest/gtest.h>

#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

extern char** environ;


namespace {

QString driverPath()
{
    return QStringLiteral(ADS_PLC_DRIVER_PATH);
}

// A built program in a child process, started with posix_spawn (QProcess's pidfd clone is
// refused under qemu-user) and through the emulator of a cross build when there is one.
class Child {
public:
    explicit Child(const QString& program, const QStringList& args)
    {
        std::vector<std::string> argv;
        const std::string emulator = ADS_PLC_EMULATOR;
        if (!emulator.empty()) {
            argv.push_back(emulator);
        }
        argv.push_back(program.toStdString());
        for (const QString& a : args) {
            argv.push_back(a.toStdString());
        }
        std::vector<char*> raw;
        for (auto& a : argv) {
            raw.push_back(a.data());
        }
        raw.push_back(nullptr);
        int outPipe[2];
        int errPipe[2];
        if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
        posix_spawn_file_actions_addclose(&actions, outPipe[0]);
        posix_spawn_file_actions_addclose(&actions, errPipe[0]);
        if (posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ) != 0) {
            pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        fds[0] = outPipe[0];
        fds[1] = errPipe[0];
    }
    ~Child()
    {
        if (pid > 0 && status == NOT_ENDED) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        for (int fd : fds) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    bool started() const { return pid > 0; }
    void terminate() { ::kill(pid, SIGTERM); }

    // Reads output until `done` holds or both streams end; at most `limitMs`.
    bool readUntil(const std::function<bool()>& done, int limitMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (!done()) {
            pollfd pfds[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if ((fds[0] < 0 && fds[1] < 0) || left.count() <= 0 || ::poll(pfds, 2, static_cast<int>(left.count())) <= 0) {
                return done();
            }
            for (int i = 0; i < 2; ++i) {
                if (pfds[i].revents != 0) {
                    char buf[4096];
                    const ssize_t n = ::read(fds[i], buf, sizeof buf);
                    if (n <= 0) {
                        ::close(fds[i]);
                        fds[i] = -1;
                    } else {
                        (i == 0 ? out : err) += QString::fromUtf8(buf, static_cast<int>(n));
                    }
                }
            }
        }
        return true;
    }
    // Exit code after reading all output, or -1 when the program crashed or did not end in time.
    int wait(int limitMs)
    {
        readUntil([this] { return fds[0] < 0 && fds[1] < 0; }, limitMs);
        plcsim::WaitUntil(
            [this] {
                int st = 0;
                if (::waitpid(pid, &st, WNOHANG) == pid) {
                    status = WIFEXITED(st) ? WEXITSTATUS(st) : CRASHED;
                }
                return status != NOT_ENDED;
            },
            std::chrono::milliseconds(limitMs));
        return status >= 0 ? status : -1;
    }

    QString out;
    QString err;

private:
    static constexpr int NOT_ENDED = -2;
    static constexpr int CRASHED = -1;
    pid_t pid = -1;
    int fds[2] = {-1, -1};
    int status = NOT_ENDED;
};

struct DriverRun {
    int exitCode = -1;
    QString out;
    QString err;
};

DriverRun runDriver(const QStringList& args, int limitMs)
{
    Child process(driverPath(), args);
    DriverRun run;
    if (!process.started()) {
        run.err = QStringLiteral("could not start ") + driverPath();
        return run;
    }
    run.exitCode = process.wait(limitMs);
    if (run.exitCode < 0) {
        run.err = QStringLiteral("did not finish in time or crashed\n");
    }
    run.out = process.out;
    run.err += process.err;
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

// The columns of the last printed row of a symbol.
QStringList lastRowOf(const QString& out, const QString& symbol)
{
    QStringList row;
    for (const QString& line : out.split('\n')) {
        const QStringList columns = line.split('|');
        if (columns.size() == 6 && columns[1].trimmed() == symbol) {
            row = columns;
        }
    }
    for (QString& column : row) {
        column = column.trimmed();
    }
    return row;
}

// Browse rows: name -> (type, size, read, comment).
QMap<QString, QStringList> browseRows(const QString& out)
{
    QMap<QString, QStringList> rows;
    for (const QString& line : out.split('\n')) {
        QStringList columns = line.split('|');
        if (columns.size() != 5 || columns[0].trimmed() == "name") {
            continue;
        }
        for (QString& column : columns) {
            column = column.trimmed();
        }
        rows.insert(columns.takeFirst(), columns);
    }
    return rows;
}

TEST(Driver, BrowsesThePlcAndRefusesAnItemWhoseTypeDoesNotFit)
{
    plcsim::PlcSimulator sim;
    sim.Start();
    const QString address = QString::fromStdString(sim.HostString());
    const DriverRun all = runDriver({"--address", address, "--ads-port", "851", "--timeout", "1000", "--browse"}, 30000);
    ASSERT_EQ(all.exitCode, 0) << all.err.toStdString();
    const QMap<QString, QStringList> rows = browseRows(all.out);
    const std::vector<plcsim::SymbolDef> defaults = plcsim::DefaultSymbols();
    ASSERT_EQ(rows.size(), static_cast<int>(defaults.size())) << all.out.toStdString();
    for (const plcsim::SymbolDef& def : defaults) {
        const QString name = QString::fromStdString(def.name);
        EXPECT_EQ(rows.value(name),
                  (QStringList{QString::fromStdString(def.typeName), QString::number(def.initial.size()), "yes",
                               QString::fromStdString(def.comment)}))
            << def.name;
    }
    EXPECT_TRUE(all.out.contains("\n--item MAIN.diDint:DINT\n"));
    EXPECT_TRUE(all.out.contains("\n--item MAIN.sText:STRING\n"));

    const DriverRun some = runDriver({"--address", address, "--ads-port", "851", "--browse", "MAIN.i"}, 30000);
    ASSERT_EQ(some.exitCode, 0) << some.err.toStdString();
    EXPECT_EQ(browseRows(some.out).keys(), QStringList{"MAIN.iInt"}) << some.out.toStdString();

    const DriverRun run = runDriver({"--address", address, "--ads-port", "851", "--timeout", "1000", "--item",
                                     "MAIN.diDint:INT", "--item", "MAIN.iInt:INT", "--item", "MAIN.sText:STRING",
                                     "--cycle", "100", "--seconds", "1.5", "--refresh", "500"},
                                    30000);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(lastRowOf(run.out, "MAIN.diDint").value(5),
              "Type mismatch: PLC variable is DINT (4 bytes), item is INT (2 bytes)")
        << run.out.toStdString();
    EXPECT_EQ(lastRowOf(run.out, "MAIN.iInt").value(3), "-12345");
    EXPECT_EQ(lastRowOf(run.out, "MAIN.sText").value(3), "Hello from the PLC");
    EXPECT_TRUE(run.out.split("device error:").last().startsWith(" -\n")) << "the device stays connected";
}

TEST(Driver, PlcWithoutSymbolInformationRefusesBrowsingButReadsAsBefore)
{
    plcsim::SimOptions options;
    options.symbolInfo = false;
    plcsim::PlcSimulator sim(options);
    sim.Start();
    const QString address = QString::fromStdString(sim.HostString());
    const DriverRun browse = runDriver({"--address", address, "--ads-port", "851", "--browse"}, 30000);
    EXPECT_EQ(browse.exitCode, 1);
    EXPECT_TRUE(browse.err.contains("Invalid index group")) << browse.err.toStdString();

    const DriverRun run = runDriver({"--address", address, "--ads-port", "851", "--timeout", "1000", "--item",
                                     "MAIN.diDint:DINT", "--item", "MAIN.iInt:INT", "--cycle", "100", "--seconds",
                                     "1.5", "--refresh", "500", "--verbose"},
                                    30000);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(lastRowOf(run.out, "MAIN.diDint").value(3), "-1234567890");
    EXPECT_EQ(lastRowOf(run.out, "MAIN.iInt").value(3), "-12345");
    EXPECT_EQ(run.err.count("Symbol information not offered by ADS Test device"), 1) << run.err.toStdString();
}

// A write that times out shows as failed; a text that looks like a format stays as it is;
// the summary counts what the connection lost.
TEST(Driver, ShowsAFailedWriteAndPrintsTextsVerbatim)
{
    plcsim::SimOptions options;
    options.netId = AmsNetId(127, 0, 0, 61, 1, 1);
    plcsim::PlcSimulator sim(options);
    sim.Start();
    sim.InjectReplyFault(plcsim::ReplyFault::Drop().For(ADS_CMD_WRITE));
    const DriverRun run = runDriver({"--address", QString::fromStdString(sim.HostString()), "--netid", "127.0.0.61.1.1",
                                     "--ads-port", "851", "--timeout", "300", "--item", "MAIN.iInt:INT", "--item",
                                     "MAIN.s%1:STRING", "--cycle", "100", "--write", "MAIN.iInt=5", "--seconds", "1.5",
                                     "--refresh", "300"},
                                    30000);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(run.out.contains("write: MAIN.iInt = 5: failed: Timeout elapsed")) << run.out.toStdString();
    // Filled in one pass, the name's "%1" would have taken the next column's text.
    EXPECT_FALSE(valuesOf(run.out, "MAIN.s%1").isEmpty()) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains(QRegularExpression("\\nMAIN\\.s%1 +\\| MAIN\\.s%1 +\\| STRING \\|")));
    EXPECT_TRUE(run.out.contains(QRegularExpression(
        "losses: receive buffer full [0-9]+, unknown handle [0-9]+, size mismatch [0-9]+, unmatched replies [0-9]+, "
        "reconnections [0-9]+\n")))
        << run.out.toStdString();
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
    Child sim(QStringLiteral(ADS_PLC_SIM_PATH), {"--listen", "127.0.0.1:0", "--tick", "50"});
    ASSERT_TRUE(sim.started());
    QString address;
    sim.readUntil(
        [&] {
            const int at = sim.out.indexOf("listening on ");
            if (at >= 0 && sim.out.indexOf('\n', at) > at) {
                address = sim.out.mid(at + 13, sim.out.indexOf('\n', at) - at - 13).trimmed();
            }
            return !address.isEmpty();
        },
        10000);
    ASSERT_FALSE(address.isEmpty()) << sim.out.toStdString() << sim.err.toStdString();

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
    EXPECT_EQ(sim.wait(10000), 0);
    const QString simOut = sim.out + sim.err;
    EXPECT_TRUE(simOut.contains(QRegularExpression("connection [0-9]+ from 127\\.0\\.0\\.1")))
        << "the simulator logs the driver's connection: " << simOut.toStdString();
}

} // namespace
