// The programs a user meets, each in its own process: ads-plc-sim, and ads-plc-driver against it.
#include "tools/sim/PlcSimulator.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

std::string TempFile(const std::string& text)
{
    char path[] = "/tmp/ads_plc_programs_XXXXXX";
    ::close(::mkstemp(path));
    std::ofstream(path) << text;
    return path;
}

std::string Slurp(const std::string& path)
{
    std::stringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

struct Outcome {
    int code; // -1 after a crash, -2 when the program does not end in time
    std::string out, err;
};

// A built program in a child process writing to two files. posix_spawn, because qemu-user refuses
// the clone flavour QProcess uses; a cross-built program runs through its emulator.
struct Child {
    Child(const char* program, Lines args) : out(TempFile("")), err(TempFile(""))
    {
        args.insert(args.begin(), program);
        if (std::string(ADS_PLC_EMULATOR) != "") {
            args.insert(args.begin(), ADS_PLC_EMULATOR);
        }
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_TRUNC, 0);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_TRUNC, 0);
        const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) {
            throw std::runtime_error(std::string("cannot start ") + program);
        }
    }
    ~Child()
    {
        if (status == -2) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        std::remove(out.c_str());
        std::remove(err.c_str());
    }
    Outcome Wait()
    {
        int st = 0;
        const bool ended = plcsim::WaitUntil([&] { return ::waitpid(pid, &st, WNOHANG) == pid; }, 30s);
        status = !ended ? -2 : WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return {status, Slurp(out), Slurp(err)};
    }

    const std::string out, err;
    pid_t pid = -1;
    int status = -2;
};

// ads-plc-driver run to its end against the PLC at `address`.
Outcome Driver(const std::string& address, Lines args, const char* timeout = "1000")
{
    const Lines plc = {"--address", address, "--ads-port", "851", "--timeout", timeout};
    args.insert(args.begin(), plc.begin(), plc.end());
    return Child(ADS_PLC_DRIVER_PATH, args).Wait();
}

// The trimmed cells of the table rows with `columns` cells whose cell `column` is `key`.
std::vector<Lines> Rows(const std::string& out, size_t columns, size_t column, const std::string& key)
{
    std::vector<Lines> rows;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        Lines cells;
        std::istringstream cs(line + "|");
        for (std::string cell; std::getline(cs, cell, '|');) {
            cells.push_back(std::regex_replace(cell, std::regex("^ +| +$"), ""));
        }
        if (cells.size() == columns && cells[column] == key) {
            rows.push_back(cells);
        }
    }
    return rows;
}

// The non-empty cells the view showed for a symbol in a column (3: value, 5: item error).
std::set<std::string> Values(const std::string& out, const std::string& symbol, size_t column = 3)
{
    std::set<std::string> values;
    for (const auto& row : Rows(out, 6, 1, symbol)) {
        values.insert(row[column]);
    }
    values.erase("");
    return values;
}

// The address the simulator program announces for its ephemeral port.
std::string Address(const Child& sim)
{
    std::string out;
    EXPECT_TRUE(plcsim::WaitUntil([&] { return (out = Slurp(sim.out)).find('\n') != std::string::npos; }, 10s));
    EXPECT_EQ(out.rfind("listening on 127.0.0.1:", 0), 0u) << out << Slurp(sim.err);
    return out.substr(13, out.find('\n') - 13);
}

// RFC 4180 records: the last row of every device/name pair, the header under "/".
std::map<std::string, Lines> CsvRows(const std::string& text)
{
    std::vector<Lines> records(1, Lines(1));
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
            records.back().back() += text[i++];
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && c == ',') {
            records.back().emplace_back();
        } else if (!quoted && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            records.emplace_back(1);
            ++i;
        } else {
            records.back().back() += c;
        }
    }
    std::map<std::string, Lines> rows;
    for (const Lines& r : records) {
        if (r.size() == 8) {
            rows[r[1] + "/" + r[2]] = r;
        }
    }
    return rows;
}

