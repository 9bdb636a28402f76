// The programs a user meets, each in its own process: ads-plc-sim, and ads-plc-driver against it.
#include "tools/sim/PlcSimulator.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
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

TEST(Programs, DriverBrowsesReadsAndWritesTheSimulatorProgram)
{
    Child sim(ADS_PLC_SIM_PATH, {"--listen", "127.0.0.1:0", "--tick", "50", "--name", "A name longer than sixteen",
                                 "--version", "2.11.77", "-v"});
    const std::string address = Address(sim);
    const Outcome all = Driver(address, {"--browse"});
    ASSERT_EQ(all.code, 0) << all.err;
    EXPECT_EQ(Rows(all.out, 5, 3, "yes").size(), plcsim::DefaultSymbols().size()) << all.out;
    for (const auto& d : plcsim::DefaultSymbols()) {
        const Lines row = {d.name, d.typeName, std::to_string(d.initial.size()), "yes", d.comment};
        EXPECT_EQ(Rows(all.out, 5, 0, d.name), std::vector<Lines>{row});
    }
    EXPECT_NE(all.out.find("\n--item MAIN.sText:STRING\n"), std::string::npos);
    const Outcome some = Driver(address, {"--browse", "main.I"});
    EXPECT_EQ(Rows(some.out, 5, 3, "yes"), (std::vector<Lines>{{"MAIN.iInt", "INT", "2", "yes", ""}})) << some.out;

    const Outcome run = Driver(address, {"--item", "MAIN.udiCounter:UDINT", "--item", "MAIN.iInt:INT", "--item",
                                         "MAIN.s%1:STRING", "--cycle", "50", "--write", "MAIN.iInt=321", "--seconds",
                                         "2", "--refresh", "400"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_GE(Values(run.out, "MAIN.udiCounter").size(), 2u) << run.out;
    EXPECT_EQ(Values(run.out, "MAIN.iInt").count("321"), 1u);
    EXPECT_NE(run.out.find("write: MAIN.iInt = 321: sent"), std::string::npos);
    EXPECT_EQ(Values(run.out, "MAIN.s%1", 0), std::set<std::string>{"MAIN.s%1"}) << "texts verbatim";
    EXPECT_EQ(run.out.compare(run.out.rfind("device error:"), 16, "device error: -\n"), 0) << "still connected";
    EXPECT_EQ(Values(run.out, "(identity)"), (std::set<std::string>{"ADS", "A name longer th", "2.11.77"})) << run.out;
    EXPECT_NE(run.err.find("LETS GO: " + address), std::string::npos);
    EXPECT_NE(run.err.find("DONE RUNNIPNG"), std::string::npos);
    EXPECT_EQ(run.err.find("[host "), std::string::npos) << "host log lines are echoed only with --verbose";
    const Outcome defaults = Driver(address, {"--cycle", "50", "--seconds", "1.2", "--refresh", "400"});
    EXPECT_TRUE(!Values(defaults.out, "MAIN.down").empty() && !Values(defaults.out, ".count").empty()) << defaults.out;

    ::kill(sim.pid, SIGTERM);
    const Outcome end = sim.Wait();
    EXPECT_EQ(end.code, 0);
    for (const char* line :
         {"connection 1 from 127.0.0.1:", "connection 1: cmd ", "connection 1 closed", "stopping on SIGTERM"}) {
        EXPECT_NE(end.out.find(line), std::string::npos) << line;
    }
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
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(Values(run.out, "GVL.speed"), std::set<std::string>{"-42"}) << run.out;
    EXPECT_EQ(Values(run.out, "GVL.name"), std::set<std::string>{"a # b"});
    EXPECT_EQ(Values(run.out, "MAIN.down", 5), std::set<std::string>{"Symbol not found"})
        << "a symbol file replaces the built-in table";
    EXPECT_NE(run.out.find("write: MAIN.down = 5: failed: Symbol not found"), std::string::npos) << run.out;
    const std::regex losses("losses: receive buffer full [0-9]+, unknown handle [0-9]+, size mismatch [0-9]+, "
                            "unmatched replies [0-9]+, reconnections [0-9]+\n");
    EXPECT_TRUE(std::regex_search(run.out, losses)) << run.out;
    EXPECT_NE(run.err.find("[host "), std::string::npos);
    const std::string note = "Symbol information not offered by ADS Test device";
    EXPECT_TRUE(run.err.find(note) != std::string::npos && run.err.find(note) == run.err.rfind(note))
        << "once: " << run.err;
    std::remove(path.c_str());
}

// The simulator program's program changes reach the driver's view without a reconnection, and a
// driver run against a PLC that never answers still ends on time.
TEST(Programs, DriverFollowsProgramChangesAndEndsOnTimeAgainstASilentPlc)
{
    const std::string next = TempFile("MAIN.down INT 7 constant\n");
    Child sim(ADS_PLC_SIM_PATH, {"--listen", "127.0.0.1:0", "--program-change-every", "1", "--stop-ms", "0",
                                 "--symbols-next", next});
    const Outcome run = Driver(Address(sim), {"--item", "MAIN.down:INT", "--item", ".count:UINT", "--cycle", "100",
                                              "--seconds", "2.5", "--refresh", "250", "--verbose"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.err.find("PLC program of ADS Test device changed (symbol version 1 -> 2); subscribing again"),
              std::string::npos) << run.err;
    EXPECT_EQ(Values(run.out, "MAIN.down").count("7"), 1u) << run.out;
    EXPECT_EQ(Values(run.out, ".count", 5).count("Symbol not found"), 1u);
    ::kill(sim.pid, SIGTERM);
    EXPECT_EQ(sim.Wait().out.find("connection 2 "), std::string::npos) << "no reconnection";
    std::remove(next.c_str());

    plcsim::PlcSimulator silent;
    silent.Start();
    silent.SetSilent(true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Driver(silent.HostString(), {"--seconds", "1"}, "15000").code, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

TEST(Programs, HelpAndBadInputAreExplained)
{
    const std::string bad = TempFile("# my symbols\nMAIN.a INT 5 counter\nMAIN.b INT 5 sideways\n");
    // Program, its arguments, and what it must say: usage, or the error after "<program>: ".
    const char* const sim = ADS_PLC_SIM_PATH;
    const char* const driver = ADS_PLC_DRIVER_PATH;
    const std::vector<std::tuple<const char*, Lines, std::string>> runs = {
        {sim, {"-h"}, "--no-symbol-info"}, {sim, {"--frobnicate"}, "--help"}, {sim, {"--tick"}, "needs a value"},
        {sim, {"--listen", "127.0.0.1"}, "ADDR:PORT"}, {sim, {"--version", "1.2"}, "MAJ.MIN.BUILD"},
        {sim, {"--netid", "1.2.3"}, "AMS NetId"}, {sim, {"--delay", "-5"}, "not a number"},
        {sim, {"--symbols", "/nonexistent"}, "cannot read"},
        {sim, {"--symbols", bad}, bad + ": line 3: unknown behaviour 'sideways'"},
        {driver, {"--help"}, "--address HOST[:PORT]"}, {driver, {"--bogus"}, "--help"},
        {driver, {"--item", "MAIN.x:FLOAT"}, "SYMBOL:TYPE"}, {driver, {"--seconds", "soon"}, "positive"},
        {driver, {"--address", "plc.local"}, "--netid"}, {driver, {"--write", "MAIN.x=1"}, "none of the items"}};
    for (const auto& [program, args, text] : runs) {
        const Outcome o = Child(program, args).Wait();
        const bool help = args[0] == "--help" || args[0] == "-h";
        const std::string name = std::string(program).substr(std::string(program).rfind('/') + 1);
        EXPECT_EQ(o.code == 0, help) << name << " " << args[0];
        const std::string said = help ? o.out : o.err;
        EXPECT_EQ(said.rfind(help ? "" : name + ": ", 0), 0u) << said;
        EXPECT_NE(said.find(text), std::string::npos) << said;
        EXPECT_EQ(o.out.find("listening on"), std::string::npos);
    }
    std::remove(bad.c_str());
}

} // namespace
