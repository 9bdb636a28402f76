// The stand-alone ads-plc-sim program: options, symbol files, serving, clean stop.
#include "sim/support/RawClient.h"

#include "ads/LittleEndian.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#ifndef ADS_PLC_SIM_PATH
#error "ADS_PLC_SIM_PATH must name the built ads-plc-sim program"
#endif

extern char** environ;

using namespace simtest;
namespace le = plc::ads::le;

namespace {

// The program with stdout and stderr on one pipe.
class Program {
public:
    explicit Program(std::vector<std::string> args)
    {
        args.insert(args.begin(), ADS_PLC_SIM_PATH);
        // A cross-built program runs through its emulator.
        const std::string emulator = ADS_PLC_EMULATOR;
        if (!emulator.empty()) {
            args.insert(args.begin(), emulator);
        }
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        int pipeFds[2];
        if (::pipe(pipeFds) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
        const int rc = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[1]);
        fd = pipeFds[0];
        if (rc != 0) {
            ::close(fd);
            throw std::runtime_error("cannot start " ADS_PLC_SIM_PATH);
        }
    }

    ~Program()
    {
        if (status < 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        ::close(fd);
    }

    // Reads output until it holds `text` or the program ends; at most `timeout`.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        char buf[4096];
        while (out.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd pfd{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) {
                return false;
            }
            out.append(buf, static_cast<size_t>(n));
        }
        return true;
    }

    // All output and the exit status, or -1 when the program does not end in time.
    int Wait(std::chrono::milliseconds timeout = 10s)
    {
        WaitForOutput(std::string(1, '\0'), timeout); // reads up to the end of output
        plcsim::WaitUntil(
            [&] {
                int st = 0;
                if (::waitpid(pid, &st, WNOHANG) == pid) {
                    status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                }
                return status >= 0;
            },
            timeout);
        return status;
    }

    pid_t pid = -1;
    std::string out;

private:
    int fd = -1;
    int status = -1;
};

std::string WriteTempFile(const std::string& text)
{
    char path[] = "/tmp/ads_plc_sim_symbols_XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    ::close(fd);
    std::ofstream(path) << text;
    return path;
}

TEST(Program, HelpAndBadOptions)
{
    Program help({"--help"});
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_NE(help.out.find("--listen ADDR:PORT"), std::string::npos);
    EXPECT_NE(help.out.find("--symbols FILE"), std::string::npos);

    const std::vector<std::vector<std::string>> bad = {
        {"--frobnicate"}, {"--listen", "127.0.0.1"}, {"--listen", "127.0.0.1:70000"}, {"--version", "1.2"},
        {"--netid", "1.2.3"}, {"--tick"}, {"--delay", "-5"}, {"--symbols", "/nonexistent/symbols.txt"},
    };
    for (const auto& args : bad) {
        Program p(args);
        EXPECT_NE(p.Wait(), 0) << args[0];
        EXPECT_NE(p.out.find("ads-plc-sim: "), std::string::npos) << args[0];
        EXPECT_EQ(p.out.find("listening"), std::string::npos) << args[0];
    }
}

TEST(Program, MalformedSymbolFileNamesTheLine)
{
    const std::string path = WriteTempFile("# my symbols\nMAIN.a INT 5 counter\nMAIN.b INT 5 sideways\n");
    Program p({"--symbols", path, "--listen", "127.0.0.1:0"});
    EXPECT_EQ(p.Wait(), 1);
    EXPECT_NE(p.out.find(path + ": line 3: unknown behaviour 'sideways'"), std::string::npos) << p.out;
    std::remove(path.c_str());
}

TEST(Program, ServesItsSymbolsLogsConnectionsAndStopsOnSigterm)
{
    const std::string path = WriteTempFile("GVL.speed DINT -42 constant\n");
    Program p({"--listen", "127.0.0.1:0", "--name", "Line 4 PLC", "--version", "2.11.77", "--symbols", path, "-v"});
    ASSERT_TRUE(p.WaitForOutput("\n")) << p.out;
    const std::string prefix = "listening on 127.0.0.1:";
    ASSERT_EQ(p.out.rfind(prefix, 0), 0u) << p.out;
    const auto port = static_cast<uint16_t>(std::stoi(p.out.substr(prefix.size())));
    {
        RawClient c(port);
        auto info = c.Call(ADS_CMD_READ_DEVICE_INFO, {});
        ASSERT_TRUE(info);
        ASSERT_EQ(info->data.size(), 24u);
        EXPECT_EQ(Bytes(info->data.begin() + 4, info->data.begin() + 8), Cat({{2, 11}, U16(77)}));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(info->data.data()) + 8), "Line 4 PLC");
        const uint32_t h = c.Handle("GVL.speed");
        ASSERT_NE(h, 0u);
        auto r = c.Call(ADS_CMD_READ, ReadReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, h, 4));
        ASSERT_TRUE(r);
        EXPECT_EQ(ReadDataOf(*r), U32(static_cast<uint32_t>(-42)));
        EXPECT_EQ(c.Handle("MAIN.down"), 0u); // a symbols file replaces the built-in table
    }
    EXPECT_TRUE(p.WaitForOutput("connection 1 from 127.0.0.1:"));
    EXPECT_TRUE(p.WaitForOutput("connection 1: cmd 1 "));
    EXPECT_TRUE(p.WaitForOutput("connection 1 closed"));
    ::kill(p.pid, SIGTERM);
    EXPECT_EQ(p.Wait(), 0);
    std::remove(path.c_str());
}

} // namespace