TEST(Programs, DriverBrowsesReadsAndWritesTheSimulatorProgram)
{
    Child sim(ADS_PLC_SIM_PATH, {"--listen", "127.0.0.1:0", "--tick", "50", "--name", "A name longer than sixteen",
                                 "--device-version", "2.11.77", "-v"});
    const std::string address = Address(sim);
    const Outcome all = Driver(address, {"--browse"});
    ASSERT_EQ(all.code, 0) << all.err;
    EXPECT_EQ(Rows(all.out, 5, 3, "yes").size(), plcsim::DefaultSymbols().size()) << all.out;
    for (const auto& d : plcsim::DefaultSymbols()) {
        const Lines row = {d.name, d.typeName, std::to_string(d.initial.size()), "yes", d.comment};
        EXPECT_EQ(Rows(all.out, 5, 0, d.name), std::vector<Lines>{row});
    }
    for (const char* line : {"--item MAIN.sText:STRING", "--item MAIN.aReal:REAL", "--item MAIN.eMode:INT",
                             "--item MAIN.dtStamp:DATE_AND_TIME", "--item MAIN.aText:STRING"}) {
        EXPECT_NE(all.out.find("\n" + std::string(line) + "\n"), std::string::npos) << line;
    }
    const Outcome some = Driver(address, {"--browse", "main.I"});
    EXPECT_EQ(Rows(some.out, 5, 3, "yes"), (std::vector<Lines>{{"MAIN.iInt", "INT", "2", "yes", ""}})) << some.out;

    const Outcome run = Driver(address, {"--item", "MAIN.udiCounter:UDINT", "--item", "MAIN.iInt:INT", "--item",
                                         "MAIN.s%1:STRING", "--cycle", "50", "--write", "MAIN.iInt=321", "--write",
                                         "MAIN.uiUint:UINT=65001", "--seconds", "2", "--refresh", "400"});
    EXPECT_EQ(run.code, 1) << run.err;
    EXPECT_NE(run.out.find("summary of ADS Test device: no value for MAIN.s%1: Symbol not found\n"), std::string::npos);
    EXPECT_GE(Values(run.out, "MAIN.udiCounter").size(), 2u) << run.out;
    EXPECT_EQ(Values(run.out, "MAIN.iInt").count("321"), 1u);
    EXPECT_NE(run.out.find("write: MAIN.iInt = 321: sent"), std::string::npos);
    EXPECT_NE(run.out.find("write: MAIN.uiUint = 65001: sent"), std::string::npos) << "a symbol no item reads";
    // Per item the samples the plug-in received (a counter on a 50 ms tick), per device the state poll.
    std::smatch counted;
    ASSERT_TRUE(std::regex_search(run.out, counted, std::regex("\n  MAIN.udiCounter: ([0-9]+) samples, latest [0-9.]+ s ago\n")))
        << run.out;
    EXPECT_GE(std::stoi(counted[1]), 10);
    EXPECT_TRUE(std::regex_search(run.out, std::regex("statistics of ADS Test device: state poll round trip median "
                                                      "[0-9.]+ ms, highest [0-9.]+ ms \\([0-9]+ polls\\)\n")));
    EXPECT_EQ(Values(run.out, "MAIN.s%1", 0), std::set<std::string>{"MAIN.s%1"}) << "texts verbatim";
    EXPECT_EQ(run.out.compare(run.out.rfind("device error:"), 16, "device error: -\n"), 0) << "still connected";
    EXPECT_EQ(Values(run.out, "(identity)"), (std::set<std::string>{"ADS", "A name longer th", "2.11.77"})) << run.out;
    EXPECT_NE(run.err.find("LETS GO: " + address), std::string::npos);
    EXPECT_NE(run.err.find("DONE RUNNIPNG"), std::string::npos);
    EXPECT_EQ(run.err.find("[host "), std::string::npos) << "host log lines are echoed only with --verbose";
    const Outcome defaults = Driver(address, {"--cycle", "50", "--seconds", "1.2", "--refresh", "400"});
    EXPECT_TRUE(!Values(defaults.out, "MAIN.down").empty() && !Values(defaults.out, ".count").empty()) << defaults.out;
    EXPECT_EQ(defaults.code, 0) << defaults.out;

    ::kill(sim.pid, SIGTERM);
    const Outcome end = sim.Wait();
    EXPECT_EQ(end.code, 0);
    for (const char* line :
         {"connection 1 from 127.0.0.1:", "connection 1: cmd ", "connection 1 closed", "stopping on SIGTERM"}) {
        EXPECT_NE(end.out.find(line), std::string::npos) << line;
    }
}

// The example line of motors: browsing lists its structures, with --members their members as
// well; a structure item shows one JSON object in the JSON view, and a whole write of it lands.
TEST(Programs, DriverBrowsesReadsAndWritesTheStructuresOfTheExampleLine)
{
    Child sim(ADS_PLC_SIM_PATH, {"--listen", "127.0.0.1:0", "--symbols", ADS_PLC_EXAMPLES_DIR "/line-struct-symbols.txt"});
    const std::string address = Address(sim);
    const Outcome all = Driver(address, {"--browse"});
    ASSERT_EQ(all.code, 0) << all.err;
    EXPECT_EQ(Rows(all.out, 5, 0, "MAIN.stSpare"),
              (std::vector<Lines>{{"MAIN.stSpare", "ST_Motor", "64", "yes", "a motor on the shelf"}})) << all.out;
    EXPECT_NE(all.out.find("\n--item MAIN.stLine:STRUCT\n"), std::string::npos) << all.out;
    EXPECT_EQ(all.out.find("MAIN.stSpare.bOn"), std::string::npos) << "members only with --members";

    const Outcome members = Driver(address, {"--browse", "--members", "MAIN.stSpare"});
    EXPECT_EQ(Rows(members.out, 5, 0, "MAIN.stSpare.stDrive.rSpeed"),
              (std::vector<Lines>{{"MAIN.stSpare.stDrive.rSpeed", "REAL", "4", "yes", ""}})) << members.out;
    EXPECT_EQ(Rows(members.out, 5, 0, "MAIN.stSpare.xFault"),
              (std::vector<Lines>{{"MAIN.stSpare.xFault", "BIT", "-", "-", "bit 1 of byte 38"}}));
    for (const char* line : {"--item MAIN.stSpare.stDrive:STRUCT", "--item MAIN.stSpare.aTemps:REAL",
                             "--item MAIN.stSpare.sName:STRING"}) {
        EXPECT_NE(members.out.find("\n" + std::string(line) + "\n"), std::string::npos) << line;
    }
    EXPECT_NE(members.out.find("1 of 3 symbols listed, 1 readable, 10 members readable\n"), std::string::npos)
        << members.out;

    const Outcome run = Driver(address, {"--item", "MAIN.stSpare.stDrive:STRUCT", "--format", "json", "--cycle", "50",
                                         "--write", "MAIN.stSpare.stDrive={\"rSpeed\":1,\"iCurrent\":2,"
                                         "\"bEnabled\":false,\"lrHours\":99.25}",
                                         "--seconds", "2", "--refresh", "400"});
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("\"bEnabled\":0,\"lrHours\":99.25}"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"type\":\"ST_Drive\",\"value\":{\"rSpeed\":"), std::string::npos)
        << "embedded as an object: " << run.out;
}

// A PLC without symbol information: the driver cannot browse, reads without a type check, and
// shows a write that fails.
TEST(Programs, DriverOnAnOlderPlcServingASymbolFile)
{
    const std::string path = TempFile("# line 4\nGVL.speed DINT -42 constant\nGVL.name STRING \"a # b\" constant\n");
    Child sim(ADS_PLC_SIM_PATH, {"--listen", "127.0.0.1:0", "--symbols", path, "--no-symbol-info"});
    const std::string address = Address(sim);
    const Outcome browse = Driver(address, {"--browse"}, "500");
    EXPECT_EQ(browse.code, 1);
    EXPECT_NE(browse.err.find("Invalid index group"), std::string::npos) << browse.err;

    const Outcome run = Driver(address, {"--item", "GVL.speed:DINT", "--item", "GVL.name:STRING", "--item",
                                         "MAIN.down:INT", "--cycle", "100", "--write", "MAIN.down=5", "--seconds",
                                         "1.2", "--refresh", "300", "--verbose"}, "500");
    EXPECT_EQ(run.code, 1) << run.err;
    EXPECT_EQ(Values(run.out, "GVL.speed"), std::set<std::string>{"-42"}) << run.out;
    EXPECT_EQ(Values(run.out, "GVL.name"), std::set<std::string>{"a # b"});
    EXPECT_EQ(Values(run.out, "MAIN.down", 5), std::set<std::string>{"Symbol not found"})
        << "a symbol file replaces the built-in table";
    EXPECT_NE(run.out.find("write: MAIN.down = 5: failed: Symbol not found"), std::string::npos) << run.out;
    const std::regex losses("losses of ADS Test device: receive buffer full [0-9]+, unknown handle [0-9]+, "
                            "size mismatch [0-9]+, unmatched replies [0-9]+, reconnections [0-9]+, skipped polls 0\n");
    EXPECT_TRUE(std::regex_search(run.out, losses)) << run.out;
    EXPECT_NE(run.err.find("[host "), std::string::npos);
    const std::string note = "[host warning] Symbol information not offered by ADS Test device: item types cannot be "
                             "checked";
    EXPECT_TRUE(run.err.find(note) != std::string::npos && run.err.find(note) == run.err.rfind(note))
        << "once: " << run.err;
    std::remove(path.c_str());
}

// In automatic mode at a PLC's limit of notifications the driver shows every item and how each is read.
TEST(Programs, DriverInAutomaticModeAtThePlcsLimitOfNotifications)
{
    Child sim(ADS_PLC_SIM_PATH, {"--listen", "127.0.0.1:0", "--max-notifications", "3"});
    const Outcome run = Driver(Address(sim), {"--read-mode", "automatic", "--item", "MAIN.iInt:INT", "--item",
                                              "MAIN.udiCounter:UDINT", "--item", "MAIN.rReal:REAL", "--item",
                                              ".count:UINT", "--cycle", "200", "--seconds", "1.2", "--refresh", "300"});
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("items of ADS Test device: 2 by notification, 2 polled\n"), std::string::npos) << run.out;
    EXPECT_EQ(Values(run.out, "MAIN.iInt"), std::set<std::string>{"-12345"});
    EXPECT_GE(Values(run.out, ".count").size(), 2u) << "the polled counter moves";
    ::kill(sim.pid, SIGTERM);
    sim.Wait();
}

// Program changes reach the driver's view without a reconnection; the outcome judges the end of
// the run and names what failed on the way. A driver run against a PLC that never answers still
// ends on time.
TEST(Programs, DriverJudgesTheEndOfARunThroughProgramChangesAndEndsOnTimeAgainstASilentPlc)
{
    plcsim::PlcSimulator sim;
    sim.Start();
    const auto seen = [](const Child& driver, const std::string& symbol, const std::string& text, size_t column) {
        return plcsim::WaitUntil([&] { return Values(Slurp(driver.out), symbol, column).count(text) != 0; }, 10s);
    };
    const auto rowsWithValue = [](const Child& driver) {
        const auto rows = Rows(Slurp(driver.out), 6, 1, ".count");
        return std::count_if(rows.begin(), rows.end(), [](const Lines& row) { return !row[3].empty(); });
    };
    const Lines args = {"--address", sim.HostString(), "--ads-port", "851", "--item", "MAIN.down:INT", "--item",
                        ".count:UINT", "--cycle", "100", "--seconds", "60", "--refresh", "100", "--verbose"};
    const auto next = plcsim::ParseSymbolText("MAIN.down INT 7 constant\n");
    for (const bool comesBack : {true, false}) {
        sim.ChangeProgram(0ms, plcsim::DefaultSymbols());
        Child driver(ADS_PLC_DRIVER_PATH, args);
        ASSERT_TRUE(plcsim::WaitUntil([&] { return !Values(Slurp(driver.out), ".count").empty(); }, 10s));
        sim.ChangeProgram(0ms, next);
        ASSERT_TRUE(seen(driver, ".count", "Symbol not found", 5) && seen(driver, "MAIN.down", "7", 3));
        if (comesBack) {
            const auto before = rowsWithValue(driver);
            sim.ChangeProgram(0ms, plcsim::DefaultSymbols());
            // Both items show values again in the latest view before the run is ended.
            const auto lastHasValue = [&](const std::string& symbol) {
                const auto rows = Rows(Slurp(driver.out), 6, 1, symbol);
                return !rows.empty() && !rows.back()[3].empty();
            };
            ASSERT_TRUE(plcsim::WaitUntil(
                [&] { return rowsWithValue(driver) > before && lastHasValue(".count") && lastHasValue("MAIN.down"); },
                10s));
        }
        ::kill(driver.pid, SIGTERM);
        const Outcome run = driver.Wait();
        EXPECT_NE(run.err.find("PLC program of ADS Test device changed (symbol version "), std::string::npos) << run.err;
        EXPECT_NE(run.out.find("unmatched replies 0, reconnections 0, skipped polls 0\n"), std::string::npos) << run.out;
        if (comesBack) {
            EXPECT_EQ(run.code, 0) << run.out;
            EXPECT_TRUE(std::regex_search(run.out, std::regex("\nfailed on the way at ADS Test device: .count: Symbol not "
                                                              "found \\([0-9. stoa]+\\)\nsummary of ADS Test device: ok\n")))
                << run.out;
        } else {
            EXPECT_EQ(run.code, 1) << "values earlier do not make up for none at the end";
            EXPECT_NE(run.out.find("summary of ADS Test device: no value for .count: Symbol not found\n"), std::string::npos)
                << run.out;
        }
    }
    EXPECT_EQ(sim.AcceptedCount(), 2u) << "no reconnection";

    plcsim::PlcSimulator silent;
    silent.Start();
    silent.SetSilent(true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Driver(silent.HostString(), {"--seconds", "1"}, "15000").code, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

// Two simulators and a file of four devices in one plug-in: values of both simulators, writes in
// order, the router's texts for a port and a NetId no simulator serves; CSV a reader can take apart.
TEST(Programs, DriverRunsAConfigurationOfSeveralDevicesAsCsv)
{
    Child a(ADS_PLC_SIM_PATH, {"--listen", "127.0.0.1:0", "--tick", "50", "-v"});
    const std::string symbols =
        TempFile("MAIN.udiCounter UDINT 0 counter\nGVL.label string(7) \"short\" constant\nGVL.odd%2 DINT 1 constant 5%1\n");
    Child b(ADS_PLC_SIM_PATH, {"--listen", "127.0.0.1:0", "--tick", "50", "--ports", "852,853", "--netid",
                               "127.0.0.2.1.1", "--symbols", symbols});
    const std::string atA = Address(a), atB = Address(b), each = "\nads_port = 851\ntimeout = 1000\n";
    const std::string config = TempFile(
        "# two simulators\n[Left]  ; the first\naddress = " + atA + "   # inline\nads_port = 851\ntimeout = 1000\n"
        "local_netid = 192.168.77.1.1.1\nerror_wait = 1\n"
        "items = MAIN.iInt:INT:cyclic:50, MAIN.sText:string\nwrites = MAIN.iInt=11, MAIN.iInt=22\n"
        "[Right]\naddress = " + atB + "\nnetid = 127.0.0.2.1.1\nads_port = 852\nmode = cyclic\ncycle = 50\n"
        "items = MAIN.udiCounter:UDINT, GVL.label:STRING\nwrites = GVL.label=\"a,\"\"b\"\" ;\" ; 7 bytes\n"
        "[WrongPort]\naddress = " + atB + each + "error_wait = 1\nnetid = 127.0.0.2.1.1\nitems = .count:UINT\n"
        "[WrongNetId]\naddress = " + atA + each + "netid = 10.9.8.7.1.1\nitems = .count:UINT\n");
    const Outcome run = Child(ADS_PLC_DRIVER_PATH, {"--config", config, "--format", "csv", "--seconds", "1.5",
                                                    "--refresh", "500"}).Wait();
    EXPECT_EQ(run.code, 1);
    auto rows = CsvRows(run.out);
    EXPECT_EQ(rows["device/name"], (Lines{"time", "device", "name", "symbol", "type", "value", "timestamp", "error"}));
    EXPECT_EQ(rows["Left/MAIN.iInt"][5], "22") << run.out;
    EXPECT_EQ(rows["Left/MAIN.sText"][5], "Hello from the PLC");
    EXPECT_NE(rows["Right/MAIN.udiCounter"][5], "");
    EXPECT_EQ(rows["Right/GVL.label"][5], "a,\"b\" ;") << "a quoted value, exactly, into a STRING(7) of a symbol file";
    const auto first = [&](const std::string& device) { return run.out.find("," + device + ","); };
    EXPECT_TRUE(first("Left") < first("Right") && first("Right") < first("WrongPort") &&
                first("WrongPort") < first("WrongNetId")) << "devices in the order of the file";
    EXPECT_EQ(rows["WrongPort/.count"][7], "Target port not found – ADS server is not started or is not reachable.");
    EXPECT_EQ(rows["WrongNetId/.count"][7], "Target computer not found – AMS route was not found.");
    for (const char* line : {"summary of Left: ok\n", "summary of Right: ok\n", "result: failed (2 of 4 devices)\n",
                             "summary of WrongPort: never connected: Target port not found",
                             "unmatched replies 0, reconnections 0, skipped polls 0\nstatistics of WrongPort: no state poll yet\n"}) {
        EXPECT_NE(run.err.find(line), std::string::npos) << line << run.err;
    }
    EXPECT_NE(Slurp(a.out).find("from 192.168.77.1.1.1:"), std::string::npos) << "the local NetId is used";
    const Outcome browse = Child(ADS_PLC_DRIVER_PATH, {"--address", atB, "--ads-port", "852", "--netid", "127.0.0.2.1.1",
                                                       "--browse", "gvl.o"}).Wait();
    EXPECT_EQ(Rows(browse.out, 5, 0, "GVL.odd%2"), (std::vector<Lines>{{"GVL.odd%2", "DINT", "4", "yes", "5%1"}}))
        << "names and comments verbatim: " << browse.out;

    const std::string awkward = "a|b, \"c\"\nd";
    const Outcome csv = Driver(atA, {"--format", "csv", "--item", "MAIN.sText:STRING", "--item", "MAIN.aText",
                                     "--write", "MAIN.sText=" + awkward, "--cycle", "50", "--seconds", "1", "--refresh",
                                     "500"});
    EXPECT_EQ(csv.code, 0) << csv.err;
    EXPECT_EQ(CsvRows(csv.out)["ADS Test device/MAIN.sText"].at(5), awkward) << csv.out;
    // An array is one value; an item without a type shows the one it took from the PLC.
    const Lines array = CsvRows(csv.out)["ADS Test device/MAIN.aText"];
    EXPECT_EQ(array.at(4) + " " + array.at(5), R"(ARRAY [0..4] OF STRING(20) ["one","two","three","four","five"])");
    const Outcome json = Driver(atA, {"--format", "json", "--item", "MAIN.sText:STRING", "--item", "MAIN.iInt:INT",
                                      "--item", "MAIN.bBool:BOOL", "--item", "MAIN.rReal:REAL", "--item", "MAIN.aLint",
                                      "--item", "MAIN.liLint:LINT", "--write", "MAIN.iInt=-7", "--cycle", "100",
                                      "--seconds", "1.5"});
    // Values typed as their items' types allow, an array embedded as JSON with every digit; write
    // results as objects.
    for (const char* typed : {R"("type":"STRING","value":"a|b, \"c\"\nd"})", R"("type":"INT","value":-7})",
                              R"("type":"BOOL","value":true})", R"("type":"REAL","value":3.5})",
                              R"("type":"ARRAY [-1..1] OF LINT","value":[-9223372036854775808,0,9223372036854775807]})",
                              R"("type":"LINT","value":"-9007199254740993"})",
                              R"("writes":[{"error":"","ok":true,"symbol":"MAIN.iInt","value":"-7"}])"}) {
        EXPECT_NE(json.out.rfind(typed), std::string::npos) << typed << "\n" << json.out;
    }
    std::istringstream lines(json.out);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(line.front() == '{' && line.back() == '}') << "one object per line: " << line;
    }

    // The table keeps one line per row, escaping '|' and line breaks. SIGTERM ends a run early,
    // with the plug-in stopped and the summary printed.
    Child table(ADS_PLC_DRIVER_PATH, {"--address", atA, "--ads-port", "851", "--item", "MAIN.sText:STRING",
                                      "--seconds", "60", "--refresh", "100"});
    const std::string row = "| STRING | a\\|b, \"c\"\\nd ";
    EXPECT_TRUE(plcsim::WaitUntil([&] { return Slurp(table.out).find(row) != std::string::npos; }, 10s));
    ::kill(table.pid, SIGTERM);
    const Outcome stopped = table.Wait();
    EXPECT_EQ(stopped.code, 0) << stopped.out;
    EXPECT_NE(stopped.out.find("summary of ADS Test device: ok\nresult: ok\n"), std::string::npos) << stopped.out;
    EXPECT_NE(stopped.err.find("stopping on SIGTERM"), std::string::npos);
    EXPECT_NE(stopped.err.find("DONE RUNNIPNG"), std::string::npos);
    std::remove(config.c_str());
    std::remove(symbols.c_str());
}

TEST(Programs, DriverRunsSecureAdsFromItsConfigurationAgainstTheSimulatorProgram)
{
    Child sim(ADS_PLC_SIM_PATH, {"--listen", "127.0.0.1:0", "--tls", "0", "--tls-psk", "Gateway7:s3cret"});
    Address(sim);
    std::string out;
    ASSERT_TRUE(plcsim::WaitUntil([&] { return (out = Slurp(sim.out)).find("secure ADS on ") != std::string::npos; },
                                  10s));
    const size_t at = out.find("secure ADS on ") + 14;
    const std::string secure = out.substr(at, out.find('\n', at) - at);
    const std::string each = "\nads_port = 851\ntimeout = 1000\nitems = MAIN.diDint:DINT\n"
                             "transport = secure\ntls_mode = psk\npsk_identity = Gateway7\n";
    const std::string config =
        TempFile("[Secure]\naddress = " + secure + each + "netid = 127.0.0.1.1.1\npsk_password = s3cret\n"
                 "[WrongKey]\naddress = " + secure + each + "netid = 127.0.0.9.1.1\npsk_password = guess\n");
    const Outcome run = Child(ADS_PLC_DRIVER_PATH, {"--config", config, "--seconds", "1", "--refresh", "500"}).Wait();
    EXPECT_EQ(run.code, 1) << run.err;
    EXPECT_EQ(Values(run.out, "MAIN.diDint"), std::set<std::string>{"-1234567890"}) << run.out;
    EXPECT_NE(run.out.find("summary of Secure: ok\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("summary of WrongKey: never connected: TLS handshake with the PLC failed: "),
              std::string::npos) << run.out;
    std::string badEach = each;
    badEach.replace(badEach.find("tls_mode = psk"), 14, "tls_mode = rot13");
    const std::string bad = TempFile("[Plc]\naddress = " + secure + badEach);
    const Outcome refused = Child(ADS_PLC_DRIVER_PATH, {"--config", bad}).Wait();
    EXPECT_EQ(refused.code, 2);
    EXPECT_NE(refused.err.find("[Plc] tls_mode: must be psk or ca or self-signed, not 'rot13'"), std::string::npos)
        << refused.err;
    std::remove(config.c_str());
    std::remove(bad.c_str());
}

TEST(Programs, HelpAndBadInputAreExplained)
{
    const std::string bad =
        TempFile("# my symbols\nMAIN.a INT 5 counter\nMAIN.b INT 5 sideways\nMAIN.c string(2) abc constant\n");
    std::vector<std::string> inis;
    const auto ini = [&](const std::string& text) { return inis.emplace_back(TempFile(text)); };
    const std::string twice = ini("[A]\nitems = a:INT\nitems = b:INT\n[B]\nitems = b:INT\n[A]\nitems = c:INT\n");
    // Program, its arguments, and what it must say: usage, or the error after "<program>: ".
    const char* const sim = ADS_PLC_SIM_PATH;
    const char* const driver = ADS_PLC_DRIVER_PATH;
    const std::vector<std::tuple<const char*, Lines, std::string>> runs = {
        {sim, {"-h"}, "--no-symbol-info"}, {sim, {"--frobnicate"}, "--help"}, {sim, {"--tick"}, "needs a value"},
        {sim, {"--listen", "127.0.0.1"}, "ADDR:PORT"}, {sim, {"--device-version", "1.2"}, "MAJ.MIN.BUILD"},
        {sim, {"--netid", "1.2.3"}, "AMS NetId"}, {sim, {"--delay", "-5"}, "not a number"},
        {sim, {"--symbols", "/nonexistent"}, "cannot read"},
        {sim, {"--symbols", bad}, bad + ": line 3: unknown behaviour 'sideways'"}, {sim, {"--ports", "851,x"}, "'x'"},
        {sim, {"--symbols", bad}, bad + ": line 4: STRING initial value longer than 2 characters"},
        {driver, {"--help"}, "--address HOST[:PORT]"}, {driver, {"--bogus"}, "--help"},
        {driver, {"--item", "MAIN.x:FLOAT"}, "SYMBOL[:TYPE"}, {driver, {"--seconds", "soon"}, "positive"},
        {driver, {"--address", "plc.local"}, "--netid"}, {driver, {"--write", "MAIN.x=1"}, "none of the items"},
        {driver, {"--address", "127.0.0.1:101383"}, "Invalid address: port must be 1 to 65535"}, {driver, {"--address", "h:abc"}, "PORT"},
        {driver, {"--address", "127.0.0.1:"}, "PORT"}, {driver, {"--netid", "1.2.3.4.5.256"}, "Invalid target AMS Net Id"},
        {driver, {"--local-netid", "1.2.x.4.5.6"}, "Invalid local AMS Net Id"}, {driver, {"--format", "xml"}, "csv or json"},
        {driver, {"--item", "MAIN.x:INT:often"}, "MODE change or cyclic"},
        {driver, {"--members", "MAIN.st"}, "--members lists the members of structures only with --browse"},
        {driver, {"--config", "/none"}, "cannot read"},
        {driver, {"--config", ini("[Plc]\nadress = 1.2.3.4\n")}, ": [Plc] adress: unknown key"},
        {driver, {"--config", ini("[P]\nads_port = 70000\n")}, "[P] ads_port: the ADS port must be a number from 1"},
        {driver, {"--config", ini("[P]\naddress = 10.0.0.1:0\n")}, "[P] address: Invalid address: port must be 1 to 65535"},
        {driver, {"--config", ini("[P]\nitems = a:INT\nwrites = b=1\n")}, "[P] the write of 'b' names none"},
        {driver, {"--config", ini("[P]\naddress = 10.0.0.1\n")}, "[P] has no items"},
        {driver, {"--config", ini("[P]\nitems = a:INT\n"), "--ads-port", "851"}, "cannot be combined with --config"},
        // Every mistake of a file at once, each with its line; no value other than the one written.
        {driver, {"--config", twice}, twice + ": line 3: items given again in [A] (first at line 2)\n"},
        {driver, {"--config", twice}, twice + ": line 6: section [A] given again (first at line 1)\n"},
        {driver, {"--config", ini("[A\nitems = a:INT\n")}, "line 1: '[A' lacks the ']'"},
        {driver, {"--config", ini("[A]\nitems = s:STRING\nwrites = s=a \"b\" c\n")},
         "line 3: [A] writes: 'a \"b\" c' holds a quote"},
        {driver, {"--config", ini("[A]\naddress = 10.0.0.1 # ok\nitems = a:INT # ok\nwrites = x=1\n")},
         "line 4: [A] the write of 'x' names none of the items"},
        {ADS_PLC_INSPECT_PATH, {"--help"}, "Usage: ads-plc-inspect PLUGIN_FILE"},
        {ADS_PLC_INSPECT_PATH, {"-x"}, "expected one plug-in file"}};
    for (const auto& [program, args, text] : runs) {
        const Outcome o = Child(program, args).Wait();
        const bool help = args[0] == "--help" || args[0] == "-h";
        const std::string name = std::string(program).substr(std::string(program).rfind('/') + 1);
        EXPECT_EQ(o.code, help ? 0 : program == sim && args[0] == "--symbols" ? 1 : 2) << name << " " << args[0];
        const std::string said = help ? o.out : o.err;
        EXPECT_EQ(said.rfind(help ? "" : name + ": ", 0), 0u) << said;
        EXPECT_NE(said.find(text), std::string::npos) << said;
        EXPECT_EQ(o.out.find("listening on"), std::string::npos);
    }
    for (const char* const program : {sim, driver}) {
        const Outcome o = Child(program, {"--version"}).Wait();
        EXPECT_EQ(o.code, 0);
        EXPECT_TRUE(std::regex_match(o.out, std::regex("ads-plc-(sim|driver) [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << o.out;
    }
    std::remove(bad.c_str());
    for (const std::string& file : inis) {
        std::remove(file.c_str());
    }
}

} // namespace
